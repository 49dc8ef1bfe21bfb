// The sub-pixel plane sweep: per-candidate costs, their aggregation and shiftable windows,
// the winner with parabola refinement.
#include "quality_depth.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "PSF.h"
#include "execution.h"
#include "quality_aggregate.h"
#include "quality_costs.h"

std::vector<double> disparity_ladder(double lo, double hi, double step) {
  std::vector<double> out;
  const int n = static_cast<int>(std::floor((hi - lo) / step + 1e-3));
  for (int j = 0; j <= n; ++j) out.push_back(lo + j * step);
  return out;
}

void sweep_depth(const SubpixelModel& m, const cv::Mat& estimate, const cv::Mat& base,
                 const std::vector<double>& offsets, const QualityParams& p, SweepMatch match,
                 cv::Mat& depth, const std::function<void(int)>& done) {
  const Geometry& g = m.geometry();
  cv::Mat blurred;
  PSF(estimate, blurred, g.xscale(), g.yscale());
  const EdgeAwareFilter filter(blurred, p.window_radius, p.guide_sigma);
  std::unique_ptr<MatchCost> score;
  if (match == SweepMatch::consistency) score = std::make_unique<ConsistencyCost>(m, blurred);
  else score = std::make_unique<EstimateCost>(m, blurred, static_cast<float>(p.cost_cap * p.cost_cap));
  const int shift = static_cast<int>(p.shift_window);
  const cv::Mat shift_element =
      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * shift + 1, 2 * shift + 1));
  const float inf = std::numeric_limits<float>::infinity();
  cv::Mat cost(g.high_y, g.high_x, CV_32F), count(g.high_y, g.high_x, CV_32F);
  cv::Mat mean(g.high_y, g.high_x, CV_32F);
  cv::Mat best(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));
  cv::Mat best_index(g.high_y, g.high_x, CV_32S, cv::Scalar(0));
  cv::Mat before(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));  // cost one step below the best
  cv::Mat after(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));   // one step above
  cv::Mat last(g.high_y, g.high_x, CV_32F, cv::Scalar(inf));    // previous candidate's cost
  for (size_t j = 0; j < offsets.size(); ++j) {
    (*score)(offsets[j], cost, count);
    filter.apply(cost, count);
    parallel_bands(g.high_y, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) {
        const float* c = cost.ptr<float>(y);
        const float* nc = count.ptr<float>(y);
        float* o = mean.ptr<float>(y);
        for (int x = 0; x < g.high_x; ++x) o[x] = nc[x] > 1e-6f ? c[x] / nc[x] : inf;
      }
    });
    // Shiftable windows: a pixel takes the lowest mean cost of the windows around its
    // neighbours, so a window that straddles a depth edge gives way to one that does not and
    // the nearer surface does not spread over its background.
    if (shift > 0) cv::erode(mean, mean, shift_element, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    const int jj = static_cast<int>(j);
    parallel_bands(g.high_y, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) {
        const float* mc = mean.ptr<float>(y);
        float* b = best.ptr<float>(y);
        int* bi = best_index.ptr<int>(y);
        float* lo = before.ptr<float>(y);
        float* hi = after.ptr<float>(y);
        float* l = last.ptr<float>(y);
        for (int x = 0; x < g.high_x; ++x) {
          if (bi[x] == jj - 1) hi[x] = mc[x];
          if (mc[x] < b[x]) {
            lo[x] = jj > 0 ? l[x] : inf;
            b[x] = mc[x];
            bi[x] = jj;
            hi[x] = inf;
          }
          l[x] = mc[x];
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
