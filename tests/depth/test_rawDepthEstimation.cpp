// Depth estimation: candidate ladder and shifts, window smoothing, nearest-neighbour
// upsampling, the grey levels of the depth file, input checks and a synthetic scene of known
// disparity. Each behaviour is checked on both the reference and the fast path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "PSF.h"
#include "errors.h"
#include "execution.h"
#include "imageio.h"
#include "rawDepthEstimation.h"
#include "output_paths.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

TEST(DisparityLadder, TwentyCandidatesAndTheirShifts) {
  const Geometry g;
  const std::vector<float> c = disparity_candidates(-1, 1, g);
  ASSERT_EQ(c.size(), 20u);
  EXPECT_EQ(c.front(), -2.2601475715637207f);
  EXPECT_NEAR(c[9], -0.0101476f, 1e-7);
  EXPECT_NEAR(c.back(), 2.4898524f, 1e-7);
  for (size_t k = 1; k < c.size(); ++k) EXPECT_EQ(c[k], c[k - 1] + 0.25f);

  // View 0 sits at offset (4, 4), view 80 at (-4, -4).
  struct Case { float d; int shift; };
  for (const Case& t : {Case{c[0], -9}, Case{c[9], 0}, Case{c[10], 1}, Case{c[19], 10}}) {
    EXPECT_EQ(disparity_shift_rows(t.d, view_offset_y(0), g), t.shift) << t.d;
    EXPECT_EQ(disparity_shift_cols(t.d, view_offset_x(0)), t.shift) << t.d;
    EXPECT_EQ(disparity_shift_rows(t.d, view_offset_y(80), g), -t.shift) << t.d;
    EXPECT_EQ(disparity_shift_cols(t.d, view_offset_x(80)), -t.shift) << t.d;
  }
  // A single disparity gives a single candidate; an empty range none.
  EXPECT_EQ(disparity_candidates(0, 0, g).size(), 1u);
  EXPECT_EQ(disparity_candidates(-1, -1, g).size(), 1u);
  EXPECT_EQ(disparity_candidates(1, 0, g).size(), 0u);
}

class DepthPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { execution().reference = GetParam(); }
  void TearDown() override { execution().reference = false; }
};

cv::Mat smooth(const cv::Mat& cost, int window) {
  rawDepthEstimation de(-1, 1, window);
  cv::Mat out = cost.clone();
  de.blur_ssd(out, large_cost);
  return out;
}

TEST_P(DepthPaths, BlurSsdFrameThresholdAndWindowSizes) {
  // A constant cost stays inside a zero frame of window / 2 (8 acts as 9); an image smaller
  // than the window comes back all zero.
  const cv::Mat flat(13, 17, CV_32F, cv::Scalar(7.5f));
  for (int window : {9, 8}) {
    const cv::Mat out = smooth(flat, window);
    EXPECT_EQ(cv::countNonZero(out), 5 * 9) << window;
    EXPECT_EQ(cv::countNonZero(out(cv::Rect(4, 4, 9, 5)) != 7.5f), 0) << window;
  }
  EXPECT_EQ(cv::countNonZero(smooth(cv::Mat(8, 30, CV_32F, cv::Scalar(1.0f)), 9)), 0);

  // One visited pixel (4, 4) whose window is the whole image: the threshold 9999990 itself,
  // the no-sample cost and NaN are left out, 9999989 counts.
  cv::Mat cost(9, 9, CV_32F, cv::Scalar(2.0f));
  cost.at<float>(0, 0) = no_sample_cost;
  cost.at<float>(1, 1) = 9999990.0f;
  cost.at<float>(2, 2) = std::numeric_limits<float>::quiet_NaN();
  cost.at<float>(8, 7) = 9999989.0f;
  cost.at<float>(8, 8) = 5.0f;
  const float sum = 2.0f * 76 + 9999989.0f + 5.0f;  // raster order
  EXPECT_EQ(smooth(cost, 9).at<float>(4, 4), sum / 78);
  cost.setTo(cv::Scalar(no_sample_cost));  // nothing counts: the lowest cost, 0
  EXPECT_EQ(smooth(cost, 9).at<float>(4, 4), 0.0f);

  // Window 1: no frame; costs below the threshold stay, the others become 0.
  const cv::Mat one = (cv::Mat_<float>(1, 4) << 1.0f, 9999990.0f, 9999989.0f, no_sample_cost);
  const cv::Mat want = (cv::Mat_<float>(1, 4) << 1.0f, 0.0f, 9999989.0f, 0.0f);
  EXPECT_TRUE(same_bytes(smooth(one, 1), want));
}

TEST_P(DepthPaths, NNresizeMapsRowsAndColumnsToNearestViewPixel) {
  const Geometry g;
  rawDepthEstimation de(-1, 1, 9, g);
  // Masks vary with the view pixel (column 1 has no sample); every channel holds a value.
  cv::Mat mask(g.low_y, g.low_x, CV_8UC1), view(g.low_y, g.low_x, CV_8UC3);
  for (int k = 0; k < g.low_y; ++k)
    for (int n = 0; n < g.low_x; ++n) {
      mask.at<uchar>(k, n) = n == 1 ? 3 : static_cast<uchar>((k + n) % 3);
      view.at<cv::Vec3b>(k, n) = cv::Vec3b(k % 256, n % 256, (k + n + 1) % 256);
    }
  cv::Mat up_view, up_mask;
  de.NNresize(view, mask, up_view, up_mask);
  ASSERT_EQ(up_view.type(), CV_32FC3);
  ASSERT_EQ(up_mask.size(), cv::Size(g.high_x, g.high_y));
  auto expect_from = [&](int y, int x, int k, int n) {
    const uchar m = mask.at<uchar>(k, n);
    ASSERT_EQ(up_mask.at<uchar>(y, x), m) << y << "," << x;
    cv::Vec3f want(0, 0, 0);  // only the masked channel is copied
    if (m != 3) want[m] = view.at<cv::Vec3b>(k, n)[m];
    EXPECT_EQ(up_view.at<cv::Vec3f>(y, x), want) << y << "," << x;
  };
  // 817 / yscale is exactly 216.5: halves go to the even row.
  expect_from(817, 1000, 216, 442);
  expect_from(1, 1, 0, 0);
  expect_from(2, 2, 1, 1);
  expect_from(5, 3, 1, 1);
  expect_from(6, 4, 2, 2);
  // The last row and column fall outside the view.
  EXPECT_EQ(cv::countNonZero(up_mask.row(g.high_y - 1) != 3), 0);
  EXPECT_EQ(cv::countNonZero(up_mask.col(g.high_x - 1) != 3), 0);
  EXPECT_EQ(cv::norm(up_view.row(g.high_y - 1), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(up_view.col(g.high_x - 1), cv::NORM_INF), 0.0);
}

TEST(DepthFile, GreyLevelsOfTheCandidates) {
  const Geometry g;
  const std::string dir = make_temp_dir("depth");
  const Output out(dir);
  out.make_dirs(paths::view_dir());
  rawDepthEstimation de(-1, 1, 9, g, &out);
  const std::vector<float> c = disparity_candidates(-1, 1, g);
  cv::Mat depth(1, 23, CV_32F);
  for (int k = 0; k < 20; ++k) depth.at<float>(0, k) = c[k];
  depth.at<float>(0, 20) = 0.0f;
  depth.at<float>(0, 21) = -5.0f;
  depth.at<float>(0, 22) = 1.0f * g.xscale_f();
  de.save_depth(depth);
  const cv::Mat grey = cv::imread(dir + paths::depth_map(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(grey.type(), CV_8UC1);
  ASSERT_EQ(grey.cols, 23);
  const int want[23] = {0,   14,  28,  42,  56,  71,  85,  99,  113, 127, 141, 155,
                        169, 183, 197, 212, 226, 240, 254, 255, 128, 0,   255};
  for (int k = 0; k < 23; ++k) EXPECT_EQ(grey.at<uchar>(0, k), want[k]) << k;
}

// Views and masks of a small geometry: masks sample where k + n is odd, in a channel that
// varies with the view; views filled by `value(n, k, m, channel)`.
template <class Value>
void make_views(const Geometry& g, std::vector<cv::Mat>& views, std::vector<cv::Mat>& masks,
                Value value) {
  views.assign(view_count, cv::Mat());
  masks.assign(view_count, cv::Mat());
  for (int n = 0; n < view_count; ++n) {
    views[n] = cv::Mat::zeros(g.low_y, g.low_x, CV_8UC3);
    masks[n] = cv::Mat(g.low_y, g.low_x, CV_8UC1, cv::Scalar(3));
    for (int k = 0; k < g.low_y; ++k)
      for (int m = 0; m < g.low_x; ++m) {
        if ((k + m) % 2 == 0) continue;
        const int ch = (k + m / 2 + n) % 3;
        masks[n].at<uchar>(k, m) = static_cast<uchar>(ch);
        views[n].at<cv::Vec3b>(k, m)[ch] = cv::saturate_cast<uchar>(value(n, k, m, ch));
      }
  }
}

TEST_P(DepthPaths, SyntheticSceneOfConstantDisparityIsFound) {
  const Geometry g = small_geometry(40, 30);
  // A smooth random texture: bicubic upsampling of coarse noise.
  cv::Mat coarse;
  random_image(cv::Size(g.high_x / 7, g.high_y / 7), CV_8UC3, 11).convertTo(coarse, CV_32FC3);
  cv::Mat estimate;
  cv::resize(coarse, estimate, cv::Size(g.high_x, g.high_y), 0, 0, cv::INTER_CUBIC);
  cv::Mat blurred;
  reference::PSF(estimate, blurred, g.xscale(), g.yscale());

  // Every view sees the blurred scene shifted by the true candidate's shift.
  const std::vector<float> c = disparity_candidates(-1, 1, g);
  const float truth = c[14];
  std::vector<cv::Mat> views, masks;
  make_views(g, views, masks, [&](int n, int k, int m, int ch) {
    const int ty = disparity_shift_rows(truth, view_offset_y(n), g);
    const int tx = disparity_shift_cols(truth, view_offset_x(n));
    const int y = std::clamp(cvRound(k * g.yscale()) - ty, 0, g.high_y - 1);
    const int x = std::clamp(cvRound(m * g.xscale()) - tx, 0, g.high_x - 1);
    return cvRound(blurred.at<cv::Vec3f>(y, x)[ch]);
  });

  rawDepthEstimation de(-1, 1, 9, g);
  cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  de.search_rawdisparity(estimate, views.data(), masks.data(), depth);
  ASSERT_EQ(depth.type(), CV_32F);
  ASSERT_EQ(depth.size(), cv::Size(g.high_x, g.high_y));
  const int margin = 14;
  for (int y = margin; y < g.high_y - margin; ++y)
    for (int x = margin; x < g.high_x - margin; ++x)
      ASSERT_EQ(depth.at<float>(y, x), truth) << y << "," << x;
  // The four-pixel frame gets cost 0 for every candidate, so the first one wins there.
  EXPECT_EQ(depth.at<float>(0, 0), c[0]);
  EXPECT_EQ(depth.at<float>(g.high_y - 1, g.high_x / 2), c[0]);
}

// The run's depth files against the map it keeps in memory: the float file bit for bit, the
// picture as its 8-bit grey levels. A random scene gives candidates from the whole ladder.
TEST(DepthFile, FloatFileHoldsTheEstimatedMapExactly) {
  const Geometry g = small_geometry(14, 12);
  std::vector<cv::Mat> views, masks;
  make_views(g, views, masks, [](int n, int k, int m, int ch) { return (n * 37 + k * 11 + m * 5 + ch * 71) % 256; });
  cv::Mat estimate;
  random_image(cv::Size(g.high_x, g.high_y), CV_8UC3, 5).convertTo(estimate, CV_32FC3);
  const std::string dir = make_temp_dir("depthpfm");
  Output out(dir);
  out.set_float_depth(true);
  out.make_dirs(paths::view_dir());
  cv::Mat depth;
  rawDepthEstimation(-1, 1, 3, g, &out).estimate_rawdepth(estimate, views.data(), masks.data(), depth);
  std::set<float> levels(depth.begin<float>(), depth.end<float>());
  EXPECT_GT(levels.size(), 3u);  // not only the whole numbers an 8-bit file could keep

  const cv::Mat pfm = cv::imread(dir + "/" + paths::view_dir() + "depthmapbig.pfm", cv::IMREAD_UNCHANGED);
  EXPECT_TRUE(same_bytes(pfm, depth));
  cv::Mat grey;
  depth_to_grey(depth, -1, 1, g).convertTo(grey, CV_8U);
  EXPECT_TRUE(same_bytes(cv::imread(dir + paths::depth_map(), cv::IMREAD_UNCHANGED), grey));
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST_P(DepthPaths, CostsAboveTheInitialBestLeaveDisparityZero) {
  // Estimate 1500 against 8-bit samples: every mean cost lies between 1e6 and the threshold,
  // so no candidate improves on the initial best cost inside the frame.
  const Geometry g = small_geometry(12, 10);
  std::vector<cv::Mat> views, masks;
  make_views(g, views, masks, [](int n, int k, int m, int) { return (n * 7 + k * 3 + m) % 256; });
  const cv::Mat estimate(g.high_y, g.high_x, CV_32FC3, cv::Scalar(1500, 1500, 1500));
  rawDepthEstimation de(-1, 1, 9, g);
  cv::Mat depth;
  de.search_rawdisparity(estimate, views.data(), masks.data(), depth);
  EXPECT_EQ(depth.at<float>(g.high_y / 2, g.high_x / 2), 0.0f);
  EXPECT_EQ(depth.at<float>(0, 0), disparity_candidates(-1, 1, g)[0]);

  // No samples at all: every smoothed cost is 0 and the first candidate wins everywhere.
  for (cv::Mat& m : masks) m.setTo(cv::Scalar(3));
  de.search_rawdisparity(estimate, views.data(), masks.data(), depth);
  EXPECT_EQ(cv::countNonZero(depth != disparity_candidates(-1, 1, g)[0]), 0);
}

TEST_P(DepthPaths, MismatchedInputsAreRejected) {
  const Geometry g = small_geometry(6, 5);
  std::vector<cv::Mat> views, masks;
  make_views(g, views, masks, [](int, int, int, int) { return 9; });
  cv::Mat estimate(g.high_y, g.high_x, CV_32FC3, cv::Scalar(1, 2, 3)), depth;
  rawDepthEstimation de(-1, 1, 9, g);
  auto search = [&](const cv::Mat& e) { de.search_rawdisparity(e, views.data(), masks.data(), depth); };
  EXPECT_NO_THROW(search(estimate));
  EXPECT_THROW(search(cv::Mat(g.high_y + 1, g.high_x, CV_32FC3, cv::Scalar(0))), RunError);
  EXPECT_THROW(search(cv::Mat(g.high_y, g.high_x, CV_8UC3, cv::Scalar(0))), RunError);
  masks[3].at<uchar>(2, 2) = 4;  // would index a fourth channel
  EXPECT_THROW(search(estimate), RunError);
  masks[3].at<uchar>(2, 2) = 3;
  views[80] = cv::Mat(g.low_y, g.low_x - 1, CV_8UC3, cv::Scalar(0));
  EXPECT_THROW(search(estimate), RunError);
  cv::Mat cost(10, 10, CV_32F, cv::Scalar(1));
  EXPECT_THROW(rawDepthEstimation(-1, 1, 0, g).blur_ssd(cost, large_cost), RunError);
}

// ---- Fast against reference, byte for byte ----

// Costs like the sweep's (mean squared differences, no-sample costs) plus the values at and
// around the threshold, NaN and negative zero.
cv::Mat random_costs(int rows, int cols, unsigned seed) {
  cv::Mat m(rows, cols, CV_32F);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, 0.0, 5000.0);
  const float specials[] = {no_sample_cost, 9999990.0f, 9999989.0f, -0.0f, 0.0f,
                            std::numeric_limits<float>::quiet_NaN(), 1e30f};
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) {
      const int u = rng.uniform(0, 100);
      if (u < 30) m.at<float>(i, j) = no_sample_cost;
      else if (u < 37) m.at<float>(i, j) = specials[u - 30];
    }
  return m;
}

cv::Mat blur_with(bool reference_path, const cv::Mat& cost, int window) {
  execution().reference = reference_path;
  cv::Mat out = smooth(cost, window);
  execution().reference = false;
  return out;
}

TEST(DepthFast, BlurSsdMatchesReference) {
  const cv::Size sizes[] = {{1, 1}, {9, 9}, {20, 8}, {8, 20}, {70, 67}};
  unsigned seed = 1;
  for (const cv::Size& s : sizes)
    for (int window : {1, 2, 3, 8, 9, 15}) {
      const cv::Mat cost = random_costs(s.height, s.width, seed++);
      EXPECT_TRUE(same_bytes(blur_with(true, cost, window), blur_with(false, cost, window)))
          << s << " window " << window;
    }
  const cv::Mat full = random_costs(high_y, high_x, 99);
  const cv::Mat want = blur_with(true, full, 9);
  for (int threads : {1, 2, 3}) {
    execution().threads = threads;
    EXPECT_TRUE(same_bytes(want, blur_with(false, full, 9))) << threads << " threads";
  }
  execution().threads = 0;
}

TEST(DepthFast, NNresizeMatchesReferenceAtFullSize) {
  const Geometry g;
  const cv::Mat view = random_image(cv::Size(g.low_x, g.low_y), CV_8UC3, 5);
  cv::Mat mask = random_image(cv::Size(g.low_x, g.low_y), CV_8UC1, 6);
  mask.forEach<uchar>([](uchar& v, const int*) { v = v % 4; });
  cv::Mat want_view, want_mask, got_view, got_mask;
  reference::NNresize(view, mask, want_view, want_mask, g);
  NNresize_fast(view, mask, got_view, got_mask, g);
  EXPECT_TRUE(same_bytes(want_view, got_view));
  EXPECT_TRUE(same_bytes(want_mask, got_mask));
}

cv::Mat search_with(bool reference_path, const TestViews& e, int min_d, int max_d,
                    const Geometry& g, int window = 9) {
  execution().reference = reference_path;
  rawDepthEstimation de(min_d, max_d, window, g);
  cv::Mat depth;
  de.search_rawdisparity(e.estimate, e.views.data(), e.masks.data(), depth);
  execution().reference = false;
  return depth;
}

TEST(DepthFast, SearchMatchesReferenceAtFullSize) {
  const Geometry g;
  const TestViews e = random_views(g, 21);
  // One candidate, the first of the default range: shifts of up to 9 rows and columns.
  EXPECT_TRUE(same_bytes(search_with(true, e, -1, -1, g), search_with(false, e, -1, -1, g)));
}

TEST(DepthFast, SearchMatchesReferenceOnASmallGeometryForAnyThreadCount) {
  const Geometry g = small_geometry(30, 25);
  const TestViews e = random_views(g, 31);
  const cv::Mat want = search_with(true, e, -1, 1, g);
  for (int threads : {1, 2, 3}) {
    execution().threads = threads;
    EXPECT_TRUE(same_bytes(want, search_with(false, e, -1, 1, g))) << threads << " threads";
  }
  execution().threads = 0;
  // Shifts wider than the tables' margin of "no sample" (|tx| up to 72 columns).
  EXPECT_TRUE(same_bytes(search_with(true, e, -8, -7, g), search_with(false, e, -8, -7, g)));
  for (int window : {1, 4, 15})
    EXPECT_TRUE(same_bytes(search_with(true, e, -2, 1, g, window),
                           search_with(false, e, -2, 1, g, window)))
        << "window " << window;
  // A second estimation, on working memory the first one used, with one view's samples changed.
  TestViews changed = e;
  changed.views[20] = 255 - e.views[20];
  EXPECT_TRUE(same_bytes(search_with(true, changed, -2, 1, g), search_with(false, changed, -2, 1, g)));
}

INSTANTIATE_TEST_SUITE_P(Paths, DepthPaths, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "reference" : "fast"; });

}  // namespace
