// The sub-pixel plane sweep: cost accumulation by output bands, edge-aware aggregation,
// winner with parabola refinement.
#include "quality_depth.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "PSF.h"
#include "execution.h"
#include "quality_aggregate.h"

std::vector<double> disparity_ladder(double lo, double hi, double step) {
  std::vector<double> out;
  const int n = static_cast<int>(std::floor((hi - lo) / step + 1e-3));
  for (int j = 0; j <= n; ++j) out.push_back(lo + j * step);
  return out;
}

namespace {

// Adds, for one candidate offset, each sample's capped squared difference to the full-grid
// pixel nearest to where it looks, and one to that pixel's count. Bands of output rows take
// the samples in the fixed order (view, k, n).
void accumulate_costs(const SubpixelModel& m, const cv::Mat& blurred, double offset, float cap,
                      cv::Mat& cost, cv::Mat& count) {
  const Geometry& g = m.geometry();
  const double ys = g.yscale(), xs = g.xscale();
  const float* img = blurred.ptr<float>(0);
  cost.setTo(0);
  count.setTo(0);
  parallel_bands(g.high_y, [&](int y0, int y1) {
    for (int i = 0; i < view_count; ++i) {
      if (i == center_view) continue;
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
          const float r = read_spot(img, g.high_x, t, s) - static_cast<float>(v[3 * n + t]);
          cost.ptr<float>(y)[x] += std::min(r * r, cap);
          count.ptr<float>(y)[x] += 1.0f;
        }
      }
    }
  });
}

}  // namespace

void sweep_depth(const SubpixelModel& m, const cv::Mat& estimate, const cv::Mat& base,
                 const std::vector<double>& offsets, const QualityParams& p, cv::Mat& depth,
                 const std::function<void(int)>& done) {
  const Geometry& g = m.geometry();
  cv::Mat blurred;
  PSF(estimate, blurred, g.xscale(), g.yscale());
  const EdgeAwareFilter filter(blurred, p.window_radius, p.guide_sigma);
  const float inf = std::numeric_limits<float>::infinity();
  const float cap = static_cast<float>(p.cost_cap * p.cost_cap);
  cv::Mat cost(g.high_y, g.high_x, CV_32F), count(g.high_y, g.high_x, CV_32F);
  cv::Mat best(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));
  cv::Mat best_index(g.high_y, g.high_x, CV_32S, cv::Scalar(0));
  cv::Mat before(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));  // cost one step below the best
  cv::Mat after(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));   // one step above
  cv::Mat last(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));    // previous candidate's cost
  for (size_t j = 0; j < offsets.size(); ++j) {
    accumulate_costs(m, blurred, offsets[j], cap, cost, count);
    filter.apply(cost, count);
    const int jj = static_cast<int>(j);
    parallel_bands(g.high_y, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) {
        const float* c = cost.ptr<float>(y);
        const float* nc = count.ptr<float>(y);
        float* b = best.ptr<float>(y);
        int* bi = best_index.ptr<int>(y);
        float* lo = before.ptr<float>(y);
        float* hi = after.ptr<float>(y);
        float* l = last.ptr<float>(y);
        for (int x = 0; x < g.high_x; ++x) {
          const float mean = nc[x] > 1e-6f ? c[x] / nc[x] : inf;
          if (bi[x] == jj - 1) hi[x] = mean;
          if (mean < b[x]) {
            lo[x] = jj > 0 ? l[x] : inf;
            b[x] = mean;
            bi[x] = jj;
            hi[x] = inf;
          }
          l[x] = mean;
        }
      }
    });
    done(jj + 1);
  }
  // Parabola through the winner and its neighbours on the ladder.
  const double step = offsets.size() > 1 ? offsets[1] - offsets[0] : 0.0;
  cv::Mat raw(g.high_y, g.high_x, CV_32F);
  parallel_bands(g.high_y, [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
      const float* b = best.ptr<float>(y);
      const int* bi = best_index.ptr<int>(y);
      const float* lo = before.ptr<float>(y);
      const float* hi = after.ptr<float>(y);
      const float* bs = base.ptr<float>(y);
      float* o = raw.ptr<float>(y);
      for (int x = 0; x < g.high_x; ++x) {
        double off = offsets.empty() ? 0.0 : offsets[bi[x]];
        if (std::isfinite(lo[x]) && std::isfinite(hi[x]) && std::isfinite(b[x])) {
          const double denom = static_cast<double>(lo[x]) - 2.0 * b[x] + hi[x];
          if (denom > 0) off += step * std::clamp(0.5 * (lo[x] - hi[x]) / denom, -0.5, 0.5);
        }
        o[x] = static_cast<float>(bs[x] + off);
      }
    }
  });
  cv::medianBlur(raw, depth, 5);
}
