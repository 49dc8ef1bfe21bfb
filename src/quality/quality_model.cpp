// Sub-pixel projection: per-view disparity maps, the forward operator and its adjoint.
#include "quality_model.h"

#include <algorithm>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "execution.h"

ViewDirection view_direction_of(int view, const Geometry& g) {
  return {view_offset_y(view) / vertical_divisor * g.yscale() / g.xscale(),
          static_cast<double>(view_offset_x(view))};
}

void view_rows_for_band(int y0, int y1, double shift_lo, double shift_hi, double reach,
                        double ys, int low_y, int& k0, int& k1) {
  k0 = std::max(0, static_cast<int>(std::floor((y0 - reach - 1 + shift_lo) / ys)));
  k1 = std::min(low_y, static_cast<int>(std::ceil((y1 + reach + 1 + shift_hi) / ys)) + 1);
}

cv::Mat view_disparity_map(const cv::Mat& depth, int view, const Geometry& g) {
  const ViewDirection w = view_direction_of(view, g);
  const double ys = g.yscale(), xs = g.xscale();
  const float unset = -std::numeric_limits<float>::infinity();
  cv::Mat z(g.low_y, g.low_x, CV_32F, cv::Scalar(unset));
  // Every full-grid pixel lands where this view sees it; the nearest surface (largest
  // disparity) wins each view pixel. The maximum does not depend on the visiting order.
  for (int y = 0; y < g.high_y; ++y) {
    const float* d = depth.ptr<float>(y);
    for (int x = 0; x < g.high_x; ++x) {
      const int k = static_cast<int>(std::floor((y + d[x] * w.wy) / ys + 0.5));
      const int n = static_cast<int>(std::floor((x + d[x] * w.wx) / xs + 0.5));
      if (k < 0 || k >= g.low_y || n < 0 || n >= g.low_x) continue;
      float& zz = z.at<float>(k, n);
      zz = std::max(zz, d[x]);
    }
  }
  // Holes are uncovered background: fill each from its farthest set neighbour, growing
  // inwards; what stays unset takes the map's value at the pixel's own position.
  for (int pass = 0; pass < 8; ++pass) {
    cv::Mat next = z.clone();
    bool any = false;
    for (int k = 0; k < g.low_y; ++k)
      for (int n = 0; n < g.low_x; ++n) {
        if (z.at<float>(k, n) != unset) continue;
        float best = std::numeric_limits<float>::infinity();
        for (int a = -1; a <= 1; ++a)
          for (int b = -1; b <= 1; ++b) {
            const int kk = k + a, nn = n + b;
            if (kk < 0 || kk >= g.low_y || nn < 0 || nn >= g.low_x) continue;
            const float v = z.at<float>(kk, nn);
            if (v != unset) best = std::min(best, v);
          }
        if (best != std::numeric_limits<float>::infinity()) next.at<float>(k, n) = best;
        else any = true;
      }
    z = next;
    if (!any) break;
  }
  for (int k = 0; k < g.low_y; ++k)
    for (int n = 0; n < g.low_x; ++n) {
      float& zz = z.at<float>(k, n);
      if (zz != unset) continue;
      const int y = std::min(g.high_y - 1, static_cast<int>(k * ys));
      const int x = std::min(g.high_x - 1, static_cast<int>(n * xs));
      zz = depth.at<float>(y, x);
    }
  return z;
}

SubpixelModel::SubpixelModel(const Geometry& g, const cv::Mat* views, const cv::Mat* masks)
    : g_(g), views_(views), masks_(masks), vdisp_(view_count), dir_(view_count),
      shift_lo_(view_count, 0.0), shift_hi_(view_count, 0.0) {
  for (int i = 0; i < view_count; ++i) {
    dir_[i] = view_direction_of(i, g);
    vdisp_[i] = cv::Mat::zeros(g.low_y, g.low_x, CV_32F);
  }
}

void SubpixelModel::set_depth(const cv::Mat& depth) {
  parallel_items(view_count, [&](int i) {
    vdisp_[i] = view_disparity_map(depth, i, g_);
    double lo, hi;
    cv::minMaxLoc(vdisp_[i], &lo, &hi);
    const double a = lo * dir_[i].wy, b = hi * dir_[i].wy;
    shift_lo_[i] = std::min(a, b);
    shift_hi_[i] = std::max(a, b);
  });
}

namespace {

// Integral image of a CV_32FC3 estimate, in doubles: box sums of a few pixels are taken as
// differences of values up to the whole image's sum.
cv::Mat integral_of(const cv::Mat& u) {
  cv::Mat sum;
  cv::integral(u, sum, CV_64F);
  return sum;
}

}  // namespace

void SubpixelModel::project_view(int i, const cv::Mat& sum, bool subtract, cv::Mat& out) const {
  out.create(g_.low_y, g_.low_x, CV_32F);
  const double ys = g_.yscale(), xs = g_.xscale();
  const double inv_area = 1.0 / (ys * xs);
  const double* s = sum.ptr<double>(0);
  const size_t stride = sum.step1();
  for (int k = 0; k < g_.low_y; ++k) {
    const uchar* m = masks_[i].ptr<uchar>(k);
    const uchar* v = views_[i].ptr<uchar>(k);
    const float* d = vdisp_[i].ptr<float>(k);
    float* o = out.ptr<float>(k);
    for (int n = 0; n < g_.low_x; ++n) {
      o[n] = 0.0f;
      const int t = m[n];
      if (t > 2) continue;
      SampleBox b;
      if (!sample_box(k, n, d[n], dir_[i], ys, xs, g_.high_y, g_.high_x, b)) continue;
      const float p = static_cast<float>(read_box(s, stride, t, b) * inv_area);
      o[n] = subtract ? p - static_cast<float>(v[3 * n + t]) : p;
    }
  }
}

void SubpixelModel::apply(const cv::Mat& u, std::vector<cv::Mat>& out) const {
  const cv::Mat sum = integral_of(u);
  out.resize(view_count);
  parallel_items(view_count, [&](int i) { project_view(i, sum, false, out[i]); });
}

double SubpixelModel::residual(const cv::Mat& u, std::vector<cv::Mat>& r) const {
  const cv::Mat sum = integral_of(u);
  r.resize(view_count);
  std::vector<double> part(view_count, 0.0);
  parallel_items(view_count, [&](int i) {
    project_view(i, sum, true, r[i]);
    double s = 0;
    for (int k = 0; k < g_.low_y; ++k) {
      const float* p = r[i].ptr<float>(k);
      for (int n = 0; n < g_.low_x; ++n) s += static_cast<double>(p[n]) * p[n];
    }
    part[i] = s;
  });
  double sum_sq = 0;
  for (double v : part) sum_sq += v;
  return 0.5 * sum_sq;
}

void SubpixelModel::apply_adjoint(const std::vector<cv::Mat>& values, cv::Mat& back) const {
  // The transpose of (integral image, then four signed bilinear reads per sample): spread
  // every sample onto its box's corners, then sum the spread values from the bottom right.
  const int rows = g_.high_y + 1, cols = g_.high_x + 1;
  cv::Mat acc(rows, cols, CV_64FC3);
  const double ys = g_.yscale(), xs = g_.xscale();
  const double inv_area = 1.0 / (ys * xs);
  double* a = acc.ptr<double>(0);
  const size_t stride = acc.step1();
  // Each band of accumulator rows gathers, in the fixed order (view, k, n, corner), the
  // corners that land in it, so every entry sums in the same order for any banding.
  parallel_bands(rows, [&](int y0, int y1) {
    std::fill(a + y0 * stride, a + y1 * stride, 0.0);
    for (int i = 0; i < view_count; ++i) {
      int k0, k1;
      view_rows_for_band(y0, y1, shift_lo_[i], shift_hi_[i], 0.5 * ys + 2, ys, g_.low_y, k0, k1);
      for (int k = k0; k < k1; ++k) {
        const uchar* m = masks_[i].ptr<uchar>(k);
        const float* d = vdisp_[i].ptr<float>(k);
        const float* val = values[i].ptr<float>(k);
        for (int n = 0; n < g_.low_x; ++n) {
          const int t = m[n];
          if (t > 2 || val[n] == 0.0f) continue;
          SampleBox b;
          if (!sample_box(k, n, d[n], dir_[i], ys, xs, g_.high_y, g_.high_x, b)) continue;
          spread_box(a, stride, t, b, val[n] * inv_area, y0, y1);
        }
      }
    }
    // Sums towards the left within each row.
    for (int y = y0; y < y1; ++y) {
      double* r = a + y * stride;
      for (int x = cols - 2; x >= 0; --x)
        for (int c = 0; c < 3; ++c) r[3 * x + c] += r[3 * (x + 1) + c];
    }
  });
  // Sums upwards within each column, bands of columns apart; pixel (j, l) takes the entry
  // (j + 1, l + 1): the spread values below and right of its top-left corner.
  back.create(g_.high_y, g_.high_x, CV_32FC3);
  parallel_bands(cols, [&](int x0, int x1) {
    for (int y = rows - 2; y >= 0; --y) {
      double* r = a + y * stride;
      const double* below = r + stride;
      for (size_t e = 3 * static_cast<size_t>(x0); e < 3 * static_cast<size_t>(x1); ++e) r[e] += below[e];
    }
    for (int y = 0; y + 1 < rows; ++y) {
      const double* r = a + (y + 1) * stride;
      float* o = back.ptr<float>(y);
      for (int x = std::max(x0, 1); x < x1; ++x)
        for (int c = 0; c < 3; ++c) o[3 * (x - 1) + c] = static_cast<float>(r[3 * x + c]);
    }
  });
}
