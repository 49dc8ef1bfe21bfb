// The quality mode's run after the bicubic first estimate: sub-pixel depth sweep, then outer
// iterations of (reconstruction, depth re-estimated around the previous map), each writing
// its estimate and depth map below bigSR/view081/quality/.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "geometry.h"
#include "options.h"

class Output;

// Refines `estimate` (CV_32FC3, full grid; the bicubic first estimate) in place and leaves
// the last depth map in `depth` (CV_32F, full grid). Writes through `out` (nullptr: nothing):
// bicubic.ppm, depthmapbig.pgm (first depth map), normerror.txt, srNN.ppm and
// depth/depthNN.pgm, all in paths::quality_dir(). Prints the iteration lines on standard output.
void run_quality(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks, cv::Mat& depth,
                 const RunOptions& o, const Geometry& g, const Output* out);
