// Raw-domain super-resolution: split Bregman iteration for an anisotropic total-variation
// regulariser, with steepest-descent inner steps against the raw samples of all 81 views
// and, in joint mode, depth re-estimated after every outer iteration.
#pragma once

#include <memory>
#include <opencv2/core.hpp>

#include "geometry.h"
#include "iteration_kernels.h"
#include "options.h"
#include "sr_report.h"

class Output;

class rawSuperResolution {
 public:
  // outer_iterations >= 0 (one result image each), inner_iterations >= 0 (most descent steps
  // per outer iteration), mu > 0 (L1 weight; names the result directory with one decimal),
  // lambda > 0 (coupling weight; the shrinkage threshold is mu / lambda).
  // `out` receives the log and images; nullptr writes nothing. `depth_params` are used for
  // the joint-mode depth re-estimation.
  rawSuperResolution(int outer_iterations, int inner_iterations, double mu, double lambda,
                     const Geometry& g = Geometry(), const Output* out = nullptr,
                     const DepthParams& depth_params = DepthParams());
  ~rawSuperResolution();

  // Refines `estimate` (CV_32FC3, full grid, 0..255 scale) in place against the 81 views
  // (CV_8UC3) and masks (CV_8UC1: 0, 1, 2 = channel, 3 = no sample), using `depth` (CV_32F,
  // full grid), which joint mode replaces after every outer iteration. use_yuv regularises
  // the colour-transformed estimate. Throws RunError on inputs that do not fit the geometry.
  void raw_super_resolution(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                            cv::Mat& depth, bool joint, bool use_yuv);
  void raw_increase_resolutionL1(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                                 cv::Mat& depth, bool joint, bool use_yuv);

  // The data term's operations one at a time, each projecting afresh (the iteration shares
  // one projection plan and one set of residuals between them instead):
  // Adds, per view pixel and channel, the absolute residual (recorded sample minus the
  // projected estimate) of every view to `error` (CV_32FC3, view grid, caller zeroes it).
  void calculate_rawerror(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                          const cv::Mat& depth, cv::Mat& error);
  // Adds the back-projection of the residuals of all views to `gradient` (CV_32FC3, full
  // grid, caller zeroes it) and writes the five diagnostic images.
  void calculate_rawgradient_all(cv::Mat& estimate, cv::Mat& gradient, const cv::Mat* views,
                                 const cv::Mat* masks, const cv::Mat& depth);
  // Adds the data term's Hessian applied to `direction` (CV_32FC3, full grid) to `result`.
  void second_order_differential(const cv::Mat* masks, const cv::Mat& depth, cv::Mat& direction,
                                 cv::Mat& result);

  // dst = M src per pixel (transpose false) or M^t src (true), M the fixed colour matrix.
  // dst must not be src; it is replaced by a full-grid CV_32FC3 image.
  void rgb2yuv(cv::Mat& src, cv::Mat& dst, bool transpose);
  // Forward difference along columns (vertical false) or rows (true), zero extension. dst
  // must not be src; it is replaced by a full-grid CV_32FC3 image.
  void product_matrixD(cv::Mat& src, cv::Mat& dst, bool vertical);
  // Exact transpose of product_matrixD.
  void product_matrixDt(cv::Mat& src, cv::Mat& dst, bool vertical);
  // Five-point Laplacian, zero extension.
  void product_matrixL(cv::Mat& src, cv::Mat& dst);
  // dst = sign(src) * max(|src| - mu / lambda, 0) per sample.
  void shrinkage(cv::Mat& src, cv::Mat& dst);

  int outer_iterations;
  int inner_iterations;
  double mu;
  double lambda;

 private:
  // Throws RunError unless the images have the sizes and types of geom_.
  void check_inputs(const cv::Mat* estimate, const cv::Mat* views, const cv::Mat* masks,
                    const cv::Mat& depth) const;
  void check_full(const cv::Mat& m, const char* what) const;
  // product_matrixD (transposed false) or product_matrixDt (true).
  void differences(cv::Mat& src, cv::Mat& dst, bool vertical, bool transposed);
  // Step length and energies of one inner step from its data error, coupling norms and
  // curvature sums.
  StepLength step_length(double E, const CouplingNorms& c, const CurvatureSums& q) const;
  // Joint mode: the disparity map estimated again from the estimate.
  void re_estimate_depth(const cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                         cv::Mat& depth) const;

  Geometry geom_;
  const Output* out_;
  DepthParams depth_params_;
};
