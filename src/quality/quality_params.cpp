// The table of quality-mode tuning values and their range check.
#include "quality_params.h"

#include <cmath>

#include "errors.h"
#include "textformat.h"

const std::vector<QualityParamInfo>& quality_param_table() {
  static const std::vector<QualityParamInfo> table = {
      {"q-disparity-step", &QualityParams::disparity_step, 0.01, 1.0, false,
       "disparity ladder step of the sweeps over the whole range"},
      {"q-refine-range", &QualityParams::refine_range, 0.0, 5.0, false,
       "re-estimation searches the previous depth +- this"},
      {"q-refine-step", &QualityParams::refine_step, 0.01, 1.0, false,
       "disparity ladder step of the re-estimations"},
      {"q-window", &QualityParams::window_radius, 1, 50, true,
       "reach of the cost aggregation, pixels"},
      {"q-guide-sigma", &QualityParams::guide_sigma, 0.0, 1000.0, false,
       "colour step worth a window of distance in the aggregation (0: ignore colour)"},
      {"q-cost-cap", &QualityParams::cost_cap, 1.0, 255.0, false,
       "matching residuals beyond this (8-bit units) count as this"},
      {"q-consistency-sweeps", &QualityParams::consistency_sweeps, 0, 1000, true,
       "how many sweeps, from the first, score the views against each other, not the estimate"},
      {"q-shift-window", &QualityParams::shift_window, 0, 50, true,
       "each pixel takes the lowest aggregated cost within this distance, pixels (0: its own)"},
      {"q-outer", &QualityParams::outer_iterations, 0, 1000, true,
       "outer iterations (solve, then re-estimate depth), one srNN each"},
      {"q-steps", &QualityParams::solver_steps, 0, 10000, true,
       "conjugate-gradient steps per outer iteration but the last"},
      {"q-final-steps", &QualityParams::final_steps, 0, 10000, true,
       "conjugate-gradient steps of the last outer iteration"},
      {"q-full-sweeps", &QualityParams::full_sweeps, 0, 1000, true,
       "how many of the first re-estimations search the whole disparity range again"},
      {"q-tv", &QualityParams::tv_weight, 0.0, 1e6, false,
       "weight of the colour total variation"},
      {"q-tv-epsilon", &QualityParams::tv_epsilon, 0.001, 1000.0, false,
       "smoothing of the total variation near zero, 8-bit units"},
      {"q-smooth", &QualityParams::smooth_weight, 0.0, 1e6, false,
       "weight of the squared gradient beside the total variation in the last solve: damps detail finer than the views resolve"},
      {"q-chroma", &QualityParams::chroma_weight, 0.0, 1000.0, false,
       "weight of chroma edges relative to luminance edges"},
      {"q-robust", &QualityParams::robust_scale, 0.0, 255.0, false,
       "residuals beyond this (8-bit units) count linearly, not squared (0: never)"},
      {"q-reweight", &QualityParams::reweight_steps, 1, 1000, true,
       "solver steps between renewals of the reweighting"},
      {"q-stop", &QualityParams::stop_change, 0.0, 1.0, false,
       "stop once an outer iteration lowers the energy by less than this share"},
  };
  return table;
}

void check_quality_params(const QualityParams& p) {
  for (const QualityParamInfo& info : quality_param_table()) {
    const double v = p.*info.field;
    const bool whole_ok = !info.whole || v == std::floor(v);
    if (!(v >= info.lo && v <= info.hi) || !whole_ok)
      throw RunError(exit_usage, std::string("--") + info.option + ": expected " +
                                     (info.whole ? "a whole number" : "a number") +
                                     strformat(" from %g to %g, found '%g'", info.lo, info.hi, v));
  }
}
