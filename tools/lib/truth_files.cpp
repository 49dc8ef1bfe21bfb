// Colour mapping of disparity maps.
#include "truth_files.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

cv::Mat colour_disparity(const cv::Mat& disparity, double low, double high) {
  CV_Assert(disparity.type() == CV_32F);
  cv::Mat grey(disparity.size(), CV_8U);
  cv::Mat bad(disparity.size(), CV_8U, cv::Scalar(0));
  for (int y = 0; y < disparity.rows; ++y) {
    const float* d = disparity.ptr<float>(y);
    for (int x = 0; x < disparity.cols; ++x) {
      if (!std::isfinite(d[x])) {
        bad.at<uchar>(y, x) = 1;
        grey.at<uchar>(y, x) = 0;
        continue;
      }
      grey.at<uchar>(y, x) = cv::saturate_cast<uchar>(cvRound((d[x] - low) / (high - low) * 255.0));
    }
  }
  cv::Mat out;
  cv::applyColorMap(grey, out, cv::COLORMAP_TURBO);
  out.setTo(cv::Scalar::all(0), bad);
  return out;
}
