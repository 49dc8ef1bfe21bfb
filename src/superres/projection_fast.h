// Pieces of the fast projector: the plan build, the sampling of view values, the diagnostic
// images and the back-projection, each in its own source file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "execution.h"
#include "projection.h"

std::unique_ptr<Projector> make_reference_projector(const Geometry& g);

// Footprints of distinct view pixels never share a full-resolution pixel, so each splat
// pixel receives at most one contribution: the fast path's precondition.
bool footprints_disjoint(const Geometry& g);

// Working memory of one thread while it builds views of a plan.
struct WarpScratch {
  HugeVector<float> z;           // z-buffer of one band of target rows
  HugeVector<int32_t> win;       // winners of that band
  HugeVector<int32_t> inverse;   // source pixel -> code, -1 where none
  HugeVector<float> weight;      // per code: splat weight of that footprint pixel
  std::vector<int32_t> columns;  // source columns of one row that won a footprint pixel
};

// Fills the fast tables of `plan` for masks and depth (g the grid), reusing its buffers.
// scratch holds one entry per worker thread (grown as needed).
void build_fast_plan(const cv::Mat* masks, const cv::Mat& depth, const Geometry& g,
                     ProjectionPlan& plan, std::vector<WarpScratch>& scratch);

// Value kept per entry of view rows [k0, k1) of every view, from the blurred image.
void entry_values(Kept kind, const ProjectionPlan& p, int k0, int k1, const float* blurred,
                  const cv::Mat* views, std::vector<HugeVector<float>>& values);

// Calls body(k0, k1) on chunks of a few view rows, chunks spread over the threads.
constexpr int chunk_rows = 4;
template <class Body>
void view_row_chunks(int rows, Body&& body) {
  const int chunks = (rows + chunk_rows - 1) / chunk_rows;
  parallel_bands(chunks, [&](int c0, int c1) {
    for (int c = c0; c < c1; ++c) body(c * chunk_rows, std::min(rows, (c + 1) * chunk_rows));
  });
}

// The full warped image of a view, in 8 bits, from its winner map and the blurred image in
// 8 bits: the warp moves samples and leaves the rest 0, so it commutes with the conversion.
void warped_image(const cv::Mat& blurred8, const cv::Mat& winners, cv::Mat& w);
// The values of a view's entries in their channels, zero elsewhere (CV_32FC3, view grid).
void value_image(const ProjectionPlan& p, const ViewPlan& vp, const HugeVector<float>& values,
                 cv::Mat& v);

// Per-thread accumulators of the back-projection, kept between calls.
using BandScratch = std::vector<std::vector<float>>;
// out (replaced by a full-grid CV_32FC3 image) = the sum over views, in ascending order, of
// the blur of the back-warped splat of `values`.
void carry_back(const ProjectionPlan& p, const std::vector<HugeVector<float>>& values,
                cv::Mat& out, BandScratch& scratch);
