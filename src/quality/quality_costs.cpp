// Per-candidate matching costs: samples against the estimate, and samples against each other.
#include "quality_costs.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "execution.h"

namespace {

// Calls take(t, value, spot, y, x) for every sample of view i whose nearest full-grid pixel
// (y, x) lies in rows [y0, y1), in the view's row-major order.
template <class Take>
void samples_into_band(const SubpixelModel& m, int i, double offset, int y0, int y1, Take&& take) {
  const Geometry& g = m.geometry();
  const double ys = g.yscale(), xs = g.xscale();
  const ViewDirection& w = m.direction(i);
  const double shift = offset * w.wy;
  int k0, k1;
  view_rows_for_band(y0, y1, m.shift_lo(i) + shift, m.shift_hi(i) + shift, 1.0, ys, g.low_y, k0, k1);
  for (int k = k0; k < k1; ++k) {
    const uchar* mk = m.mask(i).ptr<uchar>(k);
    const uchar* v = m.view(i).ptr<uchar>(k);
    const float* d = m.view_disparity(i).ptr<float>(k);
    for (int n = 0; n < g.low_x; ++n) {
      const int t = mk[n];
      if (t > 2) continue;
      SampleSpot s;
      if (!sample_spot(k, n, d[n] + offset, w, ys, xs, g.high_y, g.high_x, s)) continue;
      const int y = s.iy + (s.fy >= 0.5f ? 1 : 0);
      if (y < y0 || y >= y1) continue;
      const int x = s.ix + (s.fx >= 0.5f ? 1 : 0);
      take(t, static_cast<float>(v[3 * n + t]), s, y, x);
    }
  }
}

// Rows whose sums are gathered at once, and sums per pixel (three per channel).
constexpr int chunk_rows = 32;
constexpr int sums_per_pixel = 9;

}  // namespace

void EstimateCost::operator()(double offset, cv::Mat& cost, cv::Mat& count) {
  const int cols = m_.geometry().high_x;
  const float* img = blurred_.ptr<float>(0);
  cost.setTo(0);
  count.setTo(0);
  parallel_bands(m_.geometry().high_y, [&](int y0, int y1) {
    for (int i = 0; i < view_count; ++i) {
      if (i == center_view) continue;  // the estimate is made from it
      samples_into_band(m_, i, offset, y0, y1, [&](int t, float value, const SampleSpot& s, int y, int x) {
        const float r = read_spot(img, cols, t, s) - value;
        cost.ptr<float>(y)[x] += std::min(r * r, cap_);
        count.ptr<float>(y)[x] += 1.0f;
      });
    }
  });
}

ConsistencyCost::ConsistencyCost(const SubpixelModel& m, const cv::Mat& blurred) : m_(m) {
  const cv::Mat ky = (cv::Mat_<float>(3, 1) << -0.5f, 0.0f, 0.5f);
  const cv::Mat kx = (cv::Mat_<float>(1, 3) << -0.5f, 0.0f, 0.5f);
  cv::filter2D(blurred, slope_y_, CV_32F, ky, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
  cv::filter2D(blurred, slope_x_, CV_32F, kx, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
}

void ConsistencyCost::operator()(double offset, cv::Mat& cost, cv::Mat& count) {
  const int rows = m_.geometry().high_y, cols = m_.geometry().high_x;
  const int chunks = (rows + chunk_rows - 1) / chunk_rows;
  const size_t row_sums = static_cast<size_t>(cols) * sums_per_pixel;
  parallel_bands(chunks, [&](int c0, int c1) {
    // Per pixel and channel: sum, sum of squares and number of samples.
    std::vector<float> sums(chunk_rows * row_sums);
    for (int chunk = c0; chunk < c1; ++chunk) {
      const int y0 = chunk * chunk_rows, y1 = std::min(rows, y0 + chunk_rows);
      std::fill(sums.begin(), sums.end(), 0.0f);
      for (int i = 0; i < view_count; ++i) {
        samples_into_band(m_, i, offset, y0, y1, [&](int t, float value, const SampleSpot& sp, int y, int x) {
          // Taking off the slope across the spot's distance from the pixel centre keeps the
          // spread within a pixel from depending on where this candidate drops the samples:
          // otherwise candidates that stack many views' samples on one spot would look best.
          const float dy = sp.fy - static_cast<float>(y - sp.iy), dx = sp.fx - static_cast<float>(x - sp.ix);
          const float v = value - slope_y_.ptr<float>(y)[3 * x + t] * dy - slope_x_.ptr<float>(y)[3 * x + t] * dx;
          float* a = sums.data() + (y - y0) * row_sums + static_cast<size_t>(x) * sums_per_pixel + 3 * t;
          a[0] += v;
          a[1] += v * v;
          a[2] += 1.0f;
        });
      }
      for (int y = y0; y < y1; ++y) {
        float* c = cost.ptr<float>(y);
        float* nc = count.ptr<float>(y);
        const float* a = sums.data() + (y - y0) * row_sums;
        for (int x = 0; x < cols; ++x) {
          float spread = 0.0f, n = 0.0f;
          for (int t = 0; t < 3; ++t, a += 3) {
            if (a[2] < 2.0f) continue;
            spread += std::max(0.0f, a[1] - a[0] * a[0] / a[2]);
            n += a[2] - 1.0f;
          }
          c[x] = spread;
          nc[x] = n;
        }
      }
    }
  });
}
