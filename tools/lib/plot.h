// Line plots drawn with OpenCV's primitives (cv::line, cv::putText) for the quality report.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

// A line plot drawn with OpenCV: each series is a polyline with a legend entry.
struct PlotSeries {
  std::string name;
  cv::Scalar colour;
  std::vector<double> x, y;
  bool dashed = false;
};
// integer_x: the x values are counts, so ticks fall on whole numbers.
cv::Mat draw_plot(const std::string& title, const std::string& x_label, const std::string& y_label,
                  const std::vector<PlotSeries>& series, bool integer_x = true,
                  cv::Size size = cv::Size(900, 520));

// Anti-aliased text in the plots' font; `at` is the left end of the baseline.
void put_text(cv::Mat& img, const std::string& text, cv::Point at, double scale = 0.5,
              cv::Scalar colour = cv::Scalar(0, 0, 0), int thickness = 1);
