// Forward model of the super-resolution (blur, z-buffered forward warp, bilinear view
// sampling, residual) and its adjoint (bilinear splat, backward warp, blur), shared by the
// raw error, the data-term gradient and the second-order differential.
#pragma once

#include <cmath>
#include <memory>
#include <opencv2/core.hpp>

#include "geometry.h"

class Output;

// The three operations run the same per-view pipeline and differ only in the value kept per
// view pixel and in whether it is carried back to the full grid.
enum class Projection {
  error,     // residual, absolute values added to a view-grid image
  gradient,  // residual, carried back and added to a full-grid image; writes diagnostics
  hessian    // projected sample itself, carried back; views are not read
};

// What a projection does with its output image.
enum class Into {
  add,       // adds to what `out` holds
  overwrite  // `out` (of the right size and type) receives the projection alone, as if it
             // had been cleared first; the fast path then need not read it
};

// ---- Per-pixel formulas -------------------------------------------------------------------

// Initial z-buffer entry; an entry still holding it was never written.
constexpr float zbuf_unset = -100.0f;
inline bool zbuf_empty(float z) { return static_cast<int>(z) == -100; }

// Bilinear sample from the footprint's pixels: top-left, top-right, bottom-left, bottom-right.
inline float bilinear(float w00, float w01, float w10, float w11, float wx, float wy) {
  return (w00 * (1.0f - wx) + w01 * wx) * (1.0f - wy) + (w10 * (1.0f - wx) + w11 * wx) * wy;
}

// Splat weights of the four footprint pixels, in the same order; the adjoint of bilinear().
struct SplatWeights {
  float w00, w01, w10, w11;
};
inline SplatWeights splat_weights(float wx, float wy) {
  return {(1.0f - wy) * (1.0f - wx), (1.0f - wy) * wx, (1.0f - wx) * wy, wy * wx};
}

// Residual in the mask's channel t: recorded sample minus sampled value, 0 where nothing was
// sampled (all three channels exactly 0) or there is no recorded sample.
inline float residual_value(const float S[3], int t, unsigned char recorded) {
  if (t < 0 || t > 2) return 0.0f;
  if (S[0] == 0.0f && S[1] == 0.0f && S[2] == 0.0f) return 0.0f;
  return static_cast<float>(recorded) - S[t];
}
// Projected sample in the mask's channel t (0 without a recorded sample).
inline float projected_value(const float S[3], int t) {
  return (t < 0 || t > 2) ? 0.0f : S[t];
}

// Disparity-only work of every view (z-buffer winners of each footprint), built by the fast
// path and reused while the masks and the disparity map keep their bytes.
struct ProjectionPlan;
using PlanCache = std::shared_ptr<const ProjectionPlan>;

// ---- Traversals ---------------------------------------------------------------------------

// Runs the projection of `image` (CV_32FC3, full grid) through all views of g:
//  error:    adds |residual| to `out` (CV_32FC3, view grid);
//  gradient: adds the back-projected residuals to `out` (CV_32FC3, full grid) and writes
//            blur.ppm, motion10/60.ppm and error10/60.ppm through `diag` (nullptr: none);
//  hessian:  adds the back-projected projected samples to `out`; `views` may be nullptr.
// Inputs are assumed checked. Dispatches on execution().reference; `cache` (may be nullptr)
// keeps the fast path's plan between calls.
void project_views(Projection kind, const cv::Mat& image, const cv::Mat* views,
                   const cv::Mat* masks, const cv::Mat& depth, const Geometry& g, cv::Mat& out,
                   const Output* diag, PlanCache* cache = nullptr, Into into = Into::add);

namespace reference {
// Forward warp of src into view i: warped (CV_32FC3) and z-buffer (CV_32F) of src's size.
void forward_warp(const cv::Mat& src, const cv::Mat& depth, int view, const Geometry& g,
                  cv::Mat& warped, cv::Mat& zbuf);
// Per view pixel, the kept value in the mask's channel (CV_32FC3, view grid).
void sample_view(Projection kind, const cv::Mat& warped, const cv::Mat& zbuf, const cv::Mat& mask,
                 const cv::Mat* view, const Geometry& g, cv::Mat& values);
// Bilinear splat of values (view grid) onto a zero full-grid image.
void splat(const cv::Mat& values, const cv::Mat& mask, const Geometry& g, cv::Mat& splatted);
// Moves every splat pixel back to the source pixel that won it in the forward warp.
void backward_warp(const cv::Mat& splatted, const cv::Mat& zbuf, int view, const Geometry& g,
                   cv::Mat& back);
// The plain per-view pipeline.
void project_views(Projection kind, const cv::Mat& image, const cv::Mat* views,
                   const cv::Mat* masks, const cv::Mat& depth, const Geometry& g, cv::Mat& out,
                   const Output* diag);
}  // namespace reference

// Threaded version sharing the disparity-only work between views; byte-identical. Falls
// back to the plain pipeline on geometries whose view footprints overlap.
void project_views_fast(Projection kind, const cv::Mat& image, const cv::Mat* views,
                        const cv::Mat* masks, const cv::Mat& depth, const Geometry& g,
                        cv::Mat& out, const Output* diag, PlanCache* cache = nullptr,
                        Into into = Into::add);
