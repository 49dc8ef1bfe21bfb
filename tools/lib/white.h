// White (flat-field) exposure of a camera unit from a physical model of its lenslets: each
// micro-image is the main lens's aperture imaged through one lenslet, a disc of light
// centred on the micro-image centre. A second aperture of the main lens, seen off axis,
// clips the discs away from the sensor centre into cat's eyes; natural vignetting darkens
// the corners; the colour filters scale each pixel by their channel's response.
#pragma once

#include <opencv2/core.hpp>

#include "geometry.h"

struct WhiteOptions {
  int bits = 8;            // 8: 8-bit samples; 9 to 16: 16-bit file, samples up to 2^bits - 1
  double black = 0;        // black level, in sample units
  double peak = 0.85;      // centre micro-image brightness above black, share of the range
  double noise = 0;        // read-noise standard deviation, 8-bit units (scaled with bits)
  double corner_level = 0.55;  // natural vignetting: brightness at the corners, share of centre
  double cats_eye = 0.35;  // share of a micro-image's diameter the second aperture cuts off
                           // at the corners (0: no mechanical vignetting)
  double aperture = 0.9;   // micro-image diameter, share of the lenslet spacing
  double blur = 0;         // standard deviation of the optics' Gaussian blur, pixels
  cv::Vec3d response{0.6, 1.0, 0.75};  // colour-filter responses of blue, green and red
  unsigned long long seed = 1;         // noise seed
};

// The exposure: CV_8UC1 for 8 bits, else CV_16UC1; the sensor size of g.
cv::Mat render_white(const Geometry& g, const WhiteOptions& o);
