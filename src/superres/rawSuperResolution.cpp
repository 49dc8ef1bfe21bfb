// Split Bregman iteration of the super-resolution: the driver, whose lines are the steps of
// the algorithm, the object's operators one at a time, and its checks of the inputs.
#include "rawSuperResolution.h"

#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "errors.h"
#include "execution.h"
#include "imageio.h"
#include "projection.h"
#include "rawDepthEstimation.h"
#include "regulariser_formulas.h"
#include "timings.h"

namespace {

// Differences along each row of `src` (any size, CV_32FC3), the row length as the bound.
void row_differences(const cv::Mat& src, cv::Mat& dst, bool transposed) {
  dst = cv::Mat::zeros(src.rows, src.cols, CV_32FC3);
  const int cols = src.cols;
  for (int y = 0; y < src.rows; ++y) {
    const float* in = src.ptr<float>(y);
    float* out = dst.ptr<float>(y);
    for (int x = 0; x < cols; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int i = 3 * x + c;
        out[i] = transposed ? backward_difference(x > 0 ? &in[i - 3] : nullptr, in[i])
                            : forward_difference(in[i], x + 1 < cols ? &in[i + 3] : nullptr);
      }
    }
  }
}

std::string size_text(int rows, int cols) {
  return std::to_string(rows) + " x " + std::to_string(cols);
}

void check_image(const cv::Mat& m, int rows, int cols, int type, const std::string& what) {
  if (m.rows == rows && m.cols == cols && m.type() == type && m.isContinuous() && m.dims == 2)
    return;
  throw RunError(exit_internal, "super-resolution: " + what + ": expected a continuous " +
                                    describe_type(type) + " image of " + size_text(rows, cols) +
                                    ", found " + describe_type(m.type()) + " " +
                                    size_text(m.rows, m.cols));
}


// ---- Steps of the iteration ----------------------------------------------------------------

// What one call of the iteration works with: the implementations chosen for it, the plan of
// the current disparity map, and the images of the current step.
struct Iteration {
  Iteration(std::unique_ptr<Projector> p, std::unique_ptr<IterationKernels> k)
      : data_term(std::move(p)), kernels(std::move(k)) {}
  std::unique_ptr<Projector> data_term;
  std::unique_ptr<IterationKernels> kernels;
  ProjectionPlan plan;
  bool plan_current = false;  // built for the disparity map as it is now
  Residuals residuals;        // of the estimate at the start of the step
  DiagnosticImages shown;
  cv::Mat g, H;               // search direction; the data term's Hessian applied to it
  SplitState split;
};

// The projection plan of the disparity map, built once per map.
void plan_for_map(Iteration& s, const cv::Mat* masks, const cv::Mat& depth) {
  if (s.plan_current) return;
  s.data_term->build_plan(masks, depth, s.plan);
  s.plan_current = true;
}

// E = |error image|_2: projects the estimate once; its residuals stay for the gradient.
double data_error(Iteration& s, const cv::Mat& u, const cv::Mat* views) {
  ScopedTiming timing("raw error");
  s.data_term->project(s.plan, u, views, s.residuals);
  return cv::norm(s.residuals.error, cv::NORM_L2);
}

// g = the back-projection of those residuals; their diagnostic images go to the report.
void data_gradient(Iteration& s, IterationReport& report) {
  {
    ScopedTiming timing("gradient (data term)");
    s.data_term->back_project(s.plan, s.residuals, s.g);
    if (report.wants_diagnostics()) s.data_term->diagnostics(s.plan, s.residuals, s.shown);
  }
  report.diagnostics(s.shown);
}

// g = -(g + lf T^t D^t (d - D T u + b)), both directions: the search direction.
CouplingNorms search_direction(Iteration& s, const cv::Mat& u, double lf) {
  ScopedTiming timing("gradient (regulariser)");
  const CouplingNorms coupling = s.kernels->add_coupling(u, s.split, lf, s.g);
  s.kernels->negate(s.g);
  return coupling;
}

// The curvature sums along g, with H the data term's Hessian applied to g.
CurvatureSums curvature_along_direction(Iteration& s) {
  ScopedTiming timing("second-order term and step");
  s.data_term->second_order(s.plan, s.g, s.H);
  return s.kernels->curvature(s.g, s.H);
}

}  // namespace

// ---- Object -------------------------------------------------------------------------------

rawSuperResolution::rawSuperResolution(int outer, int inner, double mu_, double lambda_,
                                       const Geometry& g, const Output* out,
                                       const DepthParams& depth_params)
    : outer_iterations(outer), inner_iterations(inner), mu(mu_), lambda(lambda_), geom_(g),
      out_(out), depth_params_(depth_params) {}

rawSuperResolution::~rawSuperResolution() = default;

void rawSuperResolution::check_full(const cv::Mat& m, const char* what) const {
  check_image(m, geom_.high_y, geom_.high_x, CV_32FC3, what);
}

void rawSuperResolution::check_inputs(const cv::Mat* estimate, const cv::Mat* views,
                                      const cv::Mat* masks, const cv::Mat& depth) const {
  if (estimate) check_full(*estimate, "estimate");
  if (masks == nullptr) throw RunError(exit_internal, "super-resolution: no masks");
  for (int i = 0; i < view_count; ++i) {
    if (views)
      check_image(views[i], geom_.low_y, geom_.low_x, CV_8UC3, "view " + std::to_string(i));
    check_image(masks[i], geom_.low_y, geom_.low_x, CV_8UC1, "mask " + std::to_string(i));
  }
  check_image(depth, geom_.high_y, geom_.high_x, CV_32FC1, "disparity map");
}

void rawSuperResolution::raw_super_resolution(cv::Mat& estimate, const cv::Mat* views,
                                              const cv::Mat* masks, cv::Mat& depth, bool joint,
                                              bool use_yuv) {
  raw_increase_resolutionL1(estimate, views, masks, depth, joint, use_yuv);
}

// ---- The iteration ------------------------------------------------------------------------

void rawSuperResolution::raw_increase_resolutionL1(cv::Mat& u, const cv::Mat* views,
                                                   const cv::Mat* masks, cv::Mat& depth,
                                                   bool joint, bool use_yuv) {
  if (views == nullptr) throw RunError(exit_internal, "super-resolution: no views");
  check_inputs(&u, views, masks, depth);
  if (outer_iterations <= 0) return;
  const bool reference = execution().reference;
  Iteration s(make_projector(geom_, reference), make_iteration_kernels(*this, use_yuv, reference));
  IterationReport report(out_, geom_, depth_params_, mu, joint, outer_iterations,
                         inner_iterations);
  const double lf = static_cast<float>(lambda);  // the coupling weight as images take it

  s.kernels->initial_split(u, s.split);
  report.begin();
  for (int it = 0; it < outer_iterations; ++it) {
    report.outer_begins(it);
    for (int k = 0; k < inner_iterations; ++k) {
      plan_for_map(s, masks, depth);
      report.step_begins(it, k);
      const double E = data_error(s, u, views);
      report.data_error(E);
      data_gradient(s, report);
      const CouplingNorms coupling = search_direction(s, u, lf);
      const CurvatureSums curvature = curvature_along_direction(s);
      const StepLength step = step_length(E, coupling, curvature);
      report.step_ends(it, k, step);
      if (step.stop) break;
      s.kernels->descend(u, s.g, static_cast<float>(step.alpha));
    }
    report.result(it, u);
    if (joint) {
      re_estimate_depth(u, views, masks, depth);
      s.plan_current = false;
      report.depth_estimated(it, depth);
    }
    ScopedTiming timing("split update");
    s.kernels->update_split(u, s.split);
  }
  report.end();
}

StepLength rawSuperResolution::step_length(double E, const CouplingNorms& c,
                                           const CurvatureSums& q) const {
  StepLength s;
  s.E = E;
  // A direction without curvature has no step length: the step ends without an update.
  const double curvature = q.q0 + lambda * q.qx + lambda * q.qy;
  s.flat = curvature == 0.0;
  s.alpha = s.flat ? 0.0 : q.G2 * q.G2 / curvature;
  s.L_SR = (E * E + lambda * (c.Nx * c.Nx) + lambda * (c.Ny * c.Ny)) / 2;
  s.regular = mu * c.Lx + mu * c.Ly;
  s.E_SR = E * E / 2 + mu * c.Lx + mu * c.Ly;
  // The stop measure is the mean update per pixel, not per sample.
  s.stop = s.flat || s.alpha * q.G1 / geom_.full_pixels() < 0.01;
  return s;
}

void rawSuperResolution::re_estimate_depth(const cv::Mat& u, const cv::Mat* views,
                                           const cv::Mat* masks, cv::Mat& depth) const {
  auto de = std::make_unique<rawDepthEstimation>(depth_params_.min_disparity,
                                                 depth_params_.max_disparity,
                                                 depth_params_.window_size, geom_, out_);
  de->estimate_rawdepth(u, views, masks, depth);
  de.reset();
  check_image(depth, geom_.high_y, geom_.high_x, CV_32FC1, "re-estimated disparity map");
}

// ---- The data term's operations one at a time ---------------------------------------------

void rawSuperResolution::calculate_rawerror(cv::Mat& estimate, const cv::Mat* views,
                                            const cv::Mat* masks, const cv::Mat& depth,
                                            cv::Mat& error) {
  if (views == nullptr) throw RunError(exit_internal, "super-resolution: no views");
  check_inputs(&estimate, views, masks, depth);
  check_image(error, geom_.low_y, geom_.low_x, CV_32FC3, "error accumulator");
  const auto data_term = make_projector(geom_, execution().reference);
  ProjectionPlan plan;
  data_term->build_plan(masks, depth, plan);
  Residuals r;
  data_term->project(plan, estimate, views, r);
  error += r.error;
}

void rawSuperResolution::calculate_rawgradient_all(cv::Mat& estimate, cv::Mat& gradient,
                                                   const cv::Mat* views, const cv::Mat* masks,
                                                   const cv::Mat& depth) {
  if (views == nullptr) throw RunError(exit_internal, "super-resolution: no views");
  check_inputs(&estimate, views, masks, depth);
  check_full(gradient, "gradient image");
  const auto data_term = make_projector(geom_, execution().reference);
  ProjectionPlan plan;
  data_term->build_plan(masks, depth, plan);
  Residuals r;
  data_term->project(plan, estimate, views, r);
  cv::Mat back;
  data_term->back_project(plan, r, back);
  gradient += back;
  if (out_ == nullptr) return;
  DiagnosticImages shown;
  data_term->diagnostics(plan, r, shown);
  IterationReport(out_, geom_, depth_params_, mu, false, outer_iterations, inner_iterations)
      .diagnostics(shown);
}

void rawSuperResolution::second_order_differential(const cv::Mat* masks, const cv::Mat& depth,
                                                   cv::Mat& direction, cv::Mat& result) {
  check_inputs(&direction, nullptr, masks, depth);
  check_full(result, "second-order result");
  const auto data_term = make_projector(geom_, execution().reference);
  ProjectionPlan plan;
  data_term->build_plan(masks, depth, plan);
  cv::Mat H;
  data_term->second_order(plan, direction, H);
  result += H;
}

// ---- Regulariser operators ----------------------------------------------------------------

void rawSuperResolution::rgb2yuv(cv::Mat& src, cv::Mat& dst, bool transpose) {
  check_full(src, "colour transform input");
  const cv::Mat M = colour_matrix();
  dst = cv::Mat::zeros(geom_.high_y, geom_.high_x, CV_32FC3);
  const float* s = src.ptr<float>();
  float* d = dst.ptr<float>();
  const size_t n = static_cast<size_t>(geom_.full_pixels());
  for (size_t p = 0; p < n; ++p, s += 3, d += 3) {
    for (int c = 0; c < 3; ++c) {
      d[c] = transpose ? weighted3(s, M.at<float>(0, c), M.at<float>(1, c), M.at<float>(2, c))
                       : weighted3(s, M.at<float>(c, 0), M.at<float>(c, 1), M.at<float>(c, 2));
    }
  }
}

// Differences along rows, or along columns through a transpose; row_differences makes dst.
void rawSuperResolution::differences(cv::Mat& src, cv::Mat& dst, bool vertical, bool transposed) {
  check_full(src, "difference input");
  if (!vertical) {
    row_differences(src, dst, transposed);
    return;
  }
  cv::Mat t = src.t(), r;
  row_differences(t, r, transposed);
  dst = r.t();
}

void rawSuperResolution::product_matrixD(cv::Mat& src, cv::Mat& dst, bool vertical) {
  differences(src, dst, vertical, false);
}

void rawSuperResolution::product_matrixDt(cv::Mat& src, cv::Mat& dst, bool vertical) {
  differences(src, dst, vertical, true);
}

void rawSuperResolution::product_matrixL(cv::Mat& src, cv::Mat& dst) {
  check_full(src, "Laplacian input");
  cv::Mat_<float> w(3, 3);
  w << 0.0f, -1.0f, 0.0f, -1.0f, 4.0f, -1.0f, 0.0f, -1.0f, 0.0f;
  const int rows = geom_.high_y, cols = geom_.high_x;
  dst = cv::Mat::zeros(rows, cols, CV_32FC3);
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      cv::Vec3f& o = dst.at<cv::Vec3f>(y, x);
      for (int a = -1; a <= 1; ++a) {
        for (int b = -1; b <= 1; ++b) {
          if (y + a < 0 || y + a >= rows || x + b < 0 || x + b >= cols) continue;
          const cv::Vec3f& in = src.at<cv::Vec3f>(y + a, x + b);
          for (int c = 0; c < 3; ++c) o[c] += w(a + 1, b + 1) * in[c];
        }
      }
    }
  }
}

void rawSuperResolution::shrinkage(cv::Mat& src, cv::Mat& dst) {
  check_full(src, "shrinkage input");
  const double t = mu / lambda;
  dst = cv::Mat::zeros(geom_.high_y, geom_.high_x, CV_32FC3);
  const float* s = src.ptr<float>();
  float* d = dst.ptr<float>();
  const size_t n = static_cast<size_t>(geom_.full_pixels()) * 3;
  for (size_t i = 0; i < n; ++i) d[i] = soft_threshold(s[i], t);
}
