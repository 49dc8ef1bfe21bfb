// The iteration's work apart from the data term: the regulariser's coupling, curvature and
// split update, the negation and the clamped update of the estimate. One interface, a plain
// reference and a fast implementation chosen once per call; both give the same bytes.
#pragma once

#include <memory>
#include <opencv2/core.hpp>

class rawSuperResolution;

// Split variables dx, dy and Bregman variables bx, by (CV_32FC3, full grid).
struct SplitState {
  cv::Mat dx, dy, bx, by;
};

// Of one step, per direction: L = |D T u|_1 and N = |d - D T u + b|_2.
struct CouplingNorms {
  double Lx = 0, Nx = 0, Ly = 0, Ny = 0;
};

// Along the search direction g: q0 = P(g, H g), qx = P(g, T^t Dx^t Dx T g), qy likewise,
// P the absolute product sum; and the norms |g|_2, |g|_1.
struct CurvatureSums {
  double q0 = 0, qx = 0, qy = 0, G2 = 0, G1 = 0;
};

class IterationKernels {
 public:
  virtual ~IterationKernels() = default;
  // dx = Dx T u, dy = Dy T u, bx = by = 0.
  virtual void initial_split(const cv::Mat& u, SplitState& s) = 0;
  // g += lf T^t Dx^t (dx - Dx T u + bx), then the same vertically.
  virtual CouplingNorms add_coupling(const cv::Mat& u, const SplitState& s, double lf,
                                     cv::Mat& g) = 0;
  // g = -g.
  virtual void negate(cv::Mat& g) = 0;
  // H: the data term's Hessian applied to g.
  virtual CurvatureSums curvature(const cv::Mat& g, const cv::Mat& H) = 0;
  // u = clamp(u - alpha g, 0, 255) per sample.
  virtual void descend(cv::Mat& u, const cv::Mat& g, float alpha) = 0;
  // dx = shrink(Dx T u - bx), bx += dx - Dx T u; then the same vertically.
  virtual void update_split(const cv::Mat& u, SplitState& s) = 0;
};

// T is the colour matrix when use_yuv, else the identity; the shrinkage threshold is
// sr.mu / sr.lambda. The reference kernels call sr's own operators.
std::unique_ptr<IterationKernels> make_iteration_kernels(rawSuperResolution& sr, bool use_yuv,
                                                         bool reference);
// The reference implementation alone.
std::unique_ptr<IterationKernels> make_reference_kernels(rawSuperResolution& sr, bool use_yuv);

// Absolute product sum: sum over samples in raster order of |a * b| (float product),
// accumulated in double. a and b are CV_32FC3 of the same size.
double abs_product_sum(const cv::Mat& a, const cv::Mat& b);
