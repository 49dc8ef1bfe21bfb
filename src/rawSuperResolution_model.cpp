// Plain per-view projection pipeline: every view is warped, sampled, splatted and warped
// back in full, one image at a time, in the order the model is stated.
#include <string>

#include "PSF.h"
#include "execution.h"
#include "imageio.h"
#include "rawSuperResolution_model.h"
#include "textformat.h"

void project_views(Projection kind, const cv::Mat& image, const cv::Mat* views,
                   const cv::Mat* masks, const cv::Mat& depth, const Geometry& g, cv::Mat& out,
                   const Output* diag, PlanCache* cache, Into into) {
  if (execution().reference) {
    if (into == Into::overwrite) out.setTo(cv::Scalar::all(0));
    reference::project_views(kind, image, views, masks, depth, g, out, diag);
  } else {
    project_views_fast(kind, image, views, masks, depth, g, out, diag, cache, into);
  }
}

namespace reference {

void forward_warp(const cv::Mat& src, const cv::Mat& depth, int view, const Geometry& g,
                  cv::Mat& warped, cv::Mat& zbuf) {
  const int rows = src.rows, cols = src.cols;
  const int vy = view_offset_y(view), vx = view_offset_x(view);
  warped = cv::Mat::zeros(rows, cols, CV_32FC3);
  zbuf = cv::Mat::ones(rows, cols, CV_32F) * -100;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      const float d = depth.at<float>(y, x);
      const int ty = y + disparity_shift_rows(d, vy, g);
      const int tx = x + disparity_shift_cols(d, vx);
      if (ty < 0 || ty >= rows || tx < 0 || tx >= cols) continue;
      float& z = zbuf.at<float>(ty, tx);
      if (d > z) {
        z = d;
        warped.at<cv::Vec3f>(ty, tx) = src.at<cv::Vec3f>(y, x);
      }
    }
  }
}

void sample_view(Projection kind, const cv::Mat& warped, const cv::Mat& zbuf, const cv::Mat& mask,
                 const cv::Mat* view, const Geometry& g, cv::Mat& values) {
  const double ys = g.yscale(), xs = g.xscale();
  values = cv::Mat::zeros(g.low_y, g.low_x, CV_32FC3);
  for (int k = 0; k < g.low_y; ++k) {
    for (int n = 0; n < g.low_x; ++n) {
      const Footprint f = view_footprint(k, n, ys, xs);
      float S[3] = {0.0f, 0.0f, 0.0f};
      if (footprint_inside(f, warped.rows, warped.cols) &&
          !zbuf_empty(zbuf.at<float>(f.iy, f.ix)) && !zbuf_empty(zbuf.at<float>(f.iy, f.ix + 1)) &&
          !zbuf_empty(zbuf.at<float>(f.iy + 1, f.ix)) &&
          !zbuf_empty(zbuf.at<float>(f.iy + 1, f.ix + 1))) {
        const cv::Vec3f& a = warped.at<cv::Vec3f>(f.iy, f.ix);
        const cv::Vec3f& b = warped.at<cv::Vec3f>(f.iy, f.ix + 1);
        const cv::Vec3f& c = warped.at<cv::Vec3f>(f.iy + 1, f.ix);
        const cv::Vec3f& d = warped.at<cv::Vec3f>(f.iy + 1, f.ix + 1);
        for (int ch = 0; ch < 3; ++ch) S[ch] = bilinear(a[ch], b[ch], c[ch], d[ch], f.wx, f.wy);
      }
      const int t = mask.at<uchar>(k, n);
      if (t > 2) continue;
      values.at<cv::Vec3f>(k, n)[t] = kind == Projection::hessian
                                          ? projected_value(S, t)
                                          : residual_value(S, t, view->at<cv::Vec3b>(k, n)[t]);
    }
  }
}

void splat(const cv::Mat& values, const cv::Mat& mask, const Geometry& g, cv::Mat& splatted) {
  const double ys = g.yscale(), xs = g.xscale();
  splatted = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);
  for (int k = 0; k < g.low_y; ++k) {
    for (int n = 0; n < g.low_x; ++n) {
      const Footprint f = view_footprint(k, n, ys, xs);
      const int t = mask.at<uchar>(k, n);
      if (!footprint_inside(f, g.high_y, g.high_x) || t > 2) continue;
      const float r = values.at<cv::Vec3f>(k, n)[t];
      const SplatWeights w = splat_weights(f.wx, f.wy);
      splatted.at<cv::Vec3f>(f.iy, f.ix)[t] += r * w.w00;
      splatted.at<cv::Vec3f>(f.iy, f.ix + 1)[t] += r * w.w01;
      splatted.at<cv::Vec3f>(f.iy + 1, f.ix)[t] += r * w.w10;
      splatted.at<cv::Vec3f>(f.iy + 1, f.ix + 1)[t] += r * w.w11;
    }
  }
}

void backward_warp(const cv::Mat& splatted, const cv::Mat& zbuf, int view, const Geometry& g,
                   cv::Mat& back) {
  const int rows = splatted.rows, cols = splatted.cols;
  const int vy = -view_offset_y(view), vx = -view_offset_x(view);
  back = cv::Mat::zeros(rows, cols, CV_32FC3);
  for (int m = 0; m < rows; ++m) {
    for (int n = 0; n < cols; ++n) {
      const float z = zbuf.at<float>(m, n);
      const int sy = m + disparity_shift_rows(z, vy, g);
      const int sx = n + disparity_shift_cols(z, vx);
      if (sy < 0 || sy >= rows || sx < 0 || sx >= cols || zbuf_empty(z)) continue;
      back.at<cv::Vec3f>(sy, sx) = splatted.at<cv::Vec3f>(m, n);
    }
  }
}

void project_views(Projection kind, const cv::Mat& image, const cv::Mat* views,
                   const cv::Mat* masks, const cv::Mat& depth, const Geometry& g, cv::Mat& out,
                   const Output* diag) {
  const std::string dir = strformat("bigSR/view%03d/", view_count);
  const bool diagnostics = kind == Projection::gradient && diag != nullptr;
  cv::Mat blurred;
  PSF(image, blurred, g.xscale(), g.yscale());
  if (diagnostics) diag->write_image(dir + "blur.ppm", blurred);
  for (int i = 0; i < view_count; ++i) {
    cv::Mat warped, zbuf, values;
    forward_warp(blurred, depth, i, g, warped, zbuf);
    const bool shown = diagnostics && (i == 10 || i == 60);
    if (shown) diag->write_image(dir + strformat("motion%d.ppm", i), warped);
    sample_view(kind, warped, zbuf, masks[i], views ? &views[i] : nullptr, g, values);
    if (shown) diag->write_image(dir + strformat("error%d.ppm", i), values);
    if (kind == Projection::error) {
      for (int k = 0; k < g.low_y; ++k)
        for (int n = 0; n < g.low_x; ++n)
          for (int c = 0; c < 3; ++c)
            out.at<cv::Vec3f>(k, n)[c] += std::fabs(values.at<cv::Vec3f>(k, n)[c]);
      continue;
    }
    cv::Mat splatted, back, blurred_back;
    splat(values, masks[i], g, splatted);
    backward_warp(splatted, zbuf, i, g, back);
    PSF(back, blurred_back, g.xscale(), g.yscale());
    for (int y = 0; y < g.high_y; ++y)
      for (int x = 0; x < g.high_x; ++x)
        for (int c = 0; c < 3; ++c)
          out.at<cv::Vec3f>(y, x)[c] += blurred_back.at<cv::Vec3f>(y, x)[c];
  }
}

}  // namespace reference
