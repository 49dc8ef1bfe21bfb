// Sub-pixel depth sweep of the quality mode: every candidate disparity is scored at exact
// (unrounded) shifts, by the raw samples' agreement with the blurred estimate or with each
// other; costs are smoothed over a window, optionally shifted to the best nearby window, the
// cheapest candidate wins and a parabola through its neighbours places the minimum between
// ladder steps.
#pragma once

#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "quality_model.h"
#include "quality_params.h"

// Candidate offsets lo, lo + step, ... up to hi (inclusive, within a thousandth of a step).
std::vector<double> disparity_ladder(double lo, double hi, double step);

// What a sweep scores candidates by (quality_costs.h): the samples against the blurred
// estimate, or against each other (for a first map, before the estimate holds any detail).
enum class SweepMatch { estimate, consistency };

// Sweeps the candidate offsets around the model's current disparity map `base` (CV_32F, full
// grid; the model's view disparities must come from it): a pixel's candidates are base plus
// each offset. Writes base plus the winning (refined) offset into depth, 5 x 5 median
// filtered. `done` is called after each candidate with the number finished.
void sweep_depth(const SubpixelModel& model, const cv::Mat& estimate, const cv::Mat& base,
                 const std::vector<double>& offsets, const QualityParams& p, SweepMatch match,
                 cv::Mat& depth, const std::function<void(int)>& done);
