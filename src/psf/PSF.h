// Point spread function: the box blur that models how one view sample integrates the
// full-resolution image over xscale columns by yscale rows.
#pragma once

#include <opencv2/core.hpp>

// Box kernel for a box of `width` columns by `height` rows: CV_64F, odd sizes, centred,
// outermost cells weighted by the covered fraction, weights summing to 1.
cv::Mat psf_kernel(double width, double height);

// dst = src (CV_32FC3) correlated with psf_kernel(width, height), zero padding, float
// products accumulated per pixel in tap order. dst must not be src. Dispatches to the
// reference loop under execution().reference, else to the fast kernel (same bytes).
void PSF(const cv::Mat& src, cv::Mat& dst, double width, double height);

namespace reference {
// The plain per-pixel, per-tap loop.
void PSF(const cv::Mat& src, cv::Mat& dst, double width, double height);
}  // namespace reference

// Vectorised, multi-threaded version; byte-identical to reference::PSF.
void PSF_fast(const cv::Mat& src, cv::Mat& dst, double width, double height);
// The same into an image the caller has allocated: out is src.rows x src.cols CV_32FC3 and
// shares no memory with src; every pixel is overwritten.
void PSF_fast_into(const cv::Mat& src, cv::Mat& out, double width, double height);
