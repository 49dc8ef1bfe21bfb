// Mosaic flattening and micro-image centroids.
#include "micro_centres.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "execution.h"

namespace {

// Percentiles: the gaps between micro-images are a quarter or more of the pixels, the
// bright interiors well over a tenth.
constexpr double black_percentile = 0.03;
constexpr double white_percentile = 0.90;
// Every this many rows and columns of each filter position is sampled for the levels.
constexpr int level_stride = 3;

double percentile(std::vector<float>& v, double p) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * v.size()));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

float sample(const cv::Mat& frame, int y, int x) {
  return frame.depth() == CV_8U ? frame.at<uchar>(y, x) : frame.at<unsigned short>(y, x);
}

}  // namespace

MosaicLevels mosaic_levels(const cv::Mat& frame) {
  MosaicLevels m;
  for (int pos = 0; pos < 4; ++pos) {
    const int py = pos / 2, px = pos % 2;
    std::vector<float> all, middle;
    for (int y = py; y < frame.rows; y += 2 * level_stride) {
      const bool mid_row = y > frame.rows / 3 && y < 2 * frame.rows / 3;
      for (int x = px; x < frame.cols; x += 2 * level_stride) {
        const float v = sample(frame, y, x);
        all.push_back(v);
        if (mid_row && x > frame.cols / 3 && x < 2 * frame.cols / 3) middle.push_back(v);
      }
    }
    m.black[pos] = percentile(all, black_percentile);
    m.white[pos] = percentile(middle, white_percentile);
  }
  return m;
}

cv::Mat flatten_mosaic(const cv::Mat& frame, const MosaicLevels& levels) {
  cv::Mat flat(frame.size(), CV_32F);
  parallel_bands(frame.rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      float* dst = flat.ptr<float>(y);
      for (int x = 0; x < frame.cols; ++x) {
        const int pos = (y & 1) * 2 + (x & 1);
        const double span = std::max(1e-9, levels.white[pos] - levels.black[pos]);
        dst[x] = static_cast<float>((sample(frame, y, x) - levels.black[pos]) / span);
      }
    }
  });
  return flat;
}

void even_out_brightness(cv::Mat& flat, double pitch) {
  // Averaged over a Gaussian of three pitches, the grid's pattern leaves no ripple; the
  // average is taken on a grid eight times coarser and brought back by interpolation.
  constexpr int coarse = 8;
  constexpr double reach_pitches = 3;
  cv::Mat small, smooth, level;
  cv::resize(flat, small, cv::Size((flat.cols + coarse - 1) / coarse, (flat.rows + coarse - 1) / coarse), 0, 0,
             cv::INTER_AREA);
  cv::GaussianBlur(small, smooth, cv::Size(), reach_pitches * pitch / coarse);
  cv::resize(smooth, level, flat.size(), 0, 0, cv::INTER_LINEAR);
  cv::max(level, 1e-3, level);
  parallel_bands(flat.rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      float* f = flat.ptr<float>(y);
      const float* l = level.ptr<float>(y);
      for (int x = 0; x < flat.cols; ++x) f[x] /= l[x];
    }
  });
}

MicroImage measure_micro_image(const cv::Mat& flat, double y, double x, double radius) {
  constexpr int max_steps = 6;
  constexpr double settled = 1e-4;  // pixels
  MicroImage m;
  const int reach = static_cast<int>(std::ceil(radius + 1));
  for (int step = 0; step < max_steps; ++step) {
    const int iy = static_cast<int>(std::lround(y)), ix = static_cast<int>(std::lround(x));
    if (iy - reach < 0 || ix - reach < 0 || iy + reach >= flat.rows || ix + reach >= flat.cols) {
      m.ok = false;
      return m;
    }
    double s = 0, sy = 0, sx = 0, syy = 0, sxx = 0, sxy = 0;
    const double inner2 = (radius - 0.5) * (radius - 0.5), outer2 = (radius + 0.5) * (radius + 0.5);
    for (int v = -reach; v <= reach; ++v) {
      const float* row = flat.ptr<float>(iy + v);
      const double dy = iy + v - y;
      for (int u = -reach; u <= reach; ++u) {
        const double dx = ix + u - x;
        // Soft edge: a pixel counts by how much of it lies inside the window.
        const double d2 = dy * dy + dx * dx;
        if (d2 >= outer2) continue;
        const double w = d2 <= inner2 ? 1.0 : radius + 0.5 - std::sqrt(d2);
        const double l = w * row[ix + u];
        s += l;
        sy += l * dy;
        sx += l * dx;
        syy += l * dy * dy;
        sxx += l * dx * dx;
        sxy += l * dx * dy;
      }
    }
    if (!(s > 0)) {
      m.ok = false;
      return m;
    }
    const double my = sy / s, mx = sx / s;
    y += my;
    x += mx;
    m.mass = s;
    const double cyy = syy / s - my * my, cxx = sxx / s - mx * mx, cxy = sxy / s - mx * my;
    const double half_sum = (cyy + cxx) / 2, half_diff = std::sqrt((cyy - cxx) * (cyy - cxx) / 4 + cxy * cxy);
    m.elongation = half_sum > 0 ? 1 - (half_sum - half_diff) / (half_sum + half_diff) : 1;
    m.ok = true;
    if (std::fabs(my) < settled && std::fabs(mx) < settled) break;
  }
  m.y = y;
  m.x = x;
  return m;
}
