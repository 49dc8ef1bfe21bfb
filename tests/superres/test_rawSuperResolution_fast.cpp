// The threaded projection pipeline against the plain one, byte for byte, at several thread
// counts, on small grids and at the camera's full size with a disparity map of several levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "execution.h"
#include "imageio.h"
#include "rawSuperResolution.h"
#include "projection.h"
#include "output_paths.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

struct Scene {
  Geometry g;
  std::vector<cv::Mat> views, masks;
  cv::Mat estimate, direction, depth;
};

Scene make_scene(const Geometry& g, unsigned seed) {
  TestViews e = random_views(g, seed);
  Scene s{g, std::move(e.views), std::move(e.masks), {}, {}, {}};
  random_image(cv::Size(g.high_x, g.high_y), CV_8UC3, seed + 2).convertTo(s.estimate, CV_32FC3);
  s.direction = cv::Mat(g.high_y, g.high_x, CV_32FC3);
  cv::randn(s.direction, 0.0, 20.0);
  s.depth = realistic_depth(g, seed + 3);
  return s;
}

enum class Op { error, gradient, hessian };

// The output of one operation through the plain or the fast projector: the error image of
// the estimate's residuals, their back-projection, or the Hessian applied to the direction.
// The output starts full of NaN, which must not show through.
cv::Mat run(Projector& proj, const ProjectionPlan& plan, Op op, const Scene& s) {
  cv::Mat out(s.g.high_y, s.g.high_x, CV_32FC3, cv::Scalar::all(std::nan("")));
  Residuals r;
  if (op == Op::hessian) {
    proj.second_order(plan, s.direction, out);
    return out;
  }
  proj.project(plan, s.estimate, s.views.data(), r);
  if (op == Op::error) return r.error;
  proj.back_project(plan, r, out);
  return out;
}

cv::Mat run(Op op, const Scene& s, bool plain, int threads) {
  execution().threads = threads;
  const std::unique_ptr<Projector> proj = make_projector(s.g, plain);
  ProjectionPlan plan;
  proj->build_plan(s.masks.data(), s.depth, plan);
  cv::Mat out = run(*proj, plan, op, s);
  execution().threads = 0;
  return out;
}

void expect_identical(const Scene& s, const std::vector<int>& thread_counts) {
  for (Op op : {Op::error, Op::gradient, Op::hessian}) {
    const cv::Mat expected = run(op, s, true, 1);
    ASSERT_GT(cv::countNonZero(expected.reshape(1)), 0);
    for (int threads : thread_counts)
      EXPECT_TRUE(same_bytes(run(op, s, false, threads), expected))
          << "op " << static_cast<int>(op) << ", " << threads << " threads";
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

// A plan rebuilt in place for another disparity map (as after every re-estimation) keeps
// nothing of the previous map, whether the new one leaves more or fewer entries.
TEST(FastProjection, PlanRebuiltForANewMap) {
  Scene s = make_scene(small_geometry(12, 10), 7);
  const std::unique_ptr<Projector> fast = make_projector(s.g, false);
  ProjectionPlan plan;
  fast->build_plan(s.masks.data(), s.depth, plan);
  run(*fast, plan, Op::gradient, s);
  const cv::Mat first_depth = s.depth.clone();
  s.depth.setTo(cv::Scalar(2.4898524));  // every pixel moves far: many footprints empty
  fast->build_plan(s.masks.data(), s.depth, plan);
  for (Op op : {Op::error, Op::gradient, Op::hessian})
    EXPECT_TRUE(same_bytes(run(*fast, plan, op, s), run(op, s, true, 1))) << static_cast<int>(op);
  s.depth = first_depth;
  fast->build_plan(s.masks.data(), s.depth, plan);
  for (Op op : {Op::error, Op::gradient, Op::hessian})
    EXPECT_TRUE(same_bytes(run(*fast, plan, op, s), run(op, s, true, 1))) << static_cast<int>(op);
}

// The residuals of one projection stay the estimate's while other work runs on the same
// projector: a second-order term between projection and back-projection changes nothing.
TEST(FastProjection, ResidualsOutliveOtherWork) {
  const Scene s = make_scene(small_geometry(12, 10), 9);
  const cv::Mat expected = run(Op::gradient, s, true, 1);
  for (bool plain : {true, false}) {
    const std::unique_ptr<Projector> proj = make_projector(s.g, plain);
    ProjectionPlan plan;
    proj->build_plan(s.masks.data(), s.depth, plan);
    Residuals r;
    proj->project(plan, s.estimate, s.views.data(), r);
    cv::Mat h, g;
    proj->second_order(plan, s.direction, h);
    proj->back_project(plan, r, g);
    EXPECT_TRUE(same_bytes(g, expected)) << "plain " << plain;
  }
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
    out.make_dirs(paths::view_dir());
    rawSuperResolution sr(1, 1, 3.0, 1.0, s.g, &out);
    cv::Mat u = s.estimate.clone();
    cv::Mat grad = cv::Mat::zeros(s.g.high_y, s.g.high_x, CV_32FC3);
    sr.calculate_rawgradient_all(u, grad, s.views.data(), s.masks.data(), s.depth);
  }
  execution().reference = false;
  for (const char* name : {"blur", "motion10", "motion60", "error10", "error60"}) {
    const std::string rel = "/" + paths::diagnostic(name);
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
