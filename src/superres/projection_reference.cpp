// Plain projector: every view is warped, sampled, splatted and warped back in full, one
// image at a time, in the order the model is stated.
#include <string>
#include <vector>

#include "PSF.h"
#include "projection.h"

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

void sample_view(Kept kind, const cv::Mat& warped, const cv::Mat& zbuf, const cv::Mat& mask,
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
      values.at<cv::Vec3f>(k, n)[t] = kind == Kept::projected
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

}  // namespace reference

namespace {

class ReferenceProjector final : public Projector {
 public:
  explicit ReferenceProjector(const Geometry& g) : g_(g) {}

  void build_plan(const cv::Mat* masks, const cv::Mat& depth, ProjectionPlan& plan) override {
    plan = ProjectionPlan();
    plan.g = g_;
    plan.masks = masks;
    plan.depth = depth;
  }

  void project(const ProjectionPlan& p, const cv::Mat& estimate, const cv::Mat* views,
               Residuals& r) override {
    PSF(estimate, r.blurred, g_.xscale(), g_.yscale());
    r.error = cv::Mat::zeros(g_.low_y, g_.low_x, CV_32FC3);
    r.images.resize(view_count);
    for (int i = 0; i < view_count; ++i) {
      cv::Mat warped, zbuf;
      reference::forward_warp(r.blurred, p.depth, i, g_, warped, zbuf);
      reference::sample_view(Kept::residual, warped, zbuf, p.masks[i], &views[i], g_,
                             r.images[i]);
      for (int k = 0; k < g_.low_y; ++k)
        for (int n = 0; n < g_.low_x; ++n)
          for (int c = 0; c < 3; ++c)
            r.error.at<cv::Vec3f>(k, n)[c] += std::fabs(r.images[i].at<cv::Vec3f>(k, n)[c]);
    }
  }

  void back_project(const ProjectionPlan& p, const Residuals& r, cv::Mat& gradient) override {
    gradient = cv::Mat::zeros(g_.high_y, g_.high_x, CV_32FC3);
    for (int i = 0; i < view_count; ++i) {
      cv::Mat warped, zbuf;
      reference::forward_warp(r.blurred, p.depth, i, g_, warped, zbuf);
      carry_back(p, i, r.images[i], zbuf, gradient);
    }
  }

  void second_order(const ProjectionPlan& p, const cv::Mat& direction, cv::Mat& result) override {
    result = cv::Mat::zeros(g_.high_y, g_.high_x, CV_32FC3);
    cv::Mat blurred;
    PSF(direction, blurred, g_.xscale(), g_.yscale());
    for (int i = 0; i < view_count; ++i) {
      cv::Mat warped, zbuf, projected;
      reference::forward_warp(blurred, p.depth, i, g_, warped, zbuf);
      reference::sample_view(Kept::projected, warped, zbuf, p.masks[i], nullptr, g_, projected);
      carry_back(p, i, projected, zbuf, result);
    }
  }

  void diagnostics(const ProjectionPlan& p, const Residuals& r, DiagnosticImages& d) override {
    cv::Mat zbuf;
    d.blur = r.blurred;
    reference::forward_warp(r.blurred, p.depth, 10, g_, d.motion10, zbuf);
    d.error10 = r.images[10];
    reference::forward_warp(r.blurred, p.depth, 60, g_, d.motion60, zbuf);
    d.error60 = r.images[60];
  }

 private:
  // out += blur of the backward warp of the splat of view i's values.
  void carry_back(const ProjectionPlan& p, int i, const cv::Mat& values, const cv::Mat& zbuf,
                  cv::Mat& out) const {
    cv::Mat splatted, back, blurred_back;
    reference::splat(values, p.masks[i], g_, splatted);
    reference::backward_warp(splatted, zbuf, i, g_, back);
    PSF(back, blurred_back, g_.xscale(), g_.yscale());
    for (int y = 0; y < g_.high_y; ++y)
      for (int x = 0; x < g_.high_x; ++x)
        for (int c = 0; c < 3; ++c)
          out.at<cv::Vec3f>(y, x)[c] += blurred_back.at<cv::Vec3f>(y, x)[c];
  }

  Geometry g_;
};

}  // namespace

std::unique_ptr<Projector> make_reference_projector(const Geometry& g) {
  return std::make_unique<ReferenceProjector>(g);
}
