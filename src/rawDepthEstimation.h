// Raw-domain depth estimation: a plane sweep over candidate disparities that compares the
// blurred full-resolution estimate with the shifted raw samples of the 80 non-centre views,
// smooths each candidate's cost over a square window and keeps the cheapest candidate.
#pragma once

#include <opencv2/core.hpp>

#include "geometry.h"

class Output;

class rawDepthEstimation {
 public:
  // min/max disparity in view columns per unit of view offset; window_size >= 1.
  // `out` receives the depth map file; nullptr writes nothing.
  rawDepthEstimation(int min_disparity, int max_disparity, int window_size,
                     const Geometry& g = Geometry(), const Output* out = nullptr);
  ~rawDepthEstimation();

  // Fills depth (CV_32F, high_y x high_x) from the estimate (CV_32FC3), the 81 views and
  // masks, then writes it as "/bigSR/view081/depthmapbig.pgm".
  void estimate_rawdepth(const cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                         cv::Mat& depth);
  // The plane sweep and the final 5 x 5 median.
  void search_rawdisparity(const cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                           cv::Mat& depth);
  // Replaces cost (CV_32F) by its mean over the window, leaving out costs at or above
  // 10 * large_cost - 10; a frame of window_size / 2 pixels becomes 0.
  void blur_ssd(cv::Mat& cost, float large_cost);
  // Nearest-neighbour upsampling of one view and mask onto the full grid.
  void NNresize(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view, cv::Mat& up_mask);
  // Writes depth scaled to grey (min_disparity -> 0, max_disparity -> 255).
  void save_depth(const cv::Mat& depth);

  int min_disparity;
  int max_disparity;
  int window_size;

 private:
  Geometry geom_;
  const Output* out_;
};

// Grey image (CV_32F, 0..255 before the writer's rounding and saturation) of a depth map for
// the disparity range [min_disparity, max_disparity] times xscale in single precision.
cv::Mat depth_to_grey(const cv::Mat& depth, int min_disparity, int max_disparity,
                      const Geometry& g);
