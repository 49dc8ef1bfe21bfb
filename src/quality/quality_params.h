// Tuning values of the quality mode, each declared once with its default, its allowed range
// and its help text; the command line builds its --q-* options from quality_param_table().
#pragma once

#include <string>
#include <vector>

struct QualityParams {
  // Depth sweep.
  double disparity_step = 0.05;  // ladder step of the full-range sweeps, disparity units
  double refine_range = 0.3;     // re-estimation searches the previous map +- this
  double refine_step = 0.05;     // ladder step of the re-estimations
  double window_radius = 12;     // reach of the cost aggregation, pixels
  double guide_sigma = 0;        // colour step (8-bit units) worth window_radius pixels; 0: none
  double cost_cap = 30;          // residuals beyond this (8-bit units) count as this
  double consistency_sweeps = 1; // first sweeps that score the views against each other
  double shift_window = 12;      // a pixel takes the best window within this distance; 0: none
  // Reconstruction.
  double outer_iterations = 4;   // sweeps of (solve, re-estimate depth); one srNN each
  double solver_steps = 8;       // conjugate-gradient steps per outer iteration but the last
  double final_steps = 24;       // conjugate-gradient steps of the last outer iteration
  double full_sweeps = 1;        // first re-estimations that search the whole range again
  double tv_weight = 0.8;        // weight of the colour total variation
  double tv_epsilon = 2.0;       // smoothing of the total variation near 0, 8-bit units
  double smooth_weight = 0.01;   // weight of half the squared colour gradient in the last solve
  double chroma_weight = 10.0;   // chroma edges cost this many times luminance edges
  double robust_scale = 5;       // residuals beyond this (8-bit units) weigh linearly; 0: never
  double reweight_steps = 4;     // solver steps between renewals of the weights
  double stop_change = 0.002;    // stop once the energy falls by less than this share
};

struct QualityParamInfo {
  const char* option;            // long option name, without leading dashes
  double QualityParams::*field;
  double lo, hi;                 // allowed range, inclusive
  bool whole;                    // the value must be a whole number
  const char* help;
};

// Every quality-mode tuning value with its option, range and help, in help-text order.
const std::vector<QualityParamInfo>& quality_param_table();

// Throws RunError(exit_usage) naming the option when a value lies outside its range.
void check_quality_params(const QualityParams& p);
