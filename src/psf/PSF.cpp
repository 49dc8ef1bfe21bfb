// Box point spread function: kernel construction and zero-padded correlation.
#include "PSF.h"

#include <cmath>

#include "errors.h"
#include "execution.h"

namespace {

// Smallest odd integer not below the extent, and the weight of the outermost cells.
void box_profile(double extent, int& size, double& edge) {
  size = static_cast<int>(std::ceil(extent));
  if (size % 2 == 0) size += 1;
  edge = (extent - (size - 2)) / 2;
}

}  // namespace

cv::Mat psf_kernel(double width, double height) {
  int cols, rows;
  double edge_c, edge_r;
  box_profile(width, cols, edge_c);
  box_profile(height, rows, edge_r);
  cv::Mat k(rows, cols, CV_64F);
  double sum = 0.0;
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      double w = (i == 0 || i == rows - 1) ? edge_r : 1.0;
      if (j == 0 || j == cols - 1) w *= edge_c;
      k.at<double>(i, j) = w;
      sum += w;
    }
  }
  const double inv = 1.0 / sum;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) k.at<double>(i, j) *= inv;
  return k;
}

void PSF(const cv::Mat& src, cv::Mat& dst, double width, double height) {
  if (!src.empty() && (src.type() != CV_32FC3 || src.dims != 2))
    throw RunError(exit_internal, "point spread function: input is not a 32-bit float "
                                  "3-channel image");
  if (execution().reference)
    reference::PSF(src, dst, width, height);
  else
    PSF_fast(src, dst, width, height);
}

void reference::PSF(const cv::Mat& src, cv::Mat& dst, double width, double height) {
  const cv::Mat k = psf_kernel(width, height);
  const int hr = (k.rows - 1) / 2, hc = (k.cols - 1) / 2;
  dst = cv::Mat::zeros(src.rows, src.cols, CV_32FC3);
  for (int y = 0; y < src.rows; ++y) {
    for (int x = 0; x < src.cols; ++x) {
      cv::Vec3f& out = dst.at<cv::Vec3f>(y, x);
      for (int l = -hr; l <= hr; ++l) {
        for (int m = -hc; m <= hc; ++m) {
          if (y + l < 0 || y + l >= src.rows || x + m < 0 || x + m >= src.cols) continue;
          const float w = static_cast<float>(k.at<double>(l + hr, m + hc));
          const cv::Vec3f& in = src.at<cv::Vec3f>(y + l, x + m);
          for (int c = 0; c < 3; ++c) out[c] += in[c] * w;
        }
      }
    }
  }
}
