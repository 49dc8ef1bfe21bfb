// Sub-aperture view extraction: cuts the raw mosaic into 81 views with colour masks (one raw
// sample per lenslet and view) and builds the hole-filled full-colour centre view.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "geometry.h"

class Output;

class viewCreate {
 public:
  // Reads the colour image (8-bit 3-channel) and the raw mosaic (8-bit 1-channel) and checks
  // them against the lenslet grid; throws RunError(exit_input) naming the file on bad input.
  viewCreate(const char* rgb_path, const char* raw_path, const Geometry& g = Geometry());
  // Uses images already in memory (not validated; tests may pass empty images).
  viewCreate(const cv::Mat& rgb, const cv::Mat& raw, const Geometry& g = Geometry());
  ~viewCreate();

  // Fills views[0..80], masks[0..80] and the interpolated centre view.
  void create_mask(cv::Mat* views, cv::Mat* masks, cv::Mat& center);
  // 81 views (low_y x low_x, CV_8UC3) and masks (CV_8UC1: 0, 1, 2 = channel, 3 = no sample).
  void extract_viewandmask(const cv::Mat& raw, cv::Mat* views, cv::Mat* masks);
  // Centre view (CV_32FC3) sampled from the colour image at view 40's offset, holes filled.
  void extract_center(const cv::Mat& rgb, cv::Mat& center);
  // dst = src with every hole (i + j even) filled from its horizontal neighbours.
  void interpolate_subaperture(const cv::Mat& src, cv::Mat& dst);
  // Writes views[i] to out's "view/view%03d.ppm" for i = 0..80.
  void save_subaperture(const cv::Mat* views, const Output& out);

  const Geometry& geometry() const { return geom_; }

 private:
  // Rounded reference point of lenslet (r, c), raw (row, column).
  cv::Point rounded_lenslet(int r, int c) const;

  cv::Mat rgb_image;
  cv::Mat raw_image;
  Geometry geom_;
};
