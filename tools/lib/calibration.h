// Calibration of a camera unit's lenslet grid from a raw white exposure: micro-image centres
// measured where the micro-images are whole, the grid fitted to them robustly, and checks
// that the frame is a white exposure at all.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry.h"
#include "lattice_fit.h"

struct Calibration {
  Geometry geometry;                  // the fitted grid, lenslet (0, 0) nearest the built-in one
  std::vector<CentreMeasure> centres;  // every micro-image measured whole inside the frame
  std::vector<bool> used;             // per centre: kept by the fit (not clipped, not an outlier)
  int used_count = 0;
  double rms = 0;                     // residual of the used centres, pixels
  double max_residual = 0;            // largest residual of a used centre, pixels
  cv::Mat flat;                       // the frame with black level and filter responses divided out
};

// Calibrates from frame (CV_8UC1 or CV_16UC1, the sensor size of camera), which names the
// sensor size, lenslet counts and the grid to start from (its origin also picks lenslet
// (0, 0)). Throws RunError(exit_input) naming path when the frame is of the wrong kind or
// size, blank, saturated, or shows no regular grid of even micro-images (not a white
// exposure).
Calibration calibrate_white(const cv::Mat& frame, const std::string& path,
                            const Geometry& camera = Geometry());
