// Calibration picture drawing.
#include "calibration_picture.h"

#include <algorithm>
#include <map>
#include <opencv2/imgproc.hpp>
#include <utility>

namespace {

constexpr int crop = 72;   // raw pixels per side of a crop
constexpr int zoom = 6;    // screen pixels per raw pixel
constexpr int margin = 8;  // raw pixels between a corner crop and the frame's edge

cv::Mat draw_crop(const Calibration& cal, const cv::Rect& box, const std::map<std::pair<int, int>, bool>& state,
                  const std::string& label) {
  // Each crop stretched on its own: the corners are darker than the centre.
  cv::Mat region = cal.flat(box).clone();
  double lo, hi;
  cv::minMaxLoc(region, &lo, &hi);
  cv::Mat grey;
  region.convertTo(grey, CV_8U, 255.0 / std::max(1e-6, hi - lo), -lo * 255.0 / std::max(1e-6, hi - lo));
  cv::Mat big, out;
  cv::resize(grey, big, cv::Size(), zoom, zoom, cv::INTER_NEAREST);
  cv::cvtColor(big, out, cv::COLOR_GRAY2BGR);
  const Geometry& g = cal.geometry;
  const int r0 = static_cast<int>((box.y - g.origin_y) / g.pitch_y) - 3;
  const int r1 = static_cast<int>((box.y + box.height - g.origin_y) / g.pitch_y) + 3;
  for (int r = r0; r <= r1; ++r) {
    const int c0 = static_cast<int>((box.x - g.centre_col(r, 0)) / g.pitch_x) - 3;
    const int c1 = static_cast<int>((box.x + box.width - g.centre_col(r, 0)) / g.pitch_x) + 3;
    for (int c = c0; c <= c1; ++c) {
      // Pixel centres sit at the middle of their enlarged squares.
      const double y = (g.centre_row(r, c) - box.y + 0.5) * zoom, x = (g.centre_col(r, c) - box.x + 0.5) * zoom;
      if (y < 0 || x < 0 || y >= out.rows || x >= out.cols) continue;
      const cv::Point p(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)));
      // The calibration numbers lenslets from its own start: find this one's state by position.
      auto it = state.find({r, c});
      if (it == state.end()) {
        cv::circle(out, p, 2, cv::Scalar(128, 128, 128), -1);
        continue;
      }
      const cv::Scalar colour = it->second ? cv::Scalar(0, 220, 0) : cv::Scalar(0, 140, 255);
      cv::line(out, p - cv::Point(zoom, 0), p + cv::Point(zoom, 0), colour, 1);
      cv::line(out, p - cv::Point(0, zoom), p + cv::Point(0, zoom), colour, 1);
    }
  }
  cv::rectangle(out, cv::Point(0, 0), cv::Point(out.cols, 22), cv::Scalar(0, 0, 0), -1);
  cv::putText(out, label, cv::Point(4, 16), cv::FONT_HERSHEY_SIMPLEX, 0.45, cv::Scalar(255, 255, 255), 1);
  return out;
}

}  // namespace

cv::Mat calibration_picture(const Calibration& cal) {
  // State of each measured lenslet in the final numbering: the centres were numbered from the
  // start grid, so match them to the nearest fitted lenslet.
  std::map<std::pair<int, int>, bool> state;
  const Geometry& g = cal.geometry;
  for (size_t n = 0; n < cal.centres.size(); ++n) {
    const CentreMeasure& m = cal.centres[n];
    const double ry = m.y - view_sample_dy(center_view), rx = m.x - view_sample_dx(center_view);
    const int r = static_cast<int>(std::lround((ry - g.origin_y - (rx - g.origin_x) * std::tan(g.theta)) / g.pitch_y));
    const int c = static_cast<int>(std::lround((rx - g.lenslet_col(r, 0)) / g.pitch_x));
    state[{r, c}] = cal.used[n];
  }
  const int w = cal.flat.cols, h = cal.flat.rows, side = crop * zoom;
  cv::Mat sheet(3 * side, 3 * side, CV_8UC3, cv::Scalar(40, 40, 40));
  struct Place {
    int x, y, cell_x, cell_y;
    const char* label;
  };
  const Place places[] = {{margin, margin, 0, 0, "top left"},
                          {w - crop - margin, margin, 2, 0, "top right"},
                          {(w - crop) / 2, (h - crop) / 2, 1, 1, "centre"},
                          {margin, h - crop - margin, 0, 2, "bottom left"},
                          {w - crop - margin, h - crop - margin, 2, 2, "bottom right"}};
  for (const Place& p : places) {
    const cv::Rect box(p.x, p.y, crop, crop);
    const std::string label = std::string(p.label) + " (" + std::to_string(p.x) + ", " + std::to_string(p.y) + ")";
    draw_crop(cal, box, state, label).copyTo(sheet(cv::Rect(p.cell_x * side, p.cell_y * side, side, side)));
  }
  cv::putText(sheet, "green: centre used by the fit", cv::Point(side + 8, 30), cv::FONT_HERSHEY_SIMPLEX, 0.6,
              cv::Scalar(0, 220, 0), 1);
  cv::putText(sheet, "orange: clipped or off the grid, left out", cv::Point(side + 8, 60),
              cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 140, 255), 1);
  cv::putText(sheet, "grey: not measured (off the frame)", cv::Point(side + 8, 90), cv::FONT_HERSHEY_SIMPLEX,
              0.6, cv::Scalar(160, 160, 160), 1);
  return sheet;
}
