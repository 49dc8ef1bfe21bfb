// Fast projector: plan tables built once per disparity map, values computed per plan entry
// over chunks of view rows in parallel, back-projection as a banded scatter. Byte-identical
// to the plain projector at any thread count.
#include <cmath>
#include <vector>

#include "PSF.h"
#include "imageio.h"
#include "projection_fast.h"
#include "timings.h"

namespace {

class FastProjector final : public Projector {
 public:
  explicit FastProjector(const Geometry& g) : g_(g) {}

  void build_plan(const cv::Mat* masks, const cv::Mat& depth, ProjectionPlan& plan) override {
    ScopedTiming timing("projection plan");
    build_fast_plan(masks, depth, g_, plan, warp_scratch_);
  }

  void project(const ProjectionPlan& p, const cv::Mat& estimate, const cv::Mat* views,
               Residuals& r) override {
    {
      ScopedTiming timing("blur");
      PSF(estimate, r.blurred, g_.xscale(), g_.yscale());
    }
    size_values(p, r.entries);
    r.error.create(g_.low_y, g_.low_x, CV_32FC3);
    r.error.setTo(cv::Scalar::all(0));
    const float* bl = r.blurred.ptr<float>();
    // The residuals of a chunk of view rows, then their absolute values added to the error,
    // view by view in ascending order.
    view_row_chunks(g_.low_y, [&](int k0, int k1) {
      entry_values(Kept::residual, p, k0, k1, bl, views, r.entries);
      float* acc = r.error.ptr<float>();
      for (int i = 0; i < view_count; ++i) {
        const ViewPlan& vp = p.views[i];
        const float* val = r.entries[i].data();
        for (int e = vp.entry_row[k0]; e < vp.entry_row[k1]; ++e)
          if (val[e] != 0.0f)
            acc[3 * static_cast<size_t>(vp.pixel[e]) + vp.channel[e]] += std::fabs(val[e]);
      }
    });
  }

  void back_project(const ProjectionPlan& p, const Residuals& r, cv::Mat& gradient) override {
    ScopedTiming timing("carry back");
    carry_back(p, r.entries, gradient, band_scratch_);
  }

  void second_order(const ProjectionPlan& p, const cv::Mat& direction, cv::Mat& result) override {
    {
      ScopedTiming timing("blur");
      PSF(direction, blurred_, g_.xscale(), g_.yscale());
    }
    size_values(p, projected_);
    const float* bl = blurred_.ptr<float>();
    {
      ScopedTiming timing("sample views");
      view_row_chunks(g_.low_y, [&](int k0, int k1) {
        entry_values(Kept::projected, p, k0, k1, bl, nullptr, projected_);
      });
    }
    ScopedTiming timing("carry back");
    carry_back(p, projected_, result, band_scratch_);
  }

  void diagnostics(const ProjectionPlan& p, const Residuals& r, DiagnosticImages& d) override {
    ScopedTiming timing("diagnostic images");
    // The blurred image is converted to 8 bits once, for itself and both warped views.
    eight_bit_image(r.blurred, d.blur);
    warped_image(d.blur, p.winners10, d.motion10);
    value_image(p, p.views[10], r.entries[10], d.error10);
    warped_image(d.blur, p.winners60, d.motion60);
    value_image(p, p.views[60], r.entries[60], d.error60);
  }

 private:
  // One value per plan entry of every view; capacity for as many as the view can hold, so a
  // later plan reuses the pages.
  static void size_values(const ProjectionPlan& p, std::vector<HugeVector<float>>& values) {
    values.resize(view_count);
    for (int i = 0; i < view_count; ++i) {
      values[i].reserve(p.views[i].pixel.capacity());
      values[i].resize(p.views[i].pixel.size());
    }
  }

  Geometry g_;
  std::vector<WarpScratch> warp_scratch_;      // per thread, for plan builds
  BandScratch band_scratch_;                   // per thread, for back-projections
  cv::Mat blurred_;                            // the blurred direction
  std::vector<HugeVector<float>> projected_;   // projected samples of the direction
};

}  // namespace

std::unique_ptr<Projector> make_projector(const Geometry& g, bool reference) {
  if (reference || !footprints_disjoint(g)) return make_reference_projector(g);
  return std::make_unique<FastProjector>(g);
}
