// Super-resolution operators: the regulariser's colour matrix, differences and shrinkage,
// and the projection with its adjoint and second-order term, on tiny grids.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "PSF.h"
#include "execution.h"
#include "output_paths.h"
#include "projection.h"
#include "rawSuperResolution.h"
#include "sr_scenes.h"
#include "test_support.h"

namespace {

double dot(const cv::Mat& a, const cv::Mat& b) {
  double s = 0.0;
  for (size_t i = 0; i < a.total() * a.channels(); ++i)
    s += static_cast<double>(a.ptr<float>()[i]) * b.ptr<float>()[i];
  return s;
}

// A grid whose view pixels sit exactly on full-resolution pixels with a one-pixel blur, so

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
