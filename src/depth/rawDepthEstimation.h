// Raw-domain depth estimation: a plane sweep over candidate disparities that compares the
// blurred full-resolution estimate with the shifted raw samples of the 80 non-centre views,
// smooths each candidate's cost over a square window and keeps the cheapest candidate.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

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
  // The plane sweep and the final 5 x 5 median. Throws RunError(exit_internal) when the
  // images do not match the geometry (estimate high_y x high_x CV_32FC3; 81 views low_y x
  // low_x CV_8UC3; 81 masks low_y x low_x CV_8UC1 with values 0..3) or window_size < 1.
  // Reports one progress unit per candidate.
  void search_rawdisparity(const cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                           cv::Mat& depth);
  // Replaces cost (CV_32F, any size) by its mean over the window, leaving out costs at or
  // above 10 * large_cost - 10; a frame of window_size / 2 pixels becomes 0.
  void blur_ssd(cv::Mat& cost, float large_cost);
  // Nearest-neighbour upsampling of one view (CV_8UC3) and mask (CV_8UC1, 0..3), both
  // low_y x low_x, onto the full grid: up_view CV_32FC3, up_mask CV_8UC1 (3 = no sample).
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
// Writes depth as the grey file `relative` and, when the output asks for it, as a lossless
// float file and a colour-mapped picture beside it, over the same disparity range.
void write_depth_files(const Output& out, const std::string& relative, const cv::Mat& depth,
                       int min_disparity, int max_disparity, const Geometry& g);

cv::Mat depth_to_grey(const cv::Mat& depth, int min_disparity, int max_disparity,
                      const Geometry& g);

// ---- Per-pixel formulas, shared by the reference and the fast loops ----

constexpr float large_cost = 1000000.0f;             // initial best cost
constexpr float no_sample_cost = 10.0f * large_cost;  // cost of a pixel no view samples
constexpr float disparity_step = 0.25f;               // distance between candidates
constexpr int median_aperture = 5;                    // final filter of the best disparity

// Candidate disparities in full-resolution columns per unit of view offset: from
// min * xscale_f upwards in steps of 0.25 while below max * xscale_f + 0.25, all in single
// precision (20 candidates for -1..1).
std::vector<float> disparity_candidates(int min_disparity, int max_disparity, const Geometry& g);

// Costs at or above this (and NaN) are left out of the window means.
inline float ssd_threshold(float large) { return 10 * large - 10; }
inline bool ssd_included(float cost, float threshold) { return threshold > cost; }

inline float squared_difference(float blurred, float sample) {
  const float d = blurred - sample;
  return d * d;
}

// Mean of the squared differences of a pixel, or the no-sample cost when no view sampled it.
inline float mean_cost(float sum, float count) {
  return count != 0 ? sum / count : no_sample_cost;
}

// View row (column) nearest to full-resolution row (column) `full` for a scale of full
// pixels per view pixel; the caller drops indices beyond the view.
inline int nearest_view_index(int full, double scale) { return cvRound(full / scale); }

// Window radius of a smoothing window of `window_size` pixels (an even size acts as the next
// odd one).
inline int window_radius(int window_size) { return window_size / 2; }

// ---- Loops ----

namespace reference {
// The plain sweep: per candidate, per view (ascending, centre skipped), upsample the view and
// mask, then per pixel in raster order. Inputs are assumed valid (see search_rawdisparity).
void search_rawdisparity(const cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                         cv::Mat& depth, int min_disparity, int max_disparity, int window_size,
                         const Geometry& g);
// Direct window sums in raster order of the taps.
void blur_ssd(cv::Mat& cost, float large_cost, int window_size);
// Per full-resolution pixel, the nearest view pixel.
void NNresize(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view, cv::Mat& up_mask,
              const Geometry& g);
}  // namespace reference

// Vectorised, multi-threaded versions; byte-identical to the reference ones.
void search_rawdisparity_fast(const cv::Mat& estimate, const cv::Mat* views,
                              const cv::Mat* masks, cv::Mat& depth, int min_disparity,
                              int max_disparity, int window_size, const Geometry& g);
void blur_ssd_fast(cv::Mat& cost, float large_cost, int window_size);
void NNresize_fast(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view,
                   cv::Mat& up_mask, const Geometry& g);
