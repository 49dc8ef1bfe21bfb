// Micro-images of a white exposure: the frame flattened to a common scale (black level and
// colour-filter responses divided out), and each micro-image's sub-pixel centre and shape.
#pragma once

#include <opencv2/core.hpp>

// Levels of a raw white frame per colour-filter position (row parity * 2 + column parity).
struct MosaicLevels {
  double black[4] = {0, 0, 0, 0};  // gaps between micro-images
  double white[4] = {1, 1, 1, 1};  // bright micro-image interiors near the centre
};

// Black and white levels of each filter position, from the frame's low and high percentiles
// (white from the middle of the frame, where vignetting is least).
MosaicLevels mosaic_levels(const cv::Mat& frame);

// The frame (CV_8UC1 or CV_16UC1) as CV_32F, 0 at black and 1 at white of every position.
cv::Mat flatten_mosaic(const cv::Mat& frame, const MosaicLevels& levels);

// Divides flat (CV_32F, in place) by its brightness averaged over many micro-images, so
// that natural vignetting no longer tilts the light within and between neighbouring
// micro-images. pitch: the micro-images' spacing, pixels.
void even_out_brightness(cv::Mat& flat, double pitch);

// One micro-image measured around a predicted centre.
struct MicroImage {
  double y = 0, x = 0;     // light-weighted centre, raw (row, column)
  double mass = 0;         // light inside the window
  double elongation = 0;   // 1 - minor / major second moment: 0 for a disc, more for a cat's eye
  bool ok = false;         // the window lay inside the frame and held light
};

// Centre of the micro-image nearest (y, x) in the flattened frame: the light-weighted mean
// over a soft circular window of the given radius, re-centred until it settles.
MicroImage measure_micro_image(const cv::Mat& flat, double y, double x, double radius);
