// View and mask extraction, centre view and hole filling, on tiny hand-made lenslet grids
// and once on a full-size random exposure.
#include <gtest/gtest.h>

#include <array>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "execution.h"
#include "imageio.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

// Two lenslet rows of one lenslet each, no tilt: lenslet (0, 0) at raw (10, 7), lenslet
// (1, 0) at raw (22, 0) because odd rows sit half a pitch to the left.
Geometry two_lenslets() {
  Geometry g = small_geometry(2, 1);
  g.theta = 0;
  g.pitch_y = 12;
  g.pitch_x = 14;
  g.origin_y = 10;
  g.origin_x = 7;
  return g;
}

struct Extracted {
  std::vector<cv::Mat> views = std::vector<cv::Mat>(view_count);
  std::vector<cv::Mat> masks = std::vector<cv::Mat>(view_count);
  cv::Mat center;
};

Extracted extract(const cv::Mat& rgb, const cv::Mat& raw, const Geometry& g) {
  Extracted e;
  viewCreate vc(rgb, raw, g);
  vc.create_mask(e.views.data(), e.masks.data(), e.center);
  return e;
}

int view_index(int dy, int dx) { return 9 * (dy + 5) + (dx - 2); }

}  // namespace

TEST(ViewExtraction, ParityTableAndBorderRefusal) {
  const Geometry g = two_lenslets();
  // 26 rows x 11 columns: the last raw row is 25 and the last column 10.
  cv::Mat raw(26, 11, CV_8UC1);
  for (int y = 0; y < raw.rows; ++y)
    for (int x = 0; x < raw.cols; ++x) raw.at<uchar>(y, x) = static_cast<uchar>(10 * y + x);
  cv::Mat rgb = cv::Mat::zeros(raw.size(), CV_8UC3);
  const Extracted e = extract(rgb, raw, g);

  for (int i = 0; i < view_count; ++i) {
    const int dy = view_sample_dy(i), dx = view_sample_dx(i);
    ASSERT_EQ(e.views[i].type(), CV_8UC3);
    ASSERT_EQ(e.masks[i].size(), cv::Size(2, 2));
    // Lenslet (0, 0), an even row, lands at view pixel (0, 1); even rows may use the last
    // raw column (dx = 3 reaches column 10).
    const int py0 = 10 + dy, px0 = 7 + dx;
    if (px0 <= 10) {
      const int ch = mosaic_channel(py0, px0);
      EXPECT_EQ(e.masks[i].at<uchar>(0, 1), ch) << i;
      cv::Vec3b expect(0, 0, 0);
      expect[ch] = raw.at<uchar>(py0, px0);
      EXPECT_EQ(e.views[i].at<cv::Vec3b>(0, 1), expect) << i;
    } else {
      EXPECT_EQ(e.masks[i].at<uchar>(0, 1), no_sample) << i;
    }
    // Lenslet (1, 0), an odd row, lands at (1, 0) and never uses the last row or column.
    const int py1 = 22 + dy, px1 = 0 + dx;
    const bool taken = py1 < 25 && px1 < 10;
    EXPECT_EQ(e.masks[i].at<uchar>(1, 0), taken ? mosaic_channel(py1, px1) : no_sample) << i;
    if (!taken) {
      EXPECT_EQ(e.views[i].at<cv::Vec3b>(1, 0), cv::Vec3b(0, 0, 0)) << i;
    }
    // View pixels with an even coordinate sum never hold a sample.
    EXPECT_EQ(e.masks[i].at<uchar>(0, 0), no_sample);
    EXPECT_EQ(e.masks[i].at<uchar>(1, 1), no_sample);
  }
  // The parity table: (odd, odd) green, (even, odd) red, (odd, even) blue, (even, even) green.
  EXPECT_EQ(mosaic_channel(7, 3), 1);
  EXPECT_EQ(mosaic_channel(8, 3), 2);
  EXPECT_EQ(mosaic_channel(7, 4), 0);
  EXPECT_EQ(mosaic_channel(8, 4), 1);
  // Even row, last column taken; odd row, last column (dx = 10) refused.
  EXPECT_NE(e.masks[view_index(0, 3)].at<uchar>(0, 1), no_sample);
  EXPECT_EQ(e.masks[view_index(0, 10)].at<uchar>(1, 0), no_sample);
  EXPECT_NE(e.masks[view_index(0, 9)].at<uchar>(1, 0), no_sample);
  // Odd row, last raw row (dy = 3 reaches row 25) refused.
  EXPECT_EQ(e.masks[view_index(3, 5)].at<uchar>(1, 0), no_sample);
}

TEST(ViewExtraction, EmptyImagesGiveFullSizeEmptyViews) {
  const Geometry g = small_geometry(6, 5);
  const Extracted e = extract(cv::Mat(), cv::Mat(), g);
  for (int i = 0; i < view_count; ++i) {
    EXPECT_EQ(e.views[i].size(), cv::Size(g.low_x, g.low_y));
    EXPECT_EQ(cv::countNonZero(e.views[i].reshape(1)), 0);
    EXPECT_EQ(cv::countNonZero(e.masks[i] != no_sample), 0);
  }
  EXPECT_EQ(e.center.size(), cv::Size(g.low_x, g.low_y));
  EXPECT_EQ(e.center.type(), CV_32FC3);
  EXPECT_EQ(cv::countNonZero(e.center.reshape(1)), 0);
}

TEST(CentreView, HoleFillingAtBothEnds) {
  Geometry g = small_geometry(3, 3);  // 3 x 6 view
  cv::Mat src(3, 6, CV_32FC3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 6; ++j) src.at<cv::Vec3f>(i, j) = cv::Vec3f(i * 10 + j, 1.0f + j, 0.5f);
  cv::Mat dst;
  viewCreate(cv::Mat(), cv::Mat(), g).interpolate_subaperture(src, dst);
  EXPECT_EQ(dst.at<cv::Vec3f>(0, 0), src.at<cv::Vec3f>(0, 1));  // first column
  EXPECT_EQ(dst.at<cv::Vec3f>(1, 5), src.at<cv::Vec3f>(1, 4));  // last column
  EXPECT_EQ(dst.at<cv::Vec3f>(2, 4), (src.at<cv::Vec3f>(2, 3) + src.at<cv::Vec3f>(2, 5)) / 2);
  EXPECT_EQ(dst.at<cv::Vec3f>(1, 3), (src.at<cv::Vec3f>(1, 2) + src.at<cv::Vec3f>(1, 4)) / 2);
  EXPECT_EQ(dst.at<cv::Vec3f>(0, 1), src.at<cv::Vec3f>(0, 1));  // samples stay
  EXPECT_EQ(dst.at<cv::Vec3f>(1, 0), src.at<cv::Vec3f>(1, 0));
}

TEST(CentreView, SamplesColourAtCentreOffsetAndRefusesLastRowAndColumn) {
  const Geometry g = two_lenslets();
  // Lenslet (0, 0) at (10, 7): the centre view reads colour pixel (9, 13). With 14 columns
  // that is the last column, which is never sampled; with 15 it is.
  for (int cols : {14, 15}) {
    cv::Mat rgb(26, cols, CV_8UC3, cv::Scalar(1, 2, 3));
    rgb.at<cv::Vec3b>(9, 13) = cv::Vec3b(50, 60, 70);
    cv::Mat raw(rgb.size(), CV_8UC1, cv::Scalar(0));
    const Extracted e = extract(rgb, raw, g);
    const cv::Vec3f expect = cols == 15 ? cv::Vec3f(50, 60, 70) : cv::Vec3f(0, 0, 0);
    EXPECT_EQ(e.center.at<cv::Vec3f>(0, 1), expect) << cols;
    EXPECT_EQ(e.center.at<cv::Vec3f>(0, 0), expect) << cols;  // hole (0, 0) copies (0, 1)
  }
}

TEST(ViewExtraction, FullSizeRandomExposure) {
  const Geometry g;
  const cv::Mat raw = random_image(cv::Size(7728, 5368), CV_8UC1, 7);
  const cv::Mat rgb = random_image(cv::Size(7728, 5368), CV_8UC3, 8);
  const Extracted e = extract(rgb, raw, g);
  // The literal loops give the same views and masks.
  execution().reference = true;
  const Extracted plain = extract(rgb, raw, g);
  execution().reference = false;
  for (int i = 0; i < view_count; ++i) {
    ASSERT_TRUE(same_bytes(e.views[i], plain.views[i])) << i;
    ASSERT_TRUE(same_bytes(e.masks[i], plain.masks[i])) << i;
  }
  // Lenslet (0, 0): rounded reference point (12, 1); view 0 reads raw (7, 3), green.
  EXPECT_EQ(e.masks[0].at<uchar>(0, 1), 1);
  EXPECT_EQ(e.views[0].at<cv::Vec3b>(0, 1), cv::Vec3b(0, raw.at<uchar>(7, 3), 0));
  // The centre view reads colour pixel (11, 7) for the same lenslet.
  const cv::Vec3b c = rgb.at<cv::Vec3b>(11, 7);
  EXPECT_EQ(e.center.at<cv::Vec3f>(0, 1), cv::Vec3f(c[0], c[1], c[2]));
  EXPECT_EQ(e.center.at<cv::Vec3f>(0, 0), cv::Vec3f(c[0], c[1], c[2]));
  // Lenslet (1, 0) at column -6: views with dx below 6 have no sample at (1, 0).
  for (int i = 0; i < view_count; ++i)
    EXPECT_EQ(e.masks[i].at<uchar>(1, 0) == no_sample, view_sample_dx(i) < 6) << i;
  // Every sample is the raw value in the channel the mask names, nothing elsewhere, and the
  // even-sum pixels are empty.
  for (int i = 0; i < view_count; i += 10) {
    for (int k = 0; k < g.low_y; ++k) {
      for (int n = 0; n < g.low_x; ++n) {
        const int m = e.masks[i].at<uchar>(k, n);
        const cv::Vec3b v = e.views[i].at<cv::Vec3b>(k, n);
        if ((k + n) % 2 == 0) {
          ASSERT_EQ(m, no_sample);
        }
        for (int ch = 0; ch < 3; ++ch) {
          if (ch != m) {
            ASSERT_EQ(v[ch], 0) << i << " " << k << " " << n;
          }
        }
      }
    }
  }
}

TEST(ViewExport, WritesEveryViewUnderItsOwnNumber) {
  // Each view different, so a swapped, shifted or repeated file shows.
  const std::string dir = make_temp_dir("views");
  const Output out(dir);
  out.make_dirs("view/");
  const Geometry g = small_geometry(4, 4);
  std::vector<cv::Mat> views(view_count);
  for (int i = 0; i < view_count; ++i) views[i] = random_image(cv::Size(g.low_x, g.low_y), CV_8UC3, 100 + i);
  viewCreate(cv::Mat(), cv::Mat(), g).save_subaperture(views.data(), out);
  for (int i = 0; i < view_count; ++i) {
    const cv::Mat v = cv::imread(dir + "/view/view" + cv::format("%03d", i) + ".ppm", cv::IMREAD_UNCHANGED);
    EXPECT_TRUE(same_bytes(v, views[i])) << i;
  }
  EXPECT_EQ(out.written().size(), 81u);
  std::system(("rm -rf '" + dir + "'").c_str());
}
