// Fast depth estimation loops (placeholders: the reference loops until the vectorised ones land).
#include "rawDepthEstimation.h"

void search_rawdisparity_fast(const cv::Mat& estimate, const cv::Mat* views,
                              const cv::Mat* masks, cv::Mat& depth, int min_disparity,
                              int max_disparity, int window_size, const Geometry& g) {
  reference::search_rawdisparity(estimate, views, masks, depth, min_disparity, max_disparity,
                                 window_size, g);
}

void blur_ssd_fast(cv::Mat& cost, float large_cost, int window_size) {
  reference::blur_ssd(cost, large_cost, window_size);
}

void NNresize_fast(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view,
                   cv::Mat& up_mask, const Geometry& g) {
  reference::NNresize(view, mask, up_view, up_mask, g);
}
