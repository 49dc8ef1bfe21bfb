// Placeholder: the disparity search lands with the depth stage.
#include "rawDepthEstimation.h"

#include "imageio.h"
#include "textformat.h"

rawDepthEstimation::rawDepthEstimation(int min_d, int max_d, int window, const Geometry& g,
                                       const Output* out)
    : min_disparity(min_d), max_disparity(max_d), window_size(window), geom_(g), out_(out) {}

rawDepthEstimation::~rawDepthEstimation() = default;

void rawDepthEstimation::estimate_rawdepth(const cv::Mat& estimate, const cv::Mat* views,
                                           const cv::Mat* masks, cv::Mat& depth) {
  search_rawdisparity(estimate, views, masks, depth);
  save_depth(depth);
}

void rawDepthEstimation::search_rawdisparity(const cv::Mat&, const cv::Mat*, const cv::Mat*,
                                             cv::Mat&) {}
void rawDepthEstimation::blur_ssd(cv::Mat&, float) {}
void rawDepthEstimation::NNresize(const cv::Mat&, const cv::Mat&, cv::Mat&, cv::Mat&) {}

void rawDepthEstimation::save_depth(const cv::Mat& depth) {
  if (out_ == nullptr) return;
  out_->write_image(strformat("/bigSR/view%03d/depthmapbig.pgm", view_count),
                    depth_to_grey(depth, min_disparity, max_disparity, geom_));
}

cv::Mat depth_to_grey(const cv::Mat& depth, int min_disparity, int max_disparity,
                      const Geometry& g) {
  const float s = g.xscale_f();
  const double offset = static_cast<float>(min_disparity) * s;
  const double span = static_cast<float>(max_disparity - min_disparity) * s;
  cv::Mat grey = (depth - offset) / span * 255;
  return grey;
}
