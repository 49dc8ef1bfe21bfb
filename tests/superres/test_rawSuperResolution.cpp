// Super-resolution: regulariser operators, the projection and its adjoint, and the
// iteration's console lines, log and result files on tiny grids.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "PSF.h"
#include "errors.h"
#include "execution.h"
#include "imageio.h"
#include "rawSuperResolution.h"
#include "projection.h"
#include "output_paths.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

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

// Disparity map of a few levels (candidate values of the depth search) in vertical stripes
// plus noise, so the warps both occlude and leave holes.
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

double dot(const cv::Mat& a, const cv::Mat& b) {
  double s = 0.0;
  for (size_t i = 0; i < a.total() * a.channels(); ++i)
    s += static_cast<double>(a.ptr<float>()[i]) * b.ptr<float>()[i];
  return s;
}

// A grid whose view pixels sit exactly on full-resolution pixels with a one-pixel blur, so
// that integer estimates project onto integer samples.
Geometry unit_geometry() {
  Geometry g = small_geometry(8, 6);
  g.high_y = g.low_y;
  g.high_x = g.low_x;
  return g;
}

// Views that record exactly what `estimate` projects to under `depth` (unit geometry).
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

}  // namespace

TEST(Regulariser, DifferencesAreExactTransposesAndLocal) {
  const Geometry g = small_geometry(5, 4);
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat a = random_integers(g, 1, -255, 255), b = random_integers(g, 2, -255, 255);
  for (bool vertical : {false, true}) {
    cv::Mat Da, Dtb;
    sr.product_matrixD(a, Da, vertical);
    sr.product_matrixDt(b, Dtb, vertical);
    EXPECT_EQ(dot(Da, b), dot(a, Dtb)) << "vertical " << vertical;
  }
  // A single sample v: D gives -v at it and +v before it; D^t -v at it and +v after it.
  cv::Mat one = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3), out;
  one.at<cv::Vec3f>(4, 5)[1] = 7.0f;
  sr.product_matrixD(one, out, false);
  EXPECT_EQ(out.at<cv::Vec3f>(4, 5)[1], -7.0f);
  EXPECT_EQ(out.at<cv::Vec3f>(4, 4)[1], 7.0f);
  EXPECT_EQ(cv::countNonZero(out.reshape(1)), 2);
  sr.product_matrixDt(one, out, true);
  EXPECT_EQ(out.at<cv::Vec3f>(4, 5)[1], -7.0f);
  EXPECT_EQ(out.at<cv::Vec3f>(5, 5)[1], 7.0f);
  EXPECT_EQ(cv::countNonZero(out.reshape(1)), 2);
  // Constant image: only the last column (D) or first row (D^t) is non-zero; a zero sample
  // gives +0, never -0.
  cv::Mat c(g.high_y, g.high_x, CV_32FC3, cv::Scalar(2, 2, 2));
  sr.product_matrixD(c, out, false);
  EXPECT_EQ(out.at<cv::Vec3f>(3, g.high_x - 1)[2], -2.0f);
  EXPECT_EQ(cv::countNonZero(out.reshape(1)), g.high_y * 3);
  cv::Mat zero = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);
  sr.product_matrixD(zero, out, true);
  EXPECT_FALSE(std::signbit(out.at<cv::Vec3f>(g.high_y - 1, 0)[0]));
  // Laplacian of a constant: 0 inside, c on edges, 2c at corners.
  sr.product_matrixL(c, out);
  EXPECT_EQ(out.at<cv::Vec3f>(5, 5)[0], 0.0f);
  EXPECT_EQ(out.at<cv::Vec3f>(0, 5)[0], 2.0f);
  EXPECT_EQ(out.at<cv::Vec3f>(0, 0)[0], 4.0f);
}

TEST(Regulariser, ColourMatrixAndItsTranspose) {
  const Geometry g = small_geometry(2, 2);
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat src = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3), fwd, back;
  src.at<cv::Vec3f>(0, 0) = cv::Vec3f(1, 0, 0);
  src.at<cv::Vec3f>(1, 1) = cv::Vec3f(100, 100, 100);
  sr.rgb2yuv(src, fwd, false);
  EXPECT_EQ(fwd.at<cv::Vec3f>(0, 0), cv::Vec3f(0.299f, -0.169f, 0.5f));
  const cv::Vec3f grey = fwd.at<cv::Vec3f>(1, 1);
  EXPECT_NEAR(grey[0], 100.0f, 1e-4);
  EXPECT_NEAR(grey[1], 0.0f, 1e-4);
  EXPECT_NEAR(grey[2], 16.2f, 1e-4);
  sr.rgb2yuv(fwd, back, true);
  EXPECT_NEAR(back.at<cv::Vec3f>(0, 0)[0], 0.367962, 1e-6);
  EXPECT_NEAR(back.at<cv::Vec3f>(0, 0)[1], 0.021952, 1e-6);
  EXPECT_NEAR(back.at<cv::Vec3f>(0, 0)[2], -0.009914, 1e-6);
  sr.rgb2yuv(src, back, true);
  EXPECT_EQ(back.at<cv::Vec3f>(0, 0), cv::Vec3f(0.299f, 0.587f, 0.114f));
}

TEST(Regulariser, ShrinkageAtAndAroundTheThreshold) {
  const Geometry g = small_geometry(2, 2);
  const float xs[] = {5.0f, -5.0f, 3.0f, -3.0f, -2.5f, 0.0f, 3.0001f};
  const float at3[] = {2.0f, -2.0f, 0.0f, 0.0f, 0.0f, 0.0f, static_cast<float>(3.0001f - 3.0)};
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat in = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3), out;
  for (int i = 0; i < 7; ++i) in.ptr<float>()[i] = xs[i];
  sr.shrinkage(in, out);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(out.ptr<float>()[i], at3[i]) << xs[i];
  rawSuperResolution half(1, 1, 1.0, 2.0, g);  // threshold 0.5
  in.ptr<float>()[0] = 0.8f;
  in.ptr<float>()[1] = -0.8f;
  half.shrinkage(in, out);
  EXPECT_FLOAT_EQ(out.ptr<float>()[0], 0.3f);
  EXPECT_FLOAT_EQ(out.ptr<float>()[1], -0.3f);
}

TEST(Projection, ZBufferKeepsTheLargestDisparity) {
  const Geometry g = small_geometry(4, 4);
  cv::Mat src = random_float(g, 3, 1, 255), warped, zbuf;
  // View 0 moves a pixel with disparity 0.25 by one row and one column; disparity 0 stays.
  for (float near : {0.25f, 0.0f}) {
    cv::Mat depth(g.high_y, g.high_x, CV_32F, cv::Scalar(0));
    depth.at<float>(5, 5) = 0.25f;      // lands on (6, 6) from before it in raster order
    depth.at<float>(7, 7) = near;       // (7, 7) itself is a later pixel
    depth.at<float>(6, 6) = 0.0f;
    reference::forward_warp(src, depth, 0, g, warped, zbuf);
    EXPECT_EQ(warped.at<cv::Vec3f>(6, 6), src.at<cv::Vec3f>(5, 5));
    EXPECT_EQ(zbuf.at<float>(6, 6), 0.25f);
    // (5, 5) moved away and nothing else reached it: empty.
    EXPECT_TRUE(zbuf_empty(zbuf.at<float>(5, 5)));
    EXPECT_EQ(warped.at<cv::Vec3f>(5, 5), cv::Vec3f(0, 0, 0));
    // (8, 8): reached by (7, 7) only if it moved; otherwise by (8, 8) itself.
    EXPECT_EQ(warped.at<cv::Vec3f>(8, 8), src.at<cv::Vec3f>(near > 0 ? 7 : 8, near > 0 ? 7 : 8));
  }
  // View 80 moves larger disparities up and left: a later pixel of larger disparity
  // replaces the earlier winner.
  cv::Mat depth(g.high_y, g.high_x, CV_32F, cv::Scalar(0));
  depth.at<float>(8, 8) = 0.25f;
  reference::forward_warp(src, depth, 80, g, warped, zbuf);
  EXPECT_EQ(warped.at<cv::Vec3f>(7, 7), src.at<cv::Vec3f>(8, 8));
  EXPECT_EQ(zbuf.at<float>(7, 7), 0.25f);
  EXPECT_TRUE(zbuf_empty(zbuf.at<float>(8, 8)));
}

TEST(Projection, AdjointMatchesTheForwardModel) {
  const Geometry g = small_geometry(10, 9);
  const TestViews e = random_views(g, 11);
  const cv::Mat depth = level_depth(g, 12, 4);
  const cv::Mat a = random_float(g, 13, -1, 1);
  cv::Mat blurred;
  PSF(a, blurred, g.xscale(), g.yscale());
  double forward = 0.0, adjoint = 0.0;
  std::mt19937 rng(14);
  std::uniform_real_distribution<float> dist(-1, 1);
  for (int i = 0; i < view_count; ++i) {
    cv::Mat warped, zbuf, projected, splatted, back, blurred_back;
    reference::forward_warp(blurred, depth, i, g, warped, zbuf);
    reference::sample_view(Kept::projected, warped, zbuf, e.masks[i], nullptr, g, projected);
    cv::Mat b = cv::Mat::zeros(g.low_y, g.low_x, CV_32FC3);
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n) {
        const int t = e.masks[i].at<uchar>(k, n);
        if (t < 3) b.at<cv::Vec3f>(k, n)[t] = dist(rng);
      }
    // The adjoint only sees b where the footprint was valid, as the residual does.
    cv::Mat valid = cv::Mat::zeros(g.low_y, g.low_x, CV_32FC3);
    cv::Mat ones(g.high_y, g.high_x, CV_32FC3, cv::Scalar(1, 1, 1)), w2, z2;
    reference::forward_warp(ones, depth, i, g, w2, z2);
    reference::sample_view(Kept::projected, w2, z2, e.masks[i], nullptr, g, valid);
    for (size_t j = 0; j < b.total() * 3; ++j)
      if (valid.ptr<float>()[j] == 0.0f) b.ptr<float>()[j] = 0.0f;
    forward += dot(projected, b);
    reference::splat(b, e.masks[i], g, splatted);
    reference::backward_warp(splatted, zbuf, i, g, back);
    PSF(back, blurred_back, g.xscale(), g.yscale());
    adjoint += dot(a, blurred_back);
  }
  EXPECT_GT(std::fabs(forward), 1.0);
  EXPECT_NEAR(forward, adjoint, 1e-5 * std::fabs(forward));
}

TEST(Projection, SecondOrderTermIsLinearSymmetricAndPositive) {
  const Geometry g = small_geometry(9, 8);
  const TestViews e = random_views(g, 21);
  const cv::Mat depth = level_depth(g, 22, 3);
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat a = random_float(g, 23, -10, 10), b = random_float(g, 24, -10, 10);
  auto H = [&](cv::Mat x) {
    cv::Mat r(g.high_y, g.high_x, CV_32FC3, cv::Scalar(0, 0, 0, 0));
    sr.second_order_differential(e.masks.data(), depth, x, r);
    return r;
  };
  const cv::Mat Ha = H(a), Hb = H(b);
  // Scaling by two is exact at every step.
  cv::Mat a2 = a * 2, Ha2 = Ha * 2;
  EXPECT_TRUE(same_bytes(H(a2), Ha2));
  const double ab = dot(a, Hb), ba = dot(b, Ha);
  EXPECT_NEAR(ab, ba, 1e-5 * (std::fabs(ab) + 1));
  EXPECT_GT(dot(a, Ha), 0.0);
  EXPECT_EQ(cv::countNonZero(H(cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3)).reshape(1)), 0);
}

TEST(Projection, ReproducedSamplesLeaveTheGradientUnchanged) {
  const Geometry g = unit_geometry();
  const cv::Mat u = random_integers(g, 31, 1, 250);
  cv::Mat depth(g.high_y, g.high_x, CV_32F, cv::Scalar(0));
  depth(cv::Rect(0, 0, g.high_x / 2, g.high_y)) = 0.25f;  // a step: occlusions and holes
  TestViews e = reproduced_exposure(g, u, depth);
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat est = u.clone();
  cv::Mat grad = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);
  sr.calculate_rawgradient_all(est, grad, e.views.data(), e.masks.data(), depth);
  EXPECT_EQ(cv::countNonZero(grad.reshape(1)), 0);
  cv::Mat err = cv::Mat::zeros(g.low_y, g.low_x, CV_32FC3);
  sr.calculate_rawerror(est, e.views.data(), e.masks.data(), depth, err);
  EXPECT_EQ(cv::norm(err, cv::NORM_L2), 0.0);
  // One recorded sample off by 3 (view 40, no shift) moves the gradient in that channel only,
  // towards the recorded value, and the error by exactly 3.
  const int k = 2, n = 3, t = e.masks[40].at<uchar>(k, n);
  e.views[40].at<cv::Vec3b>(k, n)[t] += 3;
  sr.calculate_rawgradient_all(est, grad, e.views.data(), e.masks.data(), depth);
  EXPECT_EQ(grad.at<cv::Vec3f>(k, n)[t], 3.0f);
  EXPECT_EQ(cv::countNonZero(grad.reshape(1)), 1);
  sr.calculate_rawerror(est, e.views.data(), e.masks.data(), depth, err);
  EXPECT_EQ(err.at<cv::Vec3f>(k, n)[t], 3.0f);
  // Calling it again on the same accumulator doubles it.
  sr.calculate_rawerror(est, e.views.data(), e.masks.data(), depth, err);
  EXPECT_EQ(err.at<cv::Vec3f>(k, n)[t], 6.0f);
  // A black estimate samples nothing: no residual anywhere.
  cv::Mat black = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);
  cv::Mat err2 = cv::Mat::zeros(g.low_y, g.low_x, CV_32FC3);
  sr.calculate_rawerror(black, e.views.data(), e.masks.data(), depth, err2);
  EXPECT_EQ(cv::countNonZero(err2.reshape(1)), 0);
}

namespace {

struct SrRun {
  std::string console, log;
  cv::Mat estimate;
};

SrRun run_sr(const Geometry& g, int outer, int inner, cv::Mat estimate, const TestViews& e,
           cv::Mat depth, const std::string& root, bool joint = true) {
  Output out(root);
  if (outer > 0) out.make_dirs(paths::sr_dir(3.0, true) + paths::depth_subdir);
  rawSuperResolution sr(outer, inner, 3.0, 1.0, g, &out);
  testing::internal::CaptureStdout();
  sr.raw_super_resolution(estimate, e.views.data(), e.masks.data(), depth, joint, true);
  SrRun r;
  r.console = testing::internal::GetCapturedStdout();
  r.log = read_text_file(root + "/" + paths::sr_log(3.0, true));
  r.estimate = estimate;
  return r;
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A fresh temporary directory, removed with everything in it at the end of the test.
struct TempDir {
  explicit TempDir(const std::string& tag) : path(make_temp_dir(tag)) {}
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  const std::string path;
};

}  // namespace

TEST(Iteration, ZeroCurvatureStopAtFirstStepThenLogLayout) {
  // Reproduced samples and split variables equal to the differences: the first direction is
  // zero, so the first step stops; the shrinkage then moves the split variables and the
  // second outer iteration descends.
  const Geometry g = unit_geometry();
  const cv::Mat u = random_integers(g, 41, 20, 230);
  const cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  const TestViews e = reproduced_exposure(g, u, depth);
  const TempDir dir("sr-log");
  const std::string& root = dir.path;
  const SrRun r = run_sr(g, 2, 2, u.clone(), e, depth, root);
  const auto con = lines(r.console), logl = lines(r.log);
  ASSERT_GE(con.size(), 7u);
  EXPECT_EQ(con[0], "iteration : 0");
  EXPECT_EQ(con[1], "0");
  EXPECT_EQ(con[2], "norm error = 0");
  EXPECT_EQ(con[3], "alpha = 0");
  EXPECT_EQ(con[4], "L_SR = 0");
  EXPECT_EQ(con[5], "iteration : 1");  // no E_SR line: the last step was not reached
  ASSERT_GE(logl.size(), 5u);
  EXPECT_EQ(logl[0], "--------- norm error ------------");
  EXPECT_EQ(logl[1], "ite\t0");
  EXPECT_EQ(logl[2].substr(0, 10), "0\t0\t\tE_SR\t");
  EXPECT_NE(logl[2].find("\tRegular\t\t"), std::string::npos);
  EXPECT_EQ(logl[3], "stop\tzero curvature");
  EXPECT_EQ(logl[4], "ite\t1");
  // Every step line has eight fields; its numbers are the console's.
  std::string e_sr;
  for (size_t i = 5; i < logl.size(); ++i) {
    char k[8], E[32], tag1[8], esr[32], tag2[16], reg[32];
    ASSERT_EQ(std::sscanf(logl[i].c_str(), "%7[^\t]\t%31[^\t]\t\t%7[^\t]\t%31[^\t]\t%15[^\t]\t\t%31s",
                          k, E, tag1, esr, tag2, reg),
              6)
        << logl[i];
    EXPECT_EQ(std::string(tag1), "E_SR");
    EXPECT_EQ(std::string(tag2), "Regular");
    EXPECT_NE(r.console.find("norm error = " + std::string(E) + "\n"), std::string::npos);
    e_sr = esr;
  }
  // The second outer iteration takes both steps; the last one closes with the console's E_SR.
  ASSERT_EQ(logl.size(), 7u);
  EXPECT_EQ(logl[6].substr(0, 2), "1\t");
  EXPECT_NE(r.console.find("E_SR = " + e_sr + "\n"), std::string::npos);
  // Outer 0 left the estimate alone: sr00 is the input; the descent stays within 0..255.
  cv::Mat sr00 = cv::imread(root + "/" + paths::sr_result(3.0, true, 0), cv::IMREAD_UNCHANGED);
  cv::Mat u8;
  u.convertTo(u8, CV_8UC3);
  EXPECT_TRUE(same_bytes(sr00, u8));
  EXPECT_TRUE(exists(root + "/" + paths::sr_result(3.0, true, 1)));
  EXPECT_TRUE(exists(root + "/" + paths::sr_depth(3.0, true, 1)));
  double lo, hi;
  cv::minMaxLoc(r.estimate.reshape(1), &lo, &hi);
  EXPECT_GE(lo, 0.0);
  EXPECT_LE(hi, 255.0);
  // A run without inner steps appends nothing.
  const SrRun again = run_sr(g, 1, 0, u.clone(), e, depth, root);
  EXPECT_EQ(again.log, r.log);  // no inner step: nothing appended
}

// Step lines ("k\tE\t\tE_SR...") in a log.
int step_lines(const std::string& log) {
  int n = 0;
  for (const std::string& l : lines(log)) n += l.find("\tE_SR\t") != std::string::npos;
  return n;
}

// The mean update per full-resolution pixel, all channels summed: when nothing clamps, alpha
// times the gradient's L1 norm over the pixel count, which a step must reach (0.01) to be
// taken and to be followed by the next one.
double mean_update(const cv::Mat& before, const cv::Mat& after, const Geometry& g) {
  return cv::norm(after, before, cv::NORM_L1) / g.full_pixels();
}

TEST(Iteration, AppliedUpdateClampsAndStopRuleHolds) {
  // An estimate reaching outside 0..255 ends inside it after one step.
  {
    const Geometry g = small_geometry(8, 7);
    const TestViews e = random_views(g, 51);
    const cv::Mat depth = level_depth(g, 53, 3);
    const TempDir dir("sr-clamp");
    const SrRun r = run_sr(g, 1, 1, random_float(g, 52, -40, 300), e, depth, dir.path);
    ASSERT_EQ(lines(r.log).size(), 3u);
    EXPECT_NE(r.console.find("E_SR = "), std::string::npos);
    double lo, hi;
    cv::minMaxLoc(r.estimate.reshape(1), &lo, &hi);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 255.0);
  }
  // Far from the samples the first step moves a lot and the second one follows.
  {
    const Geometry g = small_geometry(8, 7);
    const TestViews e = random_views(g, 54);
    const cv::Mat depth = level_depth(g, 55, 3);
    const cv::Mat u = random_float(g, 56, 60, 190);
    const TempDir dir("sr-far");
    const SrRun one = run_sr(g, 1, 1, u.clone(), e, depth, dir.path + "/1");
    ASSERT_GT(mean_update(u, one.estimate, g), 0.02);
    const SrRun two = run_sr(g, 1, 2, u.clone(), e, depth, dir.path + "/2");
    EXPECT_EQ(step_lines(two.log), 2);
    EXPECT_NE(two.console.find("E_SR = "), std::string::npos);
  }
  // Next to the samples (they reproduce the truth exactly, the estimate is off by 0.05 in one
  // sample) the step would move the estimate by far less than the threshold: it is not
  // applied, and it ends the outer iteration without a zero-curvature stop or a closing E_SR.
  {
    const Geometry g = unit_geometry();
    const cv::Mat truth = random_integers(g, 57, 60, 190);
    const cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
    const TestViews e = reproduced_exposure(g, truth, depth);
    cv::Mat u = truth.clone();
    u.at<cv::Vec3f>(3, 4)[1] += 0.05f;
    const TempDir dir("sr-near");
    const SrRun r = run_sr(g, 1, 3, u.clone(), e, depth, dir.path);
    EXPECT_TRUE(same_bytes(r.estimate, u));
    EXPECT_EQ(step_lines(r.log), 1);
    EXPECT_EQ(r.log.find("stop"), std::string::npos);
    EXPECT_NE(r.console.find("alpha = "), std::string::npos);
    EXPECT_EQ(r.console.find("E_SR = "), std::string::npos);
  }
}

TEST(Iteration, NoInnerOrNoOuterIterations) {
  const Geometry g = small_geometry(4, 4);
  const TestViews e = random_views(g, 61);
  const cv::Mat u = random_float(g, 62, 0, 255);
  const cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  const TempDir dir("sr-none");
  const std::string& root = dir.path;
  SrRun r = run_sr(g, 0, 3, u.clone(), e, depth, root);
  EXPECT_EQ(r.console, "");
  EXPECT_FALSE(exists(root + "/bigSR"));
  EXPECT_TRUE(same_bytes(r.estimate, u));
  r = run_sr(g, 2, 0, u.clone(), e, depth, root);
  EXPECT_EQ(r.console, "iteration : 0\niteration : 1\n");
  EXPECT_EQ(r.log, "");
  EXPECT_TRUE(same_bytes(r.estimate, u));
  EXPECT_TRUE(exists(root + "/" + paths::sr_result(3.0, true, 1)));
}

TEST(Iteration, BadInputsAndFailedWritesAreReported) {
  const Geometry g = small_geometry(4, 4);
  const TestViews e = random_views(g, 71);
  cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat wrong(g.high_y + 1, g.high_x, CV_32FC3, cv::Scalar(0));
  EXPECT_THROW(sr.raw_super_resolution(wrong, e.views.data(), e.masks.data(), depth, false, true),
               RunError);
  cv::Mat u = random_float(g, 72, 0, 255);
  cv::Mat depth64(g.high_y, g.high_x, CV_64F, cv::Scalar(0));
  EXPECT_THROW(sr.raw_super_resolution(u, e.views.data(), e.masks.data(), depth64, false, true),
               RunError);
  std::vector<cv::Mat> masks = e.masks;
  masks[80] = cv::Mat(g.low_y, g.low_x - 1, CV_8UC1, cv::Scalar(3));
  EXPECT_THROW(sr.raw_super_resolution(u, e.views.data(), masks.data(), depth, false, true),
               RunError);
  // An output tree that does not exist: the first log line fails loudly.
  const TempDir dir("sr-missing");
  Output missing(dir.path + "/absent/");
  rawSuperResolution loud(1, 1, 3.0, 1.0, g, &missing);
  testing::internal::CaptureStdout();
  EXPECT_THROW(loud.raw_super_resolution(u, e.views.data(), e.masks.data(), depth, true, true),
               RunError);
  testing::internal::GetCapturedStdout();
}
