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

// Largest box side (pixels) the model handles: the weights of one sample live on the stack.
constexpr int max_box_taps = 64;

// The full-grid rows j0..j1 and columns l0..l1 a view sample's box covers, with the covered
// length of each (wy, wx); false when the box leaves the grid.
struct SampleBox {
  int j0, j1, l0, l1;
  float wy[max_box_taps], wx[max_box_taps];
};
// Covered length of pixels first..last by [lo, hi]: the end pixels partly, the rest wholly.
inline void box_weights(double lo, double hi, int first, int last, float* w) {
  if (first == last) {
    w[0] = static_cast<float>(hi - lo);
    return;
  }
  w[0] = static_cast<float>(first + 0.5 - lo);
  for (int j = 1; j < last - first; ++j) w[j] = 1.0f;
  w[last - first] = static_cast<float>(hi - (last - 0.5));
}
inline bool sample_box(int k, int n, double d, const ViewDirection& w, double ys, double xs,
                       int rows, int cols, SampleBox& b) {
  const double cy = k * ys - d * w.wy, cx = n * xs - d * w.wx;
  const double a0 = cy - 0.5 * ys, a1 = cy + 0.5 * ys, c0 = cx - 0.5 * xs, c1 = cx + 0.5 * xs;
  if (!(a0 >= -0.5 && a1 < rows - 0.5 && c0 >= -0.5 && c1 < cols - 0.5)) return false;
  b.j0 = floor_int(a0 + 0.5);
  b.j1 = floor_int(a1 + 0.5);
  b.l0 = floor_int(c0 + 0.5);
  b.l1 = floor_int(c1 + 0.5);
  box_weights(a0, a1, b.j0, b.j1, b.wy);
  box_weights(c0, c1, b.l0, b.l1, b.wx);
  return true;
}

// Mean of channel t of a continuous CV_32FC3 image over a sample's box (weights / area).
inline float read_box(const float* img, int cols, int t, const SampleBox& b, float inv_area) {
  float acc = 0.0f;
  for (int j = b.j0; j <= b.j1; ++j) {
    const float* row = img + (static_cast<size_t>(j) * cols + b.l0) * 3 + t;
    float s = 0.0f;
    for (int l = 0; l <= b.l1 - b.l0; ++l) s += b.wx[l] * row[3 * l];
    acc += b.wy[j - b.j0] * s;
  }
  return acc * inv_area;
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
  // Samples or residuals of one view from the estimate.
  void project_view(int i, const cv::Mat& u, bool subtract, cv::Mat& out) const;

  Geometry g_;
  const cv::Mat* views_;
  const cv::Mat* masks_;
  std::vector<cv::Mat> vdisp_;
  std::vector<ViewDirection> dir_;
  std::vector<double> shift_lo_, shift_hi_;
};

// The same disparity-per-view-pixel map for one view (exposed for tests).
cv::Mat view_disparity_map(const cv::Mat& depth, int view, const Geometry& g);
