// Scenes for the super-resolution tests: random estimates, disparity maps of a few levels,
// and a grid on which integer estimates project onto integer samples.
#pragma once

#include <opencv2/core.hpp>

#include "geometry.h"
#include "test_support.h"

// Full-grid CV_32FC3 images: uniform floats in [lo, hi), or uniform integers in [lo, hi].
cv::Mat random_float(const Geometry& g, unsigned seed, float lo, float hi);
cv::Mat random_integers(const Geometry& g, unsigned seed, int lo, int hi);

// Disparity map of a few levels (candidate values of the depth search) in vertical stripes
// plus noise, so the warps both occlude and leave holes.
cv::Mat level_depth(const Geometry& g, unsigned seed, int levels);

// A grid whose view pixels sit exactly on full-resolution pixels with a one-pixel blur, so
// that integer estimates project onto integer samples.
Geometry unit_geometry();

// Views that record exactly what `estimate` projects to under `depth` (unit geometry).
TestViews reproduced_exposure(const Geometry& g, const cv::Mat& estimate, const cv::Mat& depth);
