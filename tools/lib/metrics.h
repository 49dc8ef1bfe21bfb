// Image and disparity quality measures against ground truth, over the interior of the grid
// (a border of `border` pixels on every side is left out, where every method is unreliable).
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "geometry.h"

// Peak signal-to-noise ratio in dB for the 0..255 scale, over all channels of the interior;
// +infinity when the images are equal there. Any depth or channel count; sizes must match.
double psnr(const cv::Mat& image, const cv::Mat& truth, int border);

// Mean structural similarity (11 x 11 Gaussian window, sigma 1.5, constants for the 0..255
// scale), computed per channel on the whole image and averaged over the interior and the
// channels. 1 for equal images.
double ssim(const cv::Mat& image, const cv::Mat& truth, int border);

// The truth's side of SSIM (channels, local means and variances), computed once for
// measuring many images against the same truth.
class SsimTruth {
 public:
  explicit SsimTruth(const cv::Mat& truth);
  double ssim(const cv::Mat& image, int border) const;

 private:
  std::vector<cv::Mat> y_, mean_, var_;  // per channel, CV_32F
  cv::Size size_;
};

struct DepthError {
  double rmse = 0;      // root mean square disparity error
  double over_025 = 0;  // share (0..1) of pixels off by more than 0.25
  double over_050 = 0;  // share of pixels off by more than 0.5
};
// Both CV_32F of equal size; non-finite estimates count as off by more than either bound
// and are left out of the RMSE.
DepthError depth_error(const cv::Mat& disparity, const cv::Mat& truth, int border);

// Disparity from the program's 8-bit depth picture: grey g stands for g / 255 * span + offset
// with offset = min_d * xscale and span = (max_d - min_d) * xscale, xscale in single precision.
cv::Mat disparity_from_grey(const cv::Mat& grey, int min_d, int max_d, const Geometry& g = Geometry());

// The interior rectangle of an image of this size.
cv::Rect interior(cv::Size size, int border);
