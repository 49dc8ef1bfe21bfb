// Scenes for the super-resolution tests.
#include "sr_scenes.h"

#include <random>
#include <vector>

#include "PSF.h"
#include "projection.h"

cv::Mat random_float(const Geometry& g, unsigned seed, float lo, float hi) {
  cv::Mat m(g.high_y, g.high_x, CV_32FC3);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  for (size_t i = 0; i < m.total() * 3; ++i) m.ptr<float>()[i] = d(rng);
  return m;
}

cv::Mat random_integers(const Geometry& g, unsigned seed, int lo, int hi) {
  cv::Mat m(g.high_y, g.high_x, CV_32FC3);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(lo, hi);
  for (size_t i = 0; i < m.total() * 3; ++i) m.ptr<float>()[i] = static_cast<float>(d(rng));
  return m;
}

cv::Mat level_depth(const Geometry& g, unsigned seed, int levels) {
  cv::Mat d(g.high_y, g.high_x, CV_32F);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pick(0, levels - 1);
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) {
      const int level = (x * levels / g.high_x + (pick(rng) == 0 ? 1 : 0)) % levels;
      d.at<float>(y, x) = -2.2601476f + 0.25f * static_cast<float>(4 + level);
    }
  return d;
}

Geometry unit_geometry() {
  Geometry g = small_geometry(8, 6);
  g.high_y = g.low_y;
  g.high_x = g.low_x;
  return g;
}

TestViews reproduced_exposure(const Geometry& g, const cv::Mat& estimate, const cv::Mat& depth) {
  TestViews e{std::vector<cv::Mat>(view_count), std::vector<cv::Mat>(view_count), {}};
  cv::Mat blurred;
  PSF(estimate, blurred, g.xscale(), g.yscale());
  for (int i = 0; i < view_count; ++i) {
    cv::Mat mask(g.low_y, g.low_x, CV_8UC1);
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n)
        mask.at<uchar>(k, n) = (k + n) % 2 == 1 ? static_cast<uchar>((k + n + i) % 3) : 3;
    cv::Mat warped, zbuf, projected;
    reference::forward_warp(blurred, depth, i, g, warped, zbuf);
    reference::sample_view(Kept::projected, warped, zbuf, mask, nullptr, g, projected);
    cv::Mat view;
    projected.convertTo(view, CV_8UC3);
    e.views[i] = view;
    e.masks[i] = mask;
  }
  return e;
}
