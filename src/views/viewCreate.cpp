// View and mask extraction from the raw mosaic, and the centre view from the colour image.
#include "viewCreate.h"

#include <cstdio>
#include <string>
#include <vector>

#include "execution.h"
#include "imageio.h"
#include "output_paths.h"

viewCreate::viewCreate(const char* rgb_path, const char* raw_path, const Geometry& g) : geom_(g) {
  rgb_image = read_image(rgb_path, CV_8UC3, "colour image");
  raw_image = read_image(raw_path, CV_8UC1, "raw mosaic");
  validate_exposure(rgb_image, rgb_path, raw_image, raw_path, geom_);
}

viewCreate::viewCreate(const cv::Mat& rgb, const cv::Mat& raw, const Geometry& g)
    : rgb_image(rgb), raw_image(raw), geom_(g) {}

viewCreate::~viewCreate() {
  rgb_image.release();
  raw_image.release();
}

cv::Point viewCreate::rounded_lenslet(int r, int c) const {
  return cv::Point(cvRound(geom_.lenslet_col(r, c)), cvRound(geom_.lenslet_row(r, c)));
}

void viewCreate::create_mask(cv::Mat* views, cv::Mat* masks, cv::Mat& center) {
  extract_viewandmask(raw_image, views, masks);
  extract_center(rgb_image, center);
}

namespace {

// View i's sample of lenslet (r, c), whose rounded reference point is ref, into the view and
// its mask (left empty where the sample falls outside the raw image).
inline void take_sample(const cv::Mat& raw, cv::Point ref, int i, int r, int c, cv::Mat& view,
                        cv::Mat& mask) {
  // Odd lenslet rows never take a sample from the last raw row or column.
  const int limit_rows = (r % 2 == 0) ? raw.rows : raw.rows - 1;
  const int limit_cols = (r % 2 == 0) ? raw.cols : raw.cols - 1;
  const int py = ref.y + view_sample_dy(i), px = ref.x + view_sample_dx(i);
  if (py < 0 || py >= limit_rows || px < 0 || px >= limit_cols) return;
  const int ch = mosaic_channel(py, px);
  const int n = Geometry::lenslet_view_col(r, c);
  view.at<cv::Vec3b>(r, n)[ch] = raw.at<uchar>(py, px);
  mask.at<uchar>(r, n) = static_cast<uchar>(ch);
}

}  // namespace

void viewCreate::extract_viewandmask(const cv::Mat& raw, cv::Mat* views, cv::Mat* masks) {
  const int rows = geom_.lens_rows, cols = 2 * geom_.lens_cols;
  for (int i = 0; i < view_count; ++i) {
    views[i] = cv::Mat::zeros(rows, cols, CV_8UC3);
    masks[i] = cv::Mat(rows, cols, CV_8UC1, cv::Scalar(no_sample));
  }
  if (execution().reference) {
    for (int i = 0; i < view_count; ++i)
      for (int r = 0; r < geom_.lens_rows; ++r)
        for (int c = 0; c < geom_.lens_cols; ++c)
          take_sample(raw, rounded_lenslet(r, c), i, r, c, views[i], masks[i]);
    return;
  }
  // The reference points depend on no view: rounded once, then the views, each on its own,
  // take their samples at their offsets from them.
  std::vector<cv::Point> refs(static_cast<size_t>(geom_.lens_rows) * geom_.lens_cols);
  parallel_bands(geom_.lens_rows, [&](int r0, int r1) {
    for (int r = r0; r < r1; ++r)
      for (int c = 0; c < geom_.lens_cols; ++c)
        refs[static_cast<size_t>(r) * geom_.lens_cols + c] = rounded_lenslet(r, c);
  });
  parallel_items(view_count, [&](int i) {
    for (int r = 0; r < geom_.lens_rows; ++r)
      for (int c = 0; c < geom_.lens_cols; ++c)
        take_sample(raw, refs[static_cast<size_t>(r) * geom_.lens_cols + c], i, r, c, views[i],
                    masks[i]);
  });
}

void viewCreate::extract_center(const cv::Mat& rgb, cv::Mat& center) {
  const int rows = geom_.lens_rows, cols = 2 * geom_.lens_cols;
  const int dy = view_sample_dy(center_view), dx = view_sample_dx(center_view);
  cv::Mat sampled = cv::Mat::zeros(rows, cols, CV_32FC3);
  for (int r = 0; r < geom_.lens_rows; ++r) {
    for (int c = 0; c < geom_.lens_cols; ++c) {
      const cv::Point ref = rounded_lenslet(r, c);
      const int py = ref.y + dy, px = ref.x + dx;
      // Both row parities refuse the last raw row and column here.
      if (py < 0 || py >= raw_image.rows - 1 || px < 0 || px >= raw_image.cols - 1) continue;
      if (py >= rgb.rows || px >= rgb.cols) continue;
      const cv::Vec3b s = rgb.at<cv::Vec3b>(py, px);
      sampled.at<cv::Vec3f>(r, Geometry::lenslet_view_col(r, c)) = cv::Vec3f(s[0], s[1], s[2]);
    }
  }
  interpolate_subaperture(sampled, center);
}

void viewCreate::interpolate_subaperture(const cv::Mat& src, cv::Mat& dst) {
  dst = src.clone();
  const int last = src.cols - 1;
  for (int i = 0; i < src.rows; ++i) {
    const cv::Vec3f* s = src.ptr<cv::Vec3f>(i);
    cv::Vec3f* d = dst.ptr<cv::Vec3f>(i);
    for (int j = (i % 2 == 0) ? 0 : 1; j <= last; j += 2) {
      for (int c = 0; c < 3; ++c) {
        if (j == 0)
          d[j][c] = s[1][c];
        else if (j == last)
          d[j][c] = s[last - 1][c];
        else
          d[j][c] = (s[j - 1][c] + s[j + 1][c]) / 2.0f;
      }
    }
  }
}

void viewCreate::save_subaperture(const cv::Mat* views, const Output& out) {
  for (int i = 0; i < view_count; ++i) {
    out.write_image(paths::view_export(i), views[i]);
  }
}
