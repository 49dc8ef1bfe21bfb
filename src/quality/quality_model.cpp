// Sub-pixel projection: per-view disparity maps, the forward operator and its adjoint.
#include "quality_model.h"

#include <algorithm>
#include <limits>

#include "errors.h"
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
  if (!(g.yscale() < max_box_taps - 2 && g.xscale() < max_box_taps - 2))
    throw RunError(exit_usage, "quality mode: a view pixel spans more than " +
                                   std::to_string(max_box_taps - 2) + " output pixels");
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

void SubpixelModel::project_view(int i, const cv::Mat& u, bool subtract, cv::Mat& out) const {
  out.create(g_.low_y, g_.low_x, CV_32F);
  const double ys = g_.yscale(), xs = g_.xscale();
  const float inv_area = static_cast<float>(1.0 / (ys * xs));
  const float* img = u.ptr<float>(0);
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
      const float p = read_box(img, g_.high_x, t, b, inv_area);
      o[n] = subtract ? p - static_cast<float>(v[3 * n + t]) : p;
    }
  }
}

void SubpixelModel::apply(const cv::Mat& u, std::vector<cv::Mat>& out) const {
  out.resize(view_count);
  parallel_items(view_count, [&](int i) { project_view(i, u, false, out[i]); });
}

double SubpixelModel::residual(const cv::Mat& u, std::vector<cv::Mat>& r) const {
  r.resize(view_count);
  std::vector<double> part(view_count, 0.0);
  parallel_items(view_count, [&](int i) {
    project_view(i, u, true, r[i]);
    double s = 0;
    for (int k = 0; k < g_.low_y; ++k) {
      const float* p = r[i].ptr<float>(k);
      for (int n = 0; n < g_.low_x; ++n) s += static_cast<double>(p[n]) * p[n];
    }
    part[i] = s;
  });
  double sum = 0;
  for (double v : part) sum += v;
  return 0.5 * sum;
}

void SubpixelModel::apply_adjoint(const std::vector<cv::Mat>& values, cv::Mat& back) const {
  back = cv::Mat::zeros(g_.high_y, g_.high_x, CV_32FC3);
  const double ys = g_.yscale(), xs = g_.xscale();
  const float inv_area = static_cast<float>(1.0 / (ys * xs));
  float* img = back.ptr<float>(0);
  // Each band of output rows gathers, in the fixed order (view, k, n, tap), the taps that
  // land in it, so every pixel sums its contributions in the same order for any banding.
  parallel_bands(g_.high_y, [&](int y0, int y1) {
    for (int i = 0; i < view_count; ++i) {
      int k0, k1;
      view_rows_for_band(y0, y1, shift_lo_[i], shift_hi_[i], 0.5 * ys + 1, ys, g_.low_y, k0, k1);
      for (int k = k0; k < k1; ++k) {
        const uchar* m = masks_[i].ptr<uchar>(k);
        const float* d = vdisp_[i].ptr<float>(k);
        const float* val = values[i].ptr<float>(k);
        for (int n = 0; n < g_.low_x; ++n) {
          const int t = m[n];
          if (t > 2 || val[n] == 0.0f) continue;
          SampleBox b;
          if (!sample_box(k, n, d[n], dir_[i], ys, xs, g_.high_y, g_.high_x, b)) continue;
          if (b.j1 < y0 || b.j0 >= y1) continue;
          const float r = val[n] * inv_area;
          for (int j = std::max(b.j0, y0); j <= std::min(b.j1, y1 - 1); ++j) {
            float* row = img + (static_cast<size_t>(j) * g_.high_x + b.l0) * 3 + t;
            const float rw = r * b.wy[j - b.j0];
            for (int l = 0; l <= b.l1 - b.l0; ++l) row[3 * l] += rw * b.wx[l];
          }
        }
      }
    }
  });
}
