// PSNR, SSIM and disparity error statistics.
#include "metrics.h"

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

cv::Rect interior(cv::Size size, int border) {
  const int b = std::max(0, std::min(border, std::min(size.width, size.height) / 2 - 1));
  return cv::Rect(b, b, std::max(1, size.width - 2 * b), std::max(1, size.height - 2 * b));
}

namespace {

cv::Mat as_double(const cv::Mat& m) {
  cv::Mat d;
  m.convertTo(d, CV_MAKETYPE(CV_64F, m.channels()));
  return d;
}

}  // namespace

double psnr(const cv::Mat& image, const cv::Mat& truth, int border) {
  CV_Assert(image.size() == truth.size() && image.channels() == truth.channels());
  const cv::Rect roi = interior(image.size(), border);
  cv::Mat diff = as_double(image(roi)) - as_double(truth(roi));
  const double sq = diff.dot(diff);
  if (sq == 0) return std::numeric_limits<double>::infinity();
  const double mse = sq / (static_cast<double>(roi.area()) * image.channels());
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

namespace {

constexpr double ssim_c1 = (0.01 * 255) * (0.01 * 255), ssim_c2 = (0.03 * 255) * (0.03 * 255);

cv::Mat gaussian_window(const cv::Mat& m) {
  cv::Mat b;
  cv::GaussianBlur(m, b, cv::Size(11, 11), 1.5, 1.5, cv::BORDER_REFLECT);
  return b;
}

std::vector<cv::Mat> float_channels(const cv::Mat& m) {
  cv::Mat f;
  m.convertTo(f, CV_MAKETYPE(CV_32F, m.channels()));
  std::vector<cv::Mat> c;
  cv::split(f, c);
  return c;
}

}  // namespace

SsimTruth::SsimTruth(const cv::Mat& truth) : y_(float_channels(truth)), size_(truth.size()) {
  for (const cv::Mat& y : y_) {
    mean_.push_back(gaussian_window(y));
    var_.push_back(gaussian_window(y.mul(y)) - mean_.back().mul(mean_.back()));
  }
}

double SsimTruth::ssim(const cv::Mat& image, int border) const {
  CV_Assert(image.size() == size_ && static_cast<size_t>(image.channels()) == y_.size());
  const cv::Rect roi = interior(size_, border);
  const std::vector<cv::Mat> xs = float_channels(image);
  double total = 0;
  for (size_t c = 0; c < xs.size(); ++c) {
    const cv::Mat& x = xs[c];
    const cv::Mat& my = mean_[c];
    const cv::Mat mx = gaussian_window(x);
    const cv::Mat sxx = gaussian_window(x.mul(x)) - mx.mul(mx);
    const cv::Mat sxy = gaussian_window(x.mul(y_[c])) - mx.mul(my);
    cv::Mat num = (2 * mx.mul(my) + ssim_c1).mul(2 * sxy + ssim_c2);
    cv::Mat den = (mx.mul(mx) + my.mul(my) + ssim_c1).mul(sxx + var_[c] + ssim_c2);
    cv::Mat map;
    cv::divide(num, den, map);
    total += cv::mean(map(roi))[0];
  }
  return total / xs.size();
}

double ssim(const cv::Mat& image, const cv::Mat& truth, int border) {
  CV_Assert(image.size() == truth.size() && image.channels() == truth.channels());
  return SsimTruth(truth).ssim(image, border);
}

DepthError depth_error(const cv::Mat& disparity, const cv::Mat& truth, int border) {
  CV_Assert(disparity.type() == CV_32F && truth.type() == CV_32F && disparity.size() == truth.size());
  const cv::Rect roi = interior(disparity.size(), border);
  double sq = 0;
  long finite = 0, over1 = 0, over2 = 0;
  for (int y = roi.y; y < roi.y + roi.height; ++y) {
    const float* d = disparity.ptr<float>(y);
    const float* t = truth.ptr<float>(y);
    for (int x = roi.x; x < roi.x + roi.width; ++x) {
      if (!std::isfinite(d[x])) {
        ++over1;
        ++over2;
        continue;
      }
      const double e = static_cast<double>(d[x]) - t[x];
      sq += e * e;
      ++finite;
      if (std::fabs(e) > 0.25) ++over1;
      if (std::fabs(e) > 0.5) ++over2;
    }
  }
  DepthError r;
  const double n = static_cast<double>(roi.area());
  r.rmse = finite > 0 ? std::sqrt(sq / finite) : std::numeric_limits<double>::quiet_NaN();
  r.over_025 = over1 / n;
  r.over_050 = over2 / n;
  return r;
}

cv::Mat disparity_from_grey(const cv::Mat& grey, int min_d, int max_d, const Geometry& g) {
  CV_Assert(grey.type() == CV_8U);
  const float s = g.xscale_f();
  const double offset = static_cast<float>(min_d) * s;
  const double span = static_cast<float>(max_d - min_d) * s;
  cv::Mat d(grey.size(), CV_32F);
  for (int y = 0; y < grey.rows; ++y)
    for (int x = 0; x < grey.cols; ++x)
      d.at<float>(y, x) = static_cast<float>(grey.at<uchar>(y, x) / 255.0 * span + offset);
  return d;
}
