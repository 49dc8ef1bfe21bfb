// Box point spread function: kernel weights for the callers' box and special widths, the
// zero-padded filter on simple images.
#include <gtest/gtest.h>

#include "PSF.h"
#include "execution.h"
#include "geometry.h"
#include "test_support.h"

namespace {

TEST(PsfKernel, CallersBoxAndSpecialWidths) {
  const cv::Mat k = psf_kernel(xscale, yscale);
  ASSERT_EQ(k.type(), CV_64F);
  ASSERT_EQ(k.size(), cv::Size(3, 5));
  const double edge_row[3] = {0.028577049, 0.045355082, 0.028577049};
  const double inner_row[3] = {0.073873804, 0.117246272, 0.073873804};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 3; ++j)
      EXPECT_NEAR(k.at<double>(i, j), (i == 0 || i == 4 ? edge_row : inner_row)[j], 5e-10);
  EXPECT_NEAR(cv::sum(k)[0], 1.0, 1e-15);

  // Width 3, height 1: three thirds (the height's edge weight cancels). Width 2: profile
  // 0.5, 1, 0.5. A width of 3.2 needs five cells.
  const cv::Mat a = psf_kernel(3.0, 1.0), b = psf_kernel(2.0, 1.0);
  ASSERT_EQ(a.size(), cv::Size(3, 1));
  for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(a.at<double>(0, j), 1.0 / 3.0);
  ASSERT_EQ(b.size(), cv::Size(3, 1));
  EXPECT_DOUBLE_EQ(b.at<double>(0, 0), 0.25);
  EXPECT_DOUBLE_EQ(b.at<double>(0, 1), 0.5);
  EXPECT_EQ(psf_kernel(3.2, 1.0).cols, 5);
}

class PsfFilter : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { execution().reference = GetParam(); }
  void TearDown() override { execution().reference = false; }
};

TEST_P(PsfFilter, ConstantImageIsKeptInsideAndDarkerAtTheBorder) {
  const float v = 100.0f;
  const cv::Mat src(12, 9, CV_32FC3, cv::Scalar(v, v, v));
  cv::Mat dst;
  PSF(src, dst, xscale, yscale);
  ASSERT_EQ(dst.type(), CV_32FC3);
  ASSERT_EQ(dst.size(), src.size());
  for (int y = 0; y < dst.rows; ++y) {
    for (int x = 0; x < dst.cols; ++x) {
      const bool inside = y >= 2 && y < dst.rows - 2 && x >= 1 && x < dst.cols - 1;
      for (int c = 0; c < 3; ++c) {
        const float got = dst.at<cv::Vec3f>(y, x)[c];
        if (inside)
          EXPECT_NEAR(got, v, 1e-4) << y << "," << x;
        else
          EXPECT_LT(got, v - 1.0f) << y << "," << x;
      }
    }
  }
}

TEST_P(PsfFilter, LoneBrightPixelGivesTheKernel) {
  cv::Mat src = cv::Mat::zeros(9, 7, CV_32FC3);
  src.at<cv::Vec3f>(4, 3) = cv::Vec3f(1.0f, 2.0f, 0.0f);
  cv::Mat dst;
  PSF(src, dst, xscale, yscale);
  const cv::Mat k = psf_kernel(xscale, yscale);
  for (int y = 0; y < dst.rows; ++y) {
    for (int x = 0; x < dst.cols; ++x) {
      const int l = y - 4 + 2, m = x - 3 + 1;
      const bool on = l >= 0 && l < 5 && m >= 0 && m < 3;
      const float w = on ? static_cast<float>(k.at<double>(l, m)) : 0.0f;
      const cv::Vec3f got = dst.at<cv::Vec3f>(y, x);
      EXPECT_EQ(got[0], w) << y << "," << x;
      EXPECT_EQ(got[1], 2.0f * w) << y << "," << x;
      EXPECT_EQ(got[2], 0.0f) << y << "," << x;
    }
  }
}

// Random floats with fractions and signs, so that every product and sum is inexact.
cv::Mat random_float_image(int rows, int cols, unsigned seed) {
  cv::Mat m(rows, cols, CV_32FC3);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, -20.0, 300.0);
  return m;
}

void expect_fast_matches_reference(const cv::Mat& src, double width, double height) {
  cv::Mat want, got;
  reference::PSF(src, want, width, height);
  PSF_fast(src, got, width, height);
  EXPECT_TRUE(same_bytes(want, got)) << src.rows << " x " << src.cols << ", box " << width
                                     << " x " << height;
}

TEST(PsfFast, MatchesReferenceOnOddSizesAndBoxes) {
  const cv::Size sizes[] = {{1, 1}, {3, 1}, {1, 3}, {7, 2}, {2, 7}, {3, 5}, {5, 3}, {1000, 13}};
  const double boxes[][2] = {{xscale, yscale}, {3.0, 1.0}, {2.0, 1.0}, {5.5, 7.2}, {1.0, 1.0}};
  unsigned seed = 1;
  for (const cv::Size& s : sizes)
    for (const auto& box : boxes)
      expect_fast_matches_reference(random_float_image(s.height, s.width, seed++), box[0], box[1]);
}

TEST(PsfFast, MatchesReferenceAtFullSizeForAnyThreadCount) {
  const cv::Mat src = random_float_image(high_y, high_x, 7);
  cv::Mat want;
  reference::PSF(src, want, xscale, yscale);
  for (int threads : {1, 2, 3}) {
    execution().threads = threads;
    cv::Mat got;
    PSF_fast(src, got, xscale, yscale);
    EXPECT_TRUE(same_bytes(want, got)) << threads << " threads";
  }
  execution().threads = 0;
}

INSTANTIATE_TEST_SUITE_P(Paths, PsfFilter, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "reference" : "fast"; });

}  // namespace
