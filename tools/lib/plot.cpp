// Line plots drawn with OpenCV's primitives: axes with round ticks, polylines, a legend.
#include "plot.h"

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "textformat.h"

namespace {

// Round tick step (1, 2 or 5 times a power of ten) for about `count` ticks over span.
double tick_step(double span, int count) {
  const double raw = span / count;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * p >= raw) return m * p;
  return 10 * p;
}

std::string tick_text(double v, double step) {
  if (std::fabs(v) < step * 1e-6) v = 0;
  const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
  return strformat("%.*f", decimals, v);
}

}  // namespace

void put_text(cv::Mat& img, const std::string& text, cv::Point at, double scale, cv::Scalar colour,
              int thickness) {
  cv::putText(img, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, colour, thickness, cv::LINE_AA);
}

cv::Mat draw_plot(const std::string& title, const std::string& x_label, const std::string& y_label,
                  const std::vector<PlotSeries>& series, bool integer_x, cv::Size size) {
  cv::Mat img(size, CV_8UC3, cv::Scalar::all(255));
  const int left = 80, right = 20, top = 40, bottom = 60;
  const cv::Rect area(left, top, size.width - left - right, size.height - top - bottom);
  put_text(img, title, cv::Point(left, 26), 0.65);
  double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
  for (const PlotSeries& s : series)
    for (size_t i = 0; i < s.x.size() && i < s.y.size(); ++i) {
      if (!std::isfinite(s.x[i]) || !std::isfinite(s.y[i])) continue;
      x0 = std::min(x0, s.x[i]);
      x1 = std::max(x1, s.x[i]);
      y0 = std::min(y0, s.y[i]);
      y1 = std::max(y1, s.y[i]);
    }
  cv::rectangle(img, area, cv::Scalar::all(0), 1);
  if (!(x0 <= x1)) {
    put_text(img, "no data", cv::Point(area.x + area.width / 2 - 40, area.y + area.height / 2), 0.8);
    return img;
  }
  if (x1 - x0 < 1e-12) { x0 -= 1; x1 += 1; }
  if (y1 - y0 < 1e-9 * std::max(1.0, std::fabs(y0))) { y0 -= 1; y1 += 1; }
  const double pad = 0.05 * (y1 - y0);
  y0 -= pad;
  y1 += pad;
  auto px = [&](double x) { return area.x + static_cast<int>(std::lround((x - x0) / (x1 - x0) * area.width)); };
  auto py = [&](double y) { return area.y + area.height - static_cast<int>(std::lround((y - y0) / (y1 - y0) * area.height)); };

  const double xs = integer_x ? std::max(1.0, tick_step(x1 - x0, 10)) : tick_step(x1 - x0, 10);
  const double ys = tick_step(y1 - y0, 8);
  for (double t = std::ceil(x0 / xs) * xs; t <= x1 + 1e-9 * xs; t += xs) {
    cv::line(img, cv::Point(px(t), area.y), cv::Point(px(t), area.y + area.height), cv::Scalar::all(225), 1);
    put_text(img, tick_text(t, xs), cv::Point(px(t) - 10, area.y + area.height + 18), 0.42);
  }
  for (double t = std::ceil(y0 / ys) * ys; t <= y1 + 1e-9 * ys; t += ys) {
    cv::line(img, cv::Point(area.x, py(t)), cv::Point(area.x + area.width, py(t)), cv::Scalar::all(225), 1);
    put_text(img, tick_text(t, ys), cv::Point(6, py(t) + 5), 0.42);
  }
  cv::rectangle(img, area, cv::Scalar::all(0), 1);
  put_text(img, x_label, cv::Point(area.x + area.width / 2 - 40, size.height - 14), 0.5);
  put_text(img, y_label, cv::Point(6, top - 8), 0.45);

  int legend_y = area.y + 18;
  for (const PlotSeries& s : series) {
    std::vector<cv::Point> pts;
    for (size_t i = 0; i < s.x.size() && i < s.y.size(); ++i)
      if (std::isfinite(s.x[i]) && std::isfinite(s.y[i])) pts.emplace_back(px(s.x[i]), py(s.y[i]));
    for (size_t i = 1; i < pts.size(); ++i) {
      if (s.dashed) {
        const cv::Point2d a = pts[i - 1], b = pts[i];
        const double len = cv::norm(b - a);
        for (double t = 0; t < len; t += 12) {
          const cv::Point2d p = a + (b - a) * (t / len), q = a + (b - a) * (std::min(len, t + 6) / len);
          cv::line(img, p, q, s.colour, 2, cv::LINE_AA);
        }
      } else {
        cv::line(img, pts[i - 1], pts[i], s.colour, 2, cv::LINE_AA);
      }
    }
    if (!s.dashed)
      for (const cv::Point& p : pts) cv::circle(img, p, 3, s.colour, cv::FILLED, cv::LINE_AA);
    cv::line(img, cv::Point(area.x + area.width - 190, legend_y - 4),
             cv::Point(area.x + area.width - 160, legend_y - 4), s.colour, 2, cv::LINE_AA);
    put_text(img, s.name, cv::Point(area.x + area.width - 152, legend_y), 0.45);
    legend_y += 20;
  }
  return img;
}

