// The threaded projection pipeline against the plain one, byte for byte, at several thread
// counts, on small grids and at the camera's full size with a disparity map of several levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "execution.h"
#include "imageio.h"
#include "rawSuperResolution.h"
#include "rawSuperResolution_model.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

struct Scene {
  Geometry g;
  std::vector<cv::Mat> views, masks;
  cv::Mat estimate, direction, depth;
};

// Candidate disparities of the depth search in smooth regions with speckles, so the warps
// occlude, leave holes and change level inside footprints.
cv::Mat realistic_depth(const Geometry& g, unsigned seed) {
  cv::Mat d(g.high_y, g.high_x, CV_32F);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> speckle(0, 40), level(0, 19);
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) {
      int j = 9 + static_cast<int>(std::lround(5 * std::sin(x / 97.0) * std::cos(y / 61.0)));
      if (speckle(rng) == 0) j = level(rng);
      d.at<float>(y, x) = -2.2601476f + 0.25f * static_cast<float>(j);
    }
  return d;
}

Scene make_scene(const Geometry& g, unsigned seed) {
  Scene s{g, std::vector<cv::Mat>(view_count), std::vector<cv::Mat>(view_count), {}, {}, {}};
  const cv::Size raw = raw_size_for(g);
  viewCreate vc(random_image(raw, CV_8UC3, seed), random_image(raw, CV_8UC1, seed + 1), g);
  cv::Mat center;
  vc.create_mask(s.views.data(), s.masks.data(), center);
  random_image(cv::Size(g.high_x, g.high_y), CV_8UC3, seed + 2).convertTo(s.estimate, CV_32FC3);
  s.direction = cv::Mat(g.high_y, g.high_x, CV_32FC3);
  cv::randn(s.direction, 0.0, 20.0);
  s.depth = realistic_depth(g, seed + 3);
  return s;
}

// Into::overwrite starts from an image full of NaN, which must not show through.
cv::Mat run(Projection kind, const Scene& s, bool plain, int threads, PlanCache* cache,
            Into into = Into::add) {
  const bool error = kind == Projection::error;
  cv::Mat out = error ? cv::Mat::zeros(s.g.low_y, s.g.low_x, CV_32FC3)
                      : cv::Mat::zeros(s.g.high_y, s.g.high_x, CV_32FC3);
  if (into == Into::overwrite) out.setTo(cv::Scalar::all(std::nan("")));
  const cv::Mat& image = kind == Projection::hessian ? s.direction : s.estimate;
  const cv::Mat* views = kind == Projection::hessian ? nullptr : s.views.data();
  execution().threads = threads;
  // The blur itself has its own byte-identity tests; the plain pipeline uses the fast one.
  if (plain)
    reference::project_views(kind, image, views, s.masks.data(), s.depth, s.g, out, nullptr);
  else
    project_views_fast(kind, image, views, s.masks.data(), s.depth, s.g, out, nullptr, cache,
                       into);
  execution().threads = 0;
  return out;
}

void expect_identical(const Scene& s, const std::vector<int>& thread_counts) {
  for (Projection kind : {Projection::error, Projection::gradient, Projection::hessian}) {
    const cv::Mat expected = run(kind, s, true, 1, nullptr);
    ASSERT_GT(cv::countNonZero(expected.reshape(1)), 0);
    PlanCache cache;
    for (int threads : thread_counts) {
      EXPECT_TRUE(same_bytes(run(kind, s, false, threads, &cache), expected))
          << "kind " << static_cast<int>(kind) << ", " << threads << " threads";
    }
    EXPECT_TRUE(same_bytes(run(kind, s, false, 2, &cache, Into::overwrite), expected))
        << "kind " << static_cast<int>(kind) << ", overwriting";
  }
}

}  // namespace

TEST(FastProjection, MatchesPlainOnSmallGrids) {
  for (auto size : {std::pair<int, int>{7, 5}, {12, 10}, {23, 17}}) {
    const Scene s = make_scene(small_geometry(size.first, size.second), 100 + size.first);
    expect_identical(s, {1, 2, 3});
  }
  // Other scales give blur kernels of other sizes (here 5 columns by 3 rows).
  Geometry wide = small_geometry(12, 10);
  wide.high_x = 86;
  wide.high_y = 31;
  expect_identical(make_scene(wide, 3), {1, 2});
}

TEST(FastProjection, PlanFollowsTheDisparityMap) {
  Scene s = make_scene(small_geometry(12, 10), 7);
  PlanCache cache;
  run(Projection::error, s, false, 2, &cache);
  const PlanCache first = cache;
  run(Projection::hessian, s, false, 2, &cache);
  EXPECT_EQ(cache, first);  // same bytes: reused
  s.depth.at<float>(20, 20) += 0.25f;
  EXPECT_TRUE(same_bytes(run(Projection::gradient, s, false, 2, &cache),
                         run(Projection::gradient, s, true, 1, nullptr)));
  EXPECT_NE(cache, first);
}

// A gradient takes the residuals of the error pass before it only when the blurred image
// and the recorded views are still the same bytes.
TEST(FastProjection, KeptResidualsFollowTheInputs) {
  Scene s = make_scene(small_geometry(12, 10), 9);
  PlanCache cache;
  const auto gradient_matches_plain = [&] {
    run(Projection::error, s, false, 2, &cache);
    return same_bytes(run(Projection::gradient, s, false, 2, &cache),
                      run(Projection::gradient, s, true, 1, nullptr));
  };
  EXPECT_TRUE(gradient_matches_plain());
  run(Projection::error, s, false, 2, &cache);
  for (int k = 0; k < s.g.low_y; ++k)  // every recorded sample of a view changes
    for (int n = 0; n < s.g.low_x; ++n) {
      cv::Vec3b& v = s.views[30].at<cv::Vec3b>(k, n);
      v = cv::Vec3b(255, 255, 255) - v;
    }
  EXPECT_TRUE(same_bytes(run(Projection::gradient, s, false, 2, &cache),
                         run(Projection::gradient, s, true, 1, nullptr)));
  run(Projection::error, s, false, 2, &cache);
  s.estimate.at<cv::Vec3f>(40, 40)[2] += 3.0f;  // and the estimate
  EXPECT_TRUE(same_bytes(run(Projection::gradient, s, false, 2, &cache),
                         run(Projection::gradient, s, true, 1, nullptr)));
}

// Layers of constant disparity, whose rows move as long blocks, beside a patch of speckles
// and non-finite disparities; and a few non-finite samples in the images, which reach some
// views' values and not others.
TEST(FastProjection, LayeredMapWithNonFiniteValues) {
  Scene s = make_scene(small_geometry(40, 60), 31);
  for (int y = 0; y < s.g.high_y; ++y)
    for (int x = 0; x < s.g.high_x; ++x)
      s.depth.at<float>(y, x) = x < 130 ? -2.0101476f : (y < 70 ? 1.9898524f : 0.2398524f);
  s.depth.at<float>(10, 200) = std::numeric_limits<float>::quiet_NaN();
  s.depth.at<float>(100, 20) = std::numeric_limits<float>::infinity();
  s.depth.at<float>(140, 260) = -std::numeric_limits<float>::infinity();
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> level(0, 19);
  for (int y = 40; y < 60; ++y)
    for (int x = 64; x < 128; x += 3) s.depth.at<float>(y, x) = -2.2601476f + 0.25f * level(rng);
  s.estimate.at<cv::Vec3f>(50, 90)[1] = std::numeric_limits<float>::quiet_NaN();
  s.direction.at<cv::Vec3f>(120, 200)[0] = std::numeric_limits<float>::infinity();
  expect_identical(s, {1, 2});
}

TEST(FastProjection, DiagnosticImagesMatchPlain) {
  const Scene s = make_scene(small_geometry(16, 12), 21);
  std::vector<std::string> roots;
  for (bool plain : {true, false}) {
    execution().reference = plain;
    roots.push_back(make_temp_dir("sr-diag"));
    const Output out(roots.back());
    out.make_dirs("bigSR/view081/");
    rawSuperResolution sr(1, 1, 3.0, 1.0, s.g, &out);
    cv::Mat u = s.estimate.clone();
    cv::Mat grad = cv::Mat::zeros(s.g.high_y, s.g.high_x, CV_32FC3);
    sr.calculate_rawgradient_all(u, grad, s.views.data(), s.masks.data(), s.depth);
  }
  execution().reference = false;
  for (const char* name : {"blur", "motion10", "motion60", "error10", "error60"}) {
    const std::string rel = std::string("/bigSR/view081/") + name + ".ppm";
    const std::string a = read_text_file(roots[0] + rel), b = read_text_file(roots[1] + rel);
    EXPECT_FALSE(a.empty()) << name;
    EXPECT_EQ(a, b) << name;
  }
  for (const auto& r : roots) std::system(("rm -rf '" + r + "'").c_str());
}

TEST(FastProjection, MatchesPlainAtFullSize) {
  const Scene s = make_scene(Geometry(), 5);
  expect_identical(s, {1, 2, 3});
}

// Whole iterations (projection, regulariser operators, split update, depth re-estimation)
// with and without the colour transform, the fast path at several thread counts.
TEST(FastProjection, WholeIterationMatchesPlain) {
  const Scene s = make_scene(small_geometry(30, 24), 9);
  for (const auto& [yuv, lambda] : {std::pair<bool, double>{true, 1.0}, {false, 1.0}, {true, 0.7}}) {
    std::vector<cv::Mat> results, depths;
    std::vector<std::string> consoles;
    for (int threads : {0, 1, 2, 3}) {  // 0: the plain path
      execution().reference = threads == 0;
      execution().threads = threads;
      cv::Mat u = s.estimate.clone(), depth = s.depth.clone();
      rawSuperResolution sr(2, 3, 3.0, lambda, s.g);
      testing::internal::CaptureStdout();
      sr.raw_super_resolution(u, s.views.data(), s.masks.data(), depth, true, yuv);
      consoles.push_back(testing::internal::GetCapturedStdout());
      results.push_back(u);
      depths.push_back(depth);
    }
    execution().reference = false;
    execution().threads = 0;
    EXPECT_FALSE(same_bytes(results[0], s.estimate));
    for (size_t i = 1; i < results.size(); ++i) {
      EXPECT_TRUE(same_bytes(results[0], results[i])) << "yuv " << yuv << ", lambda " << lambda << ", run " << i;
      EXPECT_TRUE(same_bytes(depths[0], depths[i])) << "yuv " << yuv << ", lambda " << lambda << ", run " << i;
      EXPECT_EQ(consoles[0], consoles[i]);
    }
  }
}

TEST(FastProjection, ShortFullSizeRun) {
  const Scene s = make_scene(Geometry(), 11);
  cv::Mat u = s.estimate.clone(), depth = s.depth.clone();
  rawSuperResolution sr(1, 1, 3.0, 1.0);
  testing::internal::CaptureStdout();
  sr.raw_super_resolution(u, s.views.data(), s.masks.data(), depth, false, true);
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("E_SR = "), std::string::npos);
  EXPECT_FALSE(same_bytes(u, s.estimate));
  double lo, hi;
  cv::minMaxLoc(u.reshape(1), &lo, &hi);
  EXPECT_GE(lo, 0.0);
  EXPECT_LE(hi, 255.0);
}
