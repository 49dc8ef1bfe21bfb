// Names of the files in a sample's ground-truth directory, and the colour map both the
// generator and the evaluation use to draw disparities.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// Below GTDIR.
inline const char* truth_colour_png = "centre.png";      // 8-bit BGR, full grid
inline const char* truth_colour_pfm = "centre.pfm";      // float BGR 0..255, full grid
inline const char* truth_disparity_pfm = "disparity.pfm";  // float, program's unit
inline const char* truth_disparity_png = "disparity.png";  // colour-mapped
inline const char* truth_info_txt = "scene.txt";          // scene, seed, noise

// Disparity range the colour maps span: the default search range, -1..1 times xscale.
constexpr double disparity_map_low = -2.2601476;
constexpr double disparity_map_high = 2.2601476;

// BGR picture of a disparity map (CV_32F): low..high mapped to blue..red (turbo map);
// values outside are clamped. Pixels that are not finite are drawn black.
cv::Mat colour_disparity(const cv::Mat& disparity, double low = disparity_map_low,
                         double high = disparity_map_high);
