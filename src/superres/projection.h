// The super-resolution's data term: the forward model (blur, z-buffered forward warp,
// bilinear view sampling) into all 81 views and its adjoint (bilinear splat, backward warp,
// blur), behind one interface with a plain reference and a fast implementation.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "geometry.h"
#include "hugepages.h"
#include "projection_formulas.h"

// Disparity-only work of one view (fast path): the view pixels with a recorded channel and
// a footprint of four written z-buffer entries (the plan's entries), in raster order of the
// view, and their footprint pixels sorted by the source pixel that won each of them.
struct ViewPlan {
  HugeVector<int32_t> pixel;       // per entry: k * low_x + n
  HugeVector<uint8_t> channel;     // per entry: mask value 0..2
  HugeVector<int32_t> winner;      // per entry, 4: source pixel of each footprint pixel
  std::vector<int32_t> entry_row;  // low_y + 1: first entry of view row k
  struct Item {
    int32_t offset;  // 3 * source column + channel, within the source row
    int32_t entry;   // the entry whose value it carries
    float weight;    // splat weight of this footprint pixel
  };
  HugeVector<Item> items;           // footprint pixels sorted by source pixel
  HugeVector<int32_t> source_row;   // high_y + 1: first sorted item of source row y
};

// What one disparity map and set of masks fix for every projection: built once per map by
// Projector::build_plan and passed to every projection on that map. The reference path
// keeps only the map and masks; the fast path also the tables below.
struct ProjectionPlan {
  Geometry g;
  const cv::Mat* masks = nullptr;  // 81 masks, CV_8UC1 view grid
  cv::Mat depth;                   // the disparity map (CV_32F, full grid)

  // Fast path tables.
  std::vector<ViewPlan> views;
  cv::Mat winners10, winners60;    // CV_32S full-grid winner maps (-1 empty), diagnostics
  std::vector<int> iy, ix;         // footprint top-left row per k, column per n
  std::vector<float> wy, wx;       // fractions per k, per n
  // Extreme finite disparities (when there is one) and the distinct non-finite values.
  bool has_finite = false;
  float depth_lo = 0.0f, depth_hi = 0.0f;
  std::vector<float> non_finite;
  // Runs of bitwise-equal disparities along each row: a run moves to its target as one
  // block of consecutive pixels, whose z-buffer tests are independent of one another.
  HugeVector<int32_t> run_start, run_end;  // per run: first column, one past its last
  HugeVector<float> run_value;
  std::vector<int32_t> row_runs;           // high_y + 1: first run of row y
};

// The residuals of one projection of an estimate: what the raw error sums and what the
// data-term gradient carries back.
struct Residuals {
  cv::Mat blurred;  // the blurred estimate (CV_32FC3, full grid)
  cv::Mat error;    // per view pixel and channel, the sum of |residual| over the views
  std::vector<HugeVector<float>> entries;  // fast: per view, one value per plan entry
  std::vector<cv::Mat> images;             // reference: per view, CV_32FC3 view grid
};

// The data term's diagnostic images of one step: the blurred estimate, the warped images
// of views 10 and 60 and their residual images. 8-bit or float; written as they are.
struct DiagnosticImages {
  cv::Mat blur, motion10, error10, motion60, error60;
};

class Projector {
 public:
  virtual ~Projector() = default;
  // (Re)builds `plan` for this disparity map and these masks, reusing its buffers. Both must
  // stay alive and unchanged while the plan is used.
  virtual void build_plan(const cv::Mat* masks, const cv::Mat& depth, ProjectionPlan& plan) = 0;
  // Projects `estimate` (CV_32FC3, full grid) into every view: r receives the residuals
  // against `views` and their error image.
  virtual void project(const ProjectionPlan& plan, const cv::Mat& estimate, const cv::Mat* views,
                       Residuals& r) = 0;
  // gradient (replaced by a full-grid CV_32FC3 image) = the back-projection of r, the data
  // term's descent direction.
  virtual void back_project(const ProjectionPlan& plan, const Residuals& r, cv::Mat& gradient) = 0;
  // result (replaced) = the data term's Hessian applied to `direction`.
  virtual void second_order(const ProjectionPlan& plan, const cv::Mat& direction,
                            cv::Mat& result) = 0;
  // The diagnostic images of the projection that gave r.
  virtual void diagnostics(const ProjectionPlan& plan, const Residuals& r,
                           DiagnosticImages& d) = 0;
};

// The plain projector, or the fast one where its preconditions hold (view footprints that
// share no full-grid pixel); both give the same bytes.
std::unique_ptr<Projector> make_projector(const Geometry& g, bool reference);

namespace reference {
// Forward warp of src into view i: warped (CV_32FC3) and z-buffer (CV_32F) of src's size.
void forward_warp(const cv::Mat& src, const cv::Mat& depth, int view, const Geometry& g,
                  cv::Mat& warped, cv::Mat& zbuf);
// Per view pixel, the kept value in the mask's channel (CV_32FC3, view grid); `view` is read
// only for residuals.
void sample_view(Kept kind, const cv::Mat& warped, const cv::Mat& zbuf, const cv::Mat& mask,
                 const cv::Mat* view, const Geometry& g, cv::Mat& values);
// Bilinear splat of values (view grid) onto a zero full-grid image.
void splat(const cv::Mat& values, const cv::Mat& mask, const Geometry& g, cv::Mat& splatted);
// Moves every splat pixel back to the source pixel that won it in the forward warp.
void backward_warp(const cv::Mat& splatted, const cv::Mat& zbuf, int view, const Geometry& g,
                   cv::Mat& back);
}  // namespace reference
