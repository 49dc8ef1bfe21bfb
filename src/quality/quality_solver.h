// Reconstruction of the quality mode: minimises
//   E(u) = sum over samples rho(A u - recorded) + tv_weight * sum over pixels phi(u)
//          + smooth_weight / 2 * sum over pixels of the squared metric gradient,
//   rho = Huber penalty with robust_scale (half the square when it is 0),
//   phi = sqrt(|grad luminance|^2 + chroma_weight |grad chroma|^2 + tv_epsilon^2),
// by reweighted least squares: the total variation is replaced by its quadratic majoriser at
// the current estimate, rho likewise, and that quadratic problem is solved by conjugate
// gradients, the weights being renewed every reweight_steps steps.
#pragma once

#include <functional>
#include <opencv2/core.hpp>

#include "quality_model.h"
#include "quality_params.h"

struct QualityEnergy {
  double data = 0;         // sum of rho of the residuals
  double regulariser = 0;  // tv_weight * sum of phi + the quadratic term
  double total() const { return data + regulariser; }
};

// Weighted colour gradient operator: the per-pixel metric of the regulariser on a gradient
// (g per channel): luminance part plus chroma_weight times the rest.
void metric_apply(const float g[3], float chroma_weight, float out[3]);

// out = sum over directions D^t (w M D u), forward differences with nothing beyond the last
// row / column; w: CV_32F weights, u and out CV_32FC3.
void regulariser_apply(const cv::Mat& u, const cv::Mat& w, float chroma_weight, cv::Mat& out);

// The regulariser's value and, if w is given, the weights of its quadratic majoriser at u:
// tv_weight / phi + smooth_weight per pixel.
double regulariser_value(const cv::Mat& u, const QualityParams& p, cv::Mat* w);

// Energy of u under the model.
QualityEnergy quality_energy(const SubpixelModel& m, const cv::Mat& u, const QualityParams& p);

// Runs `steps` conjugate-gradient steps on u (CV_32FC3, in place), renewing the weights every
// p.reweight_steps steps; `done` is called after every step with the number finished. Returns
// the energy at the end.
QualityEnergy solve_quality(const SubpixelModel& m, cv::Mat& u, const QualityParams& p, int steps,
                            const std::function<void(int)>& done);
