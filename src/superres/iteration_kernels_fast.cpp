// Fast iteration kernels: the per-sample formulas over bands of rows in parallel, into
// images this object owns and reuses from one step to the next (a fresh full-grid image
// costs more to fault in than to compute). Each output sample is one formula of its inputs,
// and the library's element-wise operations run over bands it meets as in one call, so the
// results are the plain kernels', independent of the thread count.
#include <vector>

#include "execution.h"
#include "iteration_kernels.h"
#include "rawSuperResolution.h"
#include "regulariser_formulas.h"

namespace {

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

// A full-size CV_32FC3 image in dst (kept when it already is one).
void full_buffer(cv::Mat& dst, const cv::Mat& like) { dst.create(like.rows, like.cols, CV_32FC3); }

class FastKernels final : public IterationKernels {
 public:
  FastKernels(bool use_yuv, double threshold)
      : yuv_(use_yuv), threshold_(threshold), M_(colour_floats()) {}

  void initial_split(const cv::Mat& u, SplitState& s) override {
    const cv::Mat& Tu = colour(u);
    difference(Tu, s.dx, false, false);
    difference(Tu, s.dy, true, false);
    s.bx = cv::Mat::zeros(u.rows, u.cols, CV_32FC3);
    s.by = cv::Mat::zeros(u.rows, u.cols, CV_32FC3);
  }

  CouplingNorms add_coupling(const cv::Mat& u, const SplitState& s, double lf,
                             cv::Mat& g) override {
    CouplingNorms n;
    const cv::Mat& Tu = colour(u);
    couple(Tu, s.dx, s.bx, false, lf, g, n.Lx, n.Nx);
    couple(Tu, s.dy, s.by, true, lf, g, n.Ly, n.Ny);
    return n;
  }

  void negate(cv::Mat& g) override {
    library_bands(g.rows, [&](int y0, int y1) {
      cv::Mat gr = g.rowRange(y0, y1);
      gr = -1.0 * gr;
    });
  }

  CurvatureSums curvature(const cv::Mat& g, const cv::Mat& H) override {
    const cv::Mat& Tg = colour(g);
    curvature_term(Tg, x_, false);
    curvature_term(Tg, y_, true);
    // The five sums run in a fixed order each; they run side by side.
    CurvatureSums q;
    parallel_items(5, [&](int i) {
      if (i == 0) q.q0 = abs_product_sum(g, H);
      if (i == 1) q.qx = abs_product_sum(g, x_);
      if (i == 2) q.qy = abs_product_sum(g, y_);
      if (i == 3) q.G2 = cv::norm(g, cv::NORM_L2);
      if (i == 4) q.G1 = cv::norm(g, cv::NORM_L1);
    });
    return q;
  }

  void descend(cv::Mat& u, const cv::Mat& g, float alpha) override {
    parallel_bands(u.rows, [&](int y0, int y1) {
      float* pu = u.ptr<float>(y0);
      const float* pg = g.ptr<float>(y0);
      const size_t n = static_cast<size_t>(y1 - y0) * u.cols * 3;
      for (size_t i = 0; i < n; ++i) pu[i] = ::descend(pu[i], pg[i], alpha);
    });
  }

  void update_split(const cv::Mat& u, SplitState& s) override {
    const cv::Mat& Tu = colour(u);
    split(Tu, s.dx, s.bx, false);
    split(Tu, s.dy, s.by, true);
  }

 private:
  // T x into tu_ (x itself without the colour transform).
  const cv::Mat& colour(const cv::Mat& x) {
    if (!yuv_) return x;
    full_buffer(tu_, x);
    parallel_bands(x.rows, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) colour_row(x.ptr<float>(y), tu_.ptr<float>(y), x.cols, M_, false);
    });
    return tu_;
  }

  // dst = D src (transposed: D^t src).
  void difference(const cv::Mat& src, cv::Mat& dst, bool vertical, bool transposed) {
    full_buffer(dst, src);
    parallel_bands(src.rows, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) difference_row(src, y, dst.ptr<float>(y), vertical, transposed);
    });
  }

  // dst = T^t (D^t src), row by row without the intermediate image.
  void back_difference(const cv::Mat& src, cv::Mat& dst, bool vertical) {
    if (!yuv_) return difference(src, dst, vertical, true);
    full_buffer(dst, src);
    parallel_bands(src.rows, [&](int y0, int y1) {
      std::vector<float> row(3 * static_cast<size_t>(src.cols));
      for (int y = y0; y < y1; ++y) {
        difference_row(src, y, row.data(), vertical, true);
        colour_row(row.data(), dst.ptr<float>(y), src.cols, M_, true);
      }
    });
  }

  // dst = T^t D^t D src, row by row: the rows of D src a band needs (its own and the one
  // above it) are made in two row buffers, not as an image.
  void curvature_term(const cv::Mat& src, cv::Mat& dst, bool vertical) {
    full_buffer(dst, src);
    const int n = 3 * src.cols;
    parallel_bands(src.rows, [&](int y0, int y1) {
      std::vector<float> above(n), here(n), row(n);
      if (vertical && y0 > 0) difference_row(src, y0 - 1, above.data(), true, false);
      for (int y = y0; y < y1; ++y) {
        difference_row(src, y, here.data(), vertical, false);
        float* out = yuv_ ? row.data() : dst.ptr<float>(y);
        difference_of_row(here.data(), y > 0 ? above.data() : nullptr, out, n, vertical, true);
        if (yuv_) colour_row(row.data(), dst.ptr<float>(y), src.cols, M_, true);
        std::swap(above, here);
      }
    });
  }

  // R = d - D T u + b; L = |D T u|_1, N = |R|_2; g = g + lf T^t D^t R.
  void couple(const cv::Mat& Tu, const cv::Mat& d, const cv::Mat& b, bool vertical, double lf,
              cv::Mat& g, double& L, double& N) {
    difference(Tu, p_, vertical, false);
    full_buffer(r_, Tu);
    library_bands(Tu.rows, [&](int y0, int y1) {
      const cv::Range rows(y0, y1);
      cv::Mat r = r_.rowRange(rows);
      cv::subtract(d.rowRange(rows), p_.rowRange(rows), r);
      cv::add(r, b.rowRange(rows), r);
    });
    // Two sums of a fixed order each, side by side.
    parallel_items(2, [&](int i) {
      if (i == 0) L = cv::norm(p_, cv::NORM_L1);
      if (i == 1) N = cv::norm(r_, cv::NORM_L2);
    });
    back_difference(r_, x_, vertical);
    library_bands(g.rows, [&](int y0, int y1) {
      const cv::Range rows(y0, y1);
      cv::Mat gr = g.rowRange(rows);
      gr = gr + lf * x_.rowRange(rows);
    });
  }

  // d = shrink(D T u - b), then b = b + d - D T u: the same library operations as the plain
  // expressions, over bands.
  void split(const cv::Mat& Tu, cv::Mat& d, cv::Mat& b, bool vertical) {
    difference(Tu, p_, vertical, false);
    full_buffer(r_, Tu);
    library_bands(Tu.rows, [&](int y0, int y1) {
      cv::Mat r = r_.rowRange(y0, y1);
      cv::subtract(p_.rowRange(y0, y1), b.rowRange(y0, y1), r);
    });
    full_buffer(d, Tu);
    parallel_bands(Tu.rows, [&](int y0, int y1) {
      const float* s = r_.ptr<float>(y0);
      float* o = d.ptr<float>(y0);
      const size_t n = static_cast<size_t>(y1 - y0) * Tu.cols * 3;
      for (size_t i = 0; i < n; ++i) o[i] = soft_threshold(s[i], threshold_);
    });
    full_buffer(x_, Tu);
    library_bands(Tu.rows, [&](int y0, int y1) {
      cv::Mat sum = x_.rowRange(y0, y1), bb = b.rowRange(y0, y1);
      cv::add(bb, d.rowRange(y0, y1), sum);
      cv::subtract(sum, p_.rowRange(y0, y1), bb);
    });
  }

  bool yuv_;
  double threshold_;
  Colour M_;
  // Workspaces: T of the estimate or direction, a difference image, a coupling residual,
  // and two results of the regulariser's adjoint.
  cv::Mat tu_, p_, r_, x_, y_;
};

}  // namespace

std::unique_ptr<IterationKernels> make_iteration_kernels(rawSuperResolution& sr, bool use_yuv,
                                                         bool reference) {
  if (reference) return make_reference_kernels(sr, use_yuv);
  return std::make_unique<FastKernels>(use_yuv, sr.mu / sr.lambda);
}
