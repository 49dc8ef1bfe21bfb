// Sub-pixel forward model of the quality mode and its exact adjoint. A view sample is the
// mean of the estimate over the view pixel's box (yscale rows by xscale columns, pixels
// counted by the share of them the box covers), centred where the view pixel's line of
// sight meets the centre view: view pixel (k, n) of view i looks at full-grid position
// (k yscale, n xscale) minus d times the view's displacement per unit disparity, d being the
// disparity of the surface that view sees there. Nothing is rounded to whole pixels.
#pragma once

#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "geometry.h"

// Full-grid displacement (rows, columns) per unit of disparity in view i.
struct ViewDirection {
  double wy = 0, wx = 0;
};
ViewDirection view_direction_of(int view, const Geometry& g);

// Top-left pixel of the 2 x 2 bilinear footprint and the fractions towards its far pixels.
struct SampleSpot {
  int iy, ix;
  float fy, fx;
};

// Largest whole number not above v, for |v| well inside the int range (no library call).
inline int floor_int(double v) {
  const int i = static_cast<int>(v);
  return v < i ? i - 1 : i;
}

// Where view pixel (k, n) looks for disparity d; false when the footprint leaves the grid.
inline bool sample_spot(int k, int n, double d, const ViewDirection& w, double ys, double xs,
                        int rows, int cols, SampleSpot& s) {
  const double py = k * ys - d * w.wy, px = n * xs - d * w.wx;
  if (!(py >= 0 && py < rows - 1 && px >= 0 && px < cols - 1)) return false;
  s.iy = static_cast<int>(py);
  s.ix = static_cast<int>(px);
  s.fy = static_cast<float>(py - s.iy);
  s.fx = static_cast<float>(px - s.ix);
  return true;
}

// A view sample's box [a0, a1] x [c0, c1] (full-grid coordinates, pixel j spanning
// j - 0.5 .. j + 0.5) as the four corners on the grid of an integral image, whose entry
// (J, L) sums the pixels above row J and left of column L. Over a piecewise-constant image
// the integral is bilinear between those entries, so a box sum with fractional ends is the
// signed sum of four bilinear reads: any box size costs the same.
struct SampleBox {
  int j[2], l[2];     // top-left integral entry of each corner row / column (box top, bottom)
  double fy[2], fx[2];  // fractions towards the next entry
};
inline bool sample_box(int k, int n, double d, const ViewDirection& w, double ys, double xs,
                       int rows, int cols, SampleBox& b) {
  const double cy = k * ys - d * w.wy, cx = n * xs - d * w.wx;
  const double a0 = cy - 0.5 * ys, a1 = cy + 0.5 * ys, c0 = cx - 0.5 * xs, c1 = cx + 0.5 * xs;
  if (!(a0 >= -0.5 && a1 < rows - 0.5 && c0 >= -0.5 && c1 < cols - 0.5)) return false;
  const double y[2] = {a0 + 0.5, a1 + 0.5}, x[2] = {c0 + 0.5, c1 + 0.5};
  for (int e = 0; e < 2; ++e) {
    b.j[e] = floor_int(y[e]);
    b.l[e] = floor_int(x[e]);
    b.fy[e] = y[e] - b.j[e];
    b.fx[e] = x[e] - b.l[e];
  }
  return true;
}

// Sum of channel t of the image over a sample's box, from its integral image (continuous
// CV_64FC3 of (rows + 1) x (cols + 1), `stride` doubles per row).
inline double read_box(const double* sum, size_t stride, int t, const SampleBox& b) {
  double acc = 0;
  for (int e = 0; e < 2; ++e) {
    const double* r0 = sum + b.j[e] * stride + t;
    const double* r1 = r0 + stride;
    const double gy = b.fy[e];
    for (int f = 0; f < 2; ++f) {
      const size_t o = 3 * static_cast<size_t>(b.l[f]);
      const double gx = b.fx[f];
      const double v = (r0[o] * (1 - gx) + r0[o + 3] * gx) * (1 - gy) + (r1[o] * (1 - gx) + r1[o + 3] * gx) * gy;
      acc += e == f ? v : -v;
    }
  }
  return acc;
}

// The transpose of read_box: adds `value` times each corner's sign and bilinear weight into
// the integral-grid accumulator, only into rows [y0, y1).
inline void spread_box(double* acc, size_t stride, int t, const SampleBox& b, double value, int y0, int y1) {
  for (int e = 0; e < 2; ++e)
    for (int h = 0; h < 2; ++h) {
      const int row = b.j[e] + h;
      if (row < y0 || row >= y1) continue;
      double* r = acc + row * stride + t;
      const double gy = h == 0 ? 1 - b.fy[e] : b.fy[e];
      for (int f = 0; f < 2; ++f) {
        const double v = (e == f ? value : -value) * gy;
        const size_t o = 3 * static_cast<size_t>(b.l[f]);
        r[o] += v * (1 - b.fx[f]);
        r[o + 3] += v * b.fx[f];
      }
    }
}

// Bilinear read of channel t of a continuous CV_32FC3 image at a spot.
inline float read_spot(const float* img, int cols, int t, const SampleSpot& s) {
  const float* p = img + (static_cast<size_t>(s.iy) * cols + s.ix) * 3 + t;
  const float* q = p + static_cast<size_t>(cols) * 3;
  return (p[0] * (1.0f - s.fx) + p[3] * s.fx) * (1.0f - s.fy) + (q[0] * (1.0f - s.fx) + q[3] * s.fx) * s.fy;
}

// The view rows [k0, k1) whose samples can touch output rows [y0, y1) when a sample of row k
// covers rows within `reach` of k ys - shift, shift in [shift_lo, shift_hi].
void view_rows_for_band(int y0, int y1, double shift_lo, double shift_hi, double reach,
                        double ys, int low_y, int& k0, int& k1);

// The raw samples of all 81 views, the disparity each view sees at each of its pixels, and
// the projection operator A (estimate -> samples) with its adjoint.
class SubpixelModel {
 public:
  // views: CV_8UC3, masks: CV_8UC1 (0..2 channel, 3 none), 81 each, low_y x low_x of g.
  SubpixelModel(const Geometry& g, const cv::Mat* views, const cv::Mat* masks);

  // Takes the disparity map (CV_32F, full grid): per view, the disparity of the nearest
  // surface that reaches each view pixel (z-buffer on the view grid), holes filled from
  // their farthest neighbour.
  void set_depth(const cv::Mat& depth);

  // out[i] (CV_32F, view grid) = A u at the samples of view i, 0 elsewhere. u: CV_32FC3.
  void apply(const cv::Mat& u, std::vector<cv::Mat>& out) const;
  // r[i] = A u - recorded at the samples, 0 elsewhere; returns half the sum of squares.
  double residual(const cv::Mat& u, std::vector<cv::Mat>& r) const;
  // back (CV_32FC3, full grid) = A^T values.
  void apply_adjoint(const std::vector<cv::Mat>& values, cv::Mat& back) const;

  const Geometry& geometry() const { return g_; }
  const cv::Mat& view(int i) const { return views_[i]; }
  const cv::Mat& mask(int i) const { return masks_[i]; }
  const cv::Mat& view_disparity(int i) const { return vdisp_[i]; }
  const ViewDirection& direction(int i) const { return dir_[i]; }
  // Smallest and largest row shift (d * wy) of view i's samples.
  double shift_lo(int i) const { return shift_lo_[i]; }
  double shift_hi(int i) const { return shift_hi_[i]; }

 private:
  // Samples or residuals of one view from the estimate's integral image.
  void project_view(int i, const cv::Mat& sum, bool subtract, cv::Mat& out) const;

  Geometry g_;
  const cv::Mat* views_;
  const cv::Mat* masks_;
  std::vector<cv::Mat> vdisp_;
  std::vector<ViewDirection> dir_;
  std::vector<double> shift_lo_, shift_hi_;
};

// The same disparity-per-view-pixel map for one view (exposed for tests).
cv::Mat view_disparity_map(const cv::Mat& depth, int view, const Geometry& g);
