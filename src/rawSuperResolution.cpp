// Split Bregman iteration of the super-resolution, its regulariser operators (colour matrix,
// forward differences, shrinkage) and the iteration's console lines, log and result files.
#include "rawSuperResolution.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "errors.h"
#include "execution.h"
#include "imageio.h"
#include "progress.h"
#include "rawDepthEstimation.h"
#include "rawSuperResolution_model.h"
#include "textformat.h"
#include "timings.h"

// ---- Per-sample formulas ------------------------------------------------------------------

namespace {

// Colour matrix, rows = destination channels, columns = source channels (storage order).
cv::Mat colour_matrix() {
  cv::Mat_<float> m(3, 3);
  m << 0.299f, 0.587f, 0.114f, -0.169f, -0.331f, 0.5f, 0.5f, -0.419f, 0.081f;
  return m;
}

// One destination channel: the source channels weighted left to right.
inline float weighted3(const float* s, float m0, float m1, float m2) {
  return (s[0] * m0 + s[1] * m1) + s[2] * m2;
}

// Forward difference of a sample and its successor (absent past the end), accumulated from
// 0 in increasing offset order so that a zero input gives +0.
inline float forward_difference(float self, const float* next) {
  float o = 0.0f;
  o += -1.0f * self;
  if (next) o += 1.0f * *next;
  return o;
}
// Its transpose: predecessor (absent before the start) minus the sample.
inline float backward_difference(const float* prev, float self) {
  float o = 0.0f;
  if (prev) o += 1.0f * *prev;
  o += -1.0f * self;
  return o;
}

// Soft threshold: sign(x) * max(|x| - t, 0), the maximum taken in double.
inline float soft_threshold(float x, double t) {
  const float s = x > 0 ? 1.0f : (x < 0 ? -1.0f : 0.0f);
  const double m = std::max(static_cast<double>(std::fabs(x)) - t, 0.0);
  return static_cast<float>(m) * s;
}

// Estimate update of one sample, clamped to the 8-bit range.
inline float descend(float u, float g, float alpha) {
  float v = u - alpha * g;
  if (v < 0.0f)
    v = 0.0f;
  else if (v > 255.0f)
    v = 255.0f;
  return v;
}

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

// Fast regulariser operators: the per-sample formulas above over bands of rows in parallel,
// into images that are reused from one step to the next (a fresh full-grid image costs more
// to fault in than to compute). Each output sample is one formula of its inputs, so the
// result is that of the plain operators, independent of the thread count.

// Replaces dst by a full-size CV_32FC3 image unless it already is one nobody else holds.
void full_buffer(cv::Mat& dst, int rows, int cols) {
  if (dst.rows == rows && dst.cols == cols && dst.type() == CV_32FC3 && dst.u != nullptr &&
      dst.u->refcount == 1 && dst.isContinuous())
    return;
  dst = cv::Mat(rows, cols, CV_32FC3);
}

// Colour matrix as 9 floats, row-major (destination channel, source channel).
struct Colour {
  float m[9];
};
Colour colour_floats() {
  const cv::Mat M = colour_matrix();
  Colour c;
  for (int i = 0; i < 9; ++i) c.m[i] = M.at<float>(i / 3, i % 3);
  return c;
}

// One row of `cols` pixels: d = M s (transpose false) or M^t s.
inline void colour_row(const float* s, float* d, int cols, const Colour& M, bool transpose) {
  const float* m = M.m;
  for (int x = 0; x < cols; ++x, s += 3, d += 3) {
    for (int c = 0; c < 3; ++c)
      d[c] = transpose ? weighted3(s, m[c], m[3 + c], m[6 + c])
                       : weighted3(s, m[3 * c], m[3 * c + 1], m[3 * c + 2]);
  }
}

// One row of D (transposed: D^t) from the row `in` and, for vertical differences, the row
// below it (transposed: above it), nullptr at the border.
inline void difference_of_row(const float* in, const float* other, float* out, int n,
                              bool vertical, bool transposed) {
  if (!vertical) {
    for (int i = 0; i < n; ++i)
      out[i] = transposed ? backward_difference(i >= 3 ? &in[i - 3] : nullptr, in[i])
                          : forward_difference(in[i], i + 3 < n ? &in[i + 3] : nullptr);
    return;
  }
  if (transposed) {
    for (int i = 0; i < n; ++i) out[i] = backward_difference(other ? &other[i] : nullptr, in[i]);
  } else {
    for (int i = 0; i < n; ++i) out[i] = forward_difference(in[i], other ? &other[i] : nullptr);
  }
}

// Row y of the forward differences (transposed false) or their transpose, along the row
// (vertical false) or down the columns.
inline void difference_row(const cv::Mat& src, int y, float* out, bool vertical,
                           bool transposed) {
  const float* other = nullptr;
  if (vertical && transposed && y > 0) other = src.ptr<float>(y - 1);
  if (vertical && !transposed && y + 1 < src.rows) other = src.ptr<float>(y + 1);
  difference_of_row(src.ptr<float>(y), other, out, 3 * src.cols, vertical, transposed);
}

void colour_fast(const cv::Mat& src, cv::Mat& dst, bool transpose) {
  full_buffer(dst, src.rows, src.cols);
  const Colour M = colour_floats();
  parallel_bands(src.rows, [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y)
      colour_row(src.ptr<float>(y), dst.ptr<float>(y), src.cols, M, transpose);
  });
}

void difference_fast(const cv::Mat& src, cv::Mat& dst, bool vertical, bool transposed) {
  full_buffer(dst, src.rows, src.cols);
  parallel_bands(src.rows, [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y) difference_row(src, y, dst.ptr<float>(y), vertical, transposed);
  });
}

// dst = M^t (D^t src) (colour false: D^t src), row by row without the intermediate image.
void back_difference_fast(const cv::Mat& src, cv::Mat& dst, bool vertical, bool colour) {
  if (!colour) return difference_fast(src, dst, vertical, true);
  full_buffer(dst, src.rows, src.cols);
  const Colour M = colour_floats();
  parallel_bands(src.rows, [&](int y0, int y1) {
    std::vector<float> row(3 * static_cast<size_t>(src.cols));
    for (int y = y0; y < y1; ++y) {
      difference_row(src, y, row.data(), vertical, true);
      colour_row(row.data(), dst.ptr<float>(y), src.cols, M, true);
    }
  });
}

// dst = M^t D^t D src (colour false: D^t D src), row by row: the rows of D src a band
// needs (its own and the one above it) are made in two row buffers, not as an image.
void curvature_fast(const cv::Mat& src, cv::Mat& dst, bool vertical, bool colour) {
  full_buffer(dst, src.rows, src.cols);
  const Colour M = colour_floats();
  const int n = 3 * src.cols;
  parallel_bands(src.rows, [&](int y0, int y1) {
    std::vector<float> above(n), here(n), row(n);
    if (vertical && y0 > 0) difference_row(src, y0 - 1, above.data(), true, false);
    for (int y = y0; y < y1; ++y) {
      difference_row(src, y, here.data(), vertical, false);
      float* out = colour ? row.data() : dst.ptr<float>(y);
      difference_of_row(here.data(), y > 0 ? above.data() : nullptr, out, n, vertical, true);
      if (colour) colour_row(row.data(), dst.ptr<float>(y), src.cols, M, true);
      std::swap(above, here);
    }
  });
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

}  // namespace

double abs_product_sum(const cv::Mat& a, const cv::Mat& b) {
  const float* pa = a.ptr<float>();
  const float* pb = b.ptr<float>();
  const size_t n = a.total() * a.channels();
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += std::fabs(pa[i] * pb[i]);
  return sum;
}

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

std::string rawSuperResolution::result_dir(bool joint) const {
  return strformat("bigSR/view%03d/L1/%.1lf/", view_count, mu) + (joint ? "joint/" : "");
}

void rawSuperResolution::raw_super_resolution(cv::Mat& estimate, const cv::Mat* views,
                                              const cv::Mat* masks, cv::Mat& depth, bool joint,
                                              bool use_yuv) {
  raw_increase_resolutionL1(estimate, views, masks, depth, joint, use_yuv);
}

void rawSuperResolution::raw_increase_resolutionL1(cv::Mat& u, const cv::Mat* views,
                                                   const cv::Mat* masks, cv::Mat& depth,
                                                   bool joint, bool use_yuv) {
  if (views == nullptr) throw RunError(exit_internal, "super-resolution: no views");
  check_inputs(&u, views, masks, depth);
  if (outer_iterations <= 0) return;
  const Geometry& g = geom_;
  const double N = g.full_pixels();
  const double lf = static_cast<float>(lambda);

  // T, T^t, D and D^t as functions returning fresh images.
  auto T = [&](cv::Mat& x) {
    if (!use_yuv) return x;
    cv::Mat y;
    rgb2yuv(x, y, false);
    return y;
  };
  auto Tt = [&](cv::Mat x) {
    if (!use_yuv) return x;
    cv::Mat y;
    rgb2yuv(x, y, true);
    return y;
  };
  auto D = [&](cv::Mat x, bool vertical) {
    cv::Mat y;
    product_matrixD(x, y, vertical);
    return y;
  };
  auto Dt = [&](cv::Mat x, bool vertical) {
    cv::Mat y;
    product_matrixDt(x, y, vertical);
    return y;
  };
  // The same operators into reused images: `buf` receives the result unless T is the
  // identity, which returns x itself. The plain path keeps the functions above.
  const bool plain = execution().reference;
  auto T_into = [&](cv::Mat& x, cv::Mat& buf) -> cv::Mat {
    if (plain) return T(x);
    if (!use_yuv) return x;
    colour_fast(x, buf, false);
    return buf;
  };
  auto D_into = [&](const cv::Mat& x, cv::Mat& buf, bool vertical) -> cv::Mat {
    if (plain) return D(x, vertical);
    difference_fast(x, buf, vertical, false);
    return buf;
  };
  // T^t D^t x.
  auto TtDt_into = [&](const cv::Mat& x, cv::Mat& buf, bool vertical) -> cv::Mat {
    if (plain) return Tt(Dt(x, vertical));
    back_difference_fast(x, buf, vertical, use_yuv);
    return buf;
  };
  // Reused images of the fast path; the projections overwrite theirs instead of adding.
  const Into into = plain ? Into::add : Into::overwrite;
  cv::Mat tu_buf, p_buf, r_buf, back_buf, tg_buf, grad_buf, h_buf, error_buf;

  cv::Mat dx, dy;
  {
    cv::Mat Tu = T(u);
    dx = D(Tu, false);
    dy = D(Tu, true);
  }
  cv::Mat bx = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);
  cv::Mat by = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);

  const std::string dir = result_dir(joint);
  progress().begin("super-resolution", outer_iterations * std::max(inner_iterations, 0));
  for (int it = 0; it < outer_iterations; ++it) {
    std::cout << "iteration : " << it << std::endl;
    for (int k = 0; k < inner_iterations; ++k) {
      progress().detail(strformat("outer %d/%d, inner %d/%d", it + 1, outer_iterations, k + 1,
                                  inner_iterations));
      std::cout << k << std::endl;

      double E;
      {
        ScopedTiming timing("raw error");
        cv::Mat error;
        if (plain) {
          error = cv::Mat::zeros(g.low_y, g.low_x, CV_32FC3);
        } else {
          error_buf.create(g.low_y, g.low_x, CV_32FC3);
          error = error_buf;
        }
        calculate_rawerror(u, views, masks, depth, error, into);
        E = cv::norm(error, cv::NORM_L2);
      }
      std::cout << "norm error = " << E << std::endl;

      cv::Mat grad;
      if (plain) {
        grad = cv::Mat(g.high_y, g.high_x, CV_32FC3, cv::Scalar(0, 0, 0, 0));
      } else {
        full_buffer(grad_buf, g.high_y, g.high_x);
        grad = grad_buf;
      }
      {
        ScopedTiming timing("gradient (data term)");
        calculate_rawgradient_all(u, grad, views, masks, depth, into);
      }
      ScopedTiming regulariser_timing("gradient (regulariser)");

      // Residual of the coupling: d - D T u + b.
      auto coupling = [&](const cv::Mat& Px, const cv::Mat& d, const cv::Mat& b) -> cv::Mat {
        if (plain) return d - Px + b;
        full_buffer(r_buf, g.high_y, g.high_x);
        library_bands(g.high_y, [&](int y0, int y1) {
          const cv::Range rows(y0, y1);
          cv::Mat r = r_buf.rowRange(rows);
          cv::subtract(d.rowRange(rows), Px.rowRange(rows), r);
          cv::add(r, b.rowRange(rows), r);
        });
        return r_buf;
      };
      // grad + lf X, the library's expression.
      auto add_coupling = [&](const cv::Mat& X) {
        if (plain) {
          grad = grad + lf * X;
          return;
        }
        library_bands(g.high_y, [&](int y0, int y1) {
          const cv::Range rows(y0, y1);
          cv::Mat gr = grad.rowRange(rows);
          gr = gr + lf * X.rowRange(rows);
        });
      };
      cv::Mat Tu = T_into(u, tu_buf);
      // Each block lets go of its images, so the next one can reuse their buffers.
      double Lx, Nx, Ly, Ny;
      const auto block = [&](bool vertical, const cv::Mat& d, const cv::Mat& b, double& L,
                             double& Nr) {
        const cv::Mat P = D_into(Tu, p_buf, vertical);
        const cv::Mat R = coupling(P, d, b);
        if (plain) {
          L = cv::norm(P, cv::NORM_L1);
          Nr = cv::norm(R, cv::NORM_L2);
        } else {
          // Two sums of a fixed order each, side by side.
          parallel_items(2, [&](int i) {
            if (i == 0) L = cv::norm(P, cv::NORM_L1);
            if (i == 1) Nr = cv::norm(R, cv::NORM_L2);
          });
        }
        add_coupling(TtDt_into(R, back_buf, vertical));
      };
      block(false, dx, bx, Lx, Nx);
      block(true, dy, by, Ly, Ny);
      Tu.release();

      if (plain) {
        grad = -1.0 * grad;
      } else {
        library_bands(g.high_y, [&](int y0, int y1) {
          const cv::Range rows(y0, y1);
          cv::Mat gr = grad.rowRange(rows);
          gr = -1.0 * gr;
        });
      }
      regulariser_timing.stop();

      ScopedTiming second_timing("second-order term and step");
      cv::Mat H;
      if (plain) {
        H = cv::Mat(g.high_y, g.high_x, CV_32FC3, cv::Scalar(0, 0, 0, 0));
      } else {
        full_buffer(h_buf, g.high_y, g.high_x);
        H = h_buf;
      }
      second_order_differential(masks, depth, grad, H, into);
      double q0, qx, qy, G2, G1;
      if (plain) {
        q0 = abs_product_sum(grad, H);
        H.release();
        cv::Mat Tg = T(grad);
        qx = abs_product_sum(grad, Tt(Dt(D(Tg, false), false)));
        qy = abs_product_sum(grad, Tt(Dt(D(Tg, true), true)));
        G2 = cv::norm(grad, cv::NORM_L2);
        G1 = cv::norm(grad, cv::NORM_L1);
      } else {
        // The five sums run in a fixed order each; they run side by side.
        cv::Mat Tg = T_into(grad, tg_buf);
        curvature_fast(Tg, back_buf, false, use_yuv);
        curvature_fast(Tg, r_buf, true, use_yuv);
        const cv::Mat X = back_buf, Y = r_buf;
        Tg.release();
        parallel_items(5, [&](int i) {
          if (i == 0) q0 = abs_product_sum(grad, H);
          if (i == 1) qx = abs_product_sum(grad, X);
          if (i == 2) qy = abs_product_sum(grad, Y);
          if (i == 3) G2 = cv::norm(grad, cv::NORM_L2);
          if (i == 4) G1 = cv::norm(grad, cv::NORM_L1);
        });
        H.release();
      }
      second_timing.stop();

      // A direction without curvature has no step length: the step ends without an update.
      const double curvature = q0 + lambda * qx + lambda * qy;
      const bool flat = curvature == 0.0;
      const double alpha = flat ? 0.0 : G2 * G2 / curvature;
      const double L_SR = (E * E + lambda * (Nx * Nx) + lambda * (Ny * Ny)) / 2;
      const double regular = mu * Lx + mu * Ly;
      const double E_SR = E * E / 2 + mu * Lx + mu * Ly;

      std::cout << "alpha = " << alpha << std::endl;
      std::cout << "L_SR = " << L_SR << std::endl;
      if (k == inner_iterations - 1) std::cout << "E_SR = " << E_SR << std::endl;

      if (out_ != nullptr) {
        std::ostringstream log;
        if (it == 0 && k == 0) log << "--------- norm error ------------\n";
        if (k == 0) log << "ite\t" << it << "\n";
        log << k << "\t" << E << "\t\t" << "E_SR" << "\t" << E_SR << "\t" << "Regular" << "\t\t"
            << regular << "\n";
        if (flat) log << "stop\tzero curvature\n";
        out_->append_text(dir + "normerror.txt", log.str());
      }
      RunSummary& summary = run_summary();
      summary = {true, it, k, E, E_SR, regular};
      progress().advance(it * inner_iterations + k + 1);

      if (flat || alpha * G1 / N < 0.01) break;

      const float af = static_cast<float>(alpha);
      // Each sample on its own: rows split over the threads.
      parallel_bands(u.rows, [&](int y0, int y1) {
        float* pu = u.ptr<float>(y0);
        const float* pg = grad.ptr<float>(y0);
        const size_t n = static_cast<size_t>(y1 - y0) * u.cols * 3;
        for (size_t i = 0; i < n; ++i) pu[i] = descend(pu[i], pg[i], af);
      });
    }

    if (out_ != nullptr) {
      ScopedTiming timing("write estimate");
      out_->write_image_behind(dir + strformat("sr%02d.ppm", it), u);
    }

    if (joint) {
      auto de = std::make_unique<rawDepthEstimation>(
          depth_params_.min_disparity, depth_params_.max_disparity, depth_params_.window_size, g,
          out_);
      de->estimate_rawdepth(u, views, masks, depth);
      de.reset();
      // The depth estimation reported as a stage of its own; resume this one.
      progress().begin("super-resolution", outer_iterations * std::max(inner_iterations, 0),
                       (it + 1) * inner_iterations);
      check_image(depth, g.high_y, g.high_x, CV_32FC1, "re-estimated disparity map");
      if (out_ != nullptr) {
        ScopedTiming timing("write depth");
        write_depth_files(*out_, dir + strformat("depth/depth%02d.pgm", it), depth,
                          depth_params_.min_disparity, depth_params_.max_disparity, g);
      }
    }

    ScopedTiming split_timing("split update");
    cv::Mat Tu = T_into(u, tu_buf);
    // d = shrink(D T u - b), then b = b + d - D T u; the fast path evaluates the same
    // library operations into reused buffers.
    const auto split = [&](bool vertical, cv::Mat& d, cv::Mat& b) {
      const cv::Mat P = D_into(Tu, p_buf, vertical);
      if (plain) {
        cv::Mat shifted = P - b;
        shrinkage(shifted, d);
        b = b + d - P;
        return;
      }
      full_buffer(r_buf, g.high_y, g.high_x);
      library_bands(g.high_y, [&](int y0, int y1) {
        cv::Mat r = r_buf.rowRange(y0, y1);
        cv::subtract(P.rowRange(y0, y1), b.rowRange(y0, y1), r);
      });
      shrinkage(r_buf, d);
      full_buffer(back_buf, g.high_y, g.high_x);
      library_bands(g.high_y, [&](int y0, int y1) {
        cv::Mat sum = back_buf.rowRange(y0, y1), bb = b.rowRange(y0, y1);
        cv::add(bb, d.rowRange(y0, y1), sum);
        cv::subtract(sum, P.rowRange(y0, y1), bb);
      });
    };
    split(false, dx, bx);
    split(true, dy, by);
  }
  progress().end();
}

// ---- Projection operations ----------------------------------------------------------------

void rawSuperResolution::calculate_rawerror(cv::Mat& estimate, const cv::Mat* views,
                                            const cv::Mat* masks, const cv::Mat& depth,
                                            cv::Mat& error, Into into) {
  if (views == nullptr) throw RunError(exit_internal, "super-resolution: no views");
  check_inputs(&estimate, views, masks, depth);
  check_image(error, geom_.low_y, geom_.low_x, CV_32FC3, "error accumulator");
  project_views(Projection::error, estimate, views, masks, depth, geom_, error, nullptr, &plan_,
                into);
}

void rawSuperResolution::calculate_rawgradient_all(cv::Mat& estimate, cv::Mat& gradient,
                                                   const cv::Mat* views, const cv::Mat* masks,
                                                   const cv::Mat& depth, Into into) {
  if (views == nullptr) throw RunError(exit_internal, "super-resolution: no views");
  check_inputs(&estimate, views, masks, depth);
  check_full(gradient, "gradient image");
  project_views(Projection::gradient, estimate, views, masks, depth, geom_, gradient, out_,
                &plan_, into);
}

void rawSuperResolution::second_order_differential(const cv::Mat* masks, const cv::Mat& depth,
                                                   cv::Mat& direction, cv::Mat& result,
                                                   Into into) {
  check_inputs(&direction, nullptr, masks, depth);
  check_full(result, "second-order result");
  project_views(Projection::hessian, direction, nullptr, masks, depth, geom_, result, nullptr,
                &plan_, into);
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

void rawSuperResolution::product_matrixD(cv::Mat& src, cv::Mat& dst, bool vertical) {
  check_full(src, "difference input");
  dst = cv::Mat::zeros(geom_.high_y, geom_.high_x, CV_32FC3);
  if (!vertical) {
    row_differences(src, dst, false);
    return;
  }
  cv::Mat t = src.t(), r;
  row_differences(t, r, false);
  dst = r.t();
}

void rawSuperResolution::product_matrixDt(cv::Mat& src, cv::Mat& dst, bool vertical) {
  check_full(src, "difference input");
  dst = cv::Mat::zeros(geom_.high_y, geom_.high_x, CV_32FC3);
  if (!vertical) {
    row_differences(src, dst, true);
    return;
  }
  cv::Mat t = src.t(), r;
  row_differences(t, r, true);
  dst = r.t();
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
  // Every sample is written, so the fast path reuses a buffer nobody else holds as it is.
  if (execution().reference)
    dst = cv::Mat::zeros(geom_.high_y, geom_.high_x, CV_32FC3);
  else
    full_buffer(dst, geom_.high_y, geom_.high_x);
  parallel_bands(geom_.high_y, [&](int y0, int y1) {
    const float* s = src.ptr<float>(y0);
    float* d = dst.ptr<float>(y0);
    const size_t n = static_cast<size_t>(y1 - y0) * geom_.high_x * 3;
    for (size_t i = 0; i < n; ++i) d[i] = soft_threshold(s[i], t);
  });
}
