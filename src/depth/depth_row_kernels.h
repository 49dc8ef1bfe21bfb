// Row kernels of the fast depth sweep: the encoding of view samples as seen from the full
// grid, the cost sums of a row over all views, the window mean of the cost and the
// winner-takes-all. Each is a single-threaded function of one row; the callers share rows
// out between threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "rawDepthEstimation.h"

// ---- Per-sample encoding ----

// One view sample as seen from a full-resolution column: channel << 8 | value, or
// no_entry where the view has no sample there (mask 3 or beyond the view).
using Entry = std::uint16_t;
constexpr Entry no_entry = no_sample << 8;

inline Entry make_entry(uchar channel, const cv::Vec3b& pixel) {
  return channel == no_sample ? no_entry : static_cast<Entry>(channel << 8 | pixel[channel]);
}

// Full-resolution index -> nearest view index, -1 beyond the last view row (column).
inline std::vector<int> nearest_index_table(int full, int low, double scale) {
  std::vector<int> t(full);
  for (int i = 0; i < full; ++i) {
    const int k = nearest_view_index(i, scale);
    t[i] = k > low - 1 ? -1 : k;
  }
  return t;
}

// Widest margin of "no sample" kept on each side of a view table; wider shifts (disparity
// ranges far beyond the camera's) take the column-by-column path near the ends instead.
constexpr int max_table_margin = 64;
// Output pixels whose window sums are held in registers across all taps.
constexpr int smooth_block = 64;

// Adds one view's squared differences to n pixels: e are the samples the pixels compare
// with, b0..b2 the blurred estimate's planes.
void accumulate_view(const Entry* __restrict e, const float* __restrict b0,
                     const float* __restrict b1, const float* __restrict b2,
                     float* __restrict sum, float* __restrict count, int n);
// The whole cost sum and count of n pixels that every one of the nv views (ascending)
// samples inside the grid: e[v] points at the sample pixel 0 compares with in view v.
void accumulate_views(const Entry* const* e, int nv, const float* __restrict b0,
                      const float* __restrict b1, const float* __restrict b2,
                      float* __restrict sum, float* __restrict count, int n);
// The cost of n pixels, as it enters the window mean: kept = the cost where it counts, else
// +0; included = 1 where it counts.
void keep_costs(const float* __restrict cost, float threshold, float* __restrict kept,
                std::uint8_t* __restrict included, int n);
// mean_cost over n pixels, then kept and included as keep_costs gives them.
void mean_costs(const float* __restrict sum, const float* __restrict count, float threshold,
                float* __restrict kept, std::uint8_t* __restrict included, int n);
// One output row of the window mean, for a row at least r from the top and bottom.
// rows[l] / incs[l] are the kept costs / inclusion flags of row i - r + l; column_count is
// scratch of nc entries. The frame columns come out 0.
void smooth_row(const float* const* rows, const std::uint8_t* const* incs, int r, int nc,
                std::uint16_t* __restrict column_count, float* __restrict out);
// Winner-takes-all over n pixels: a strictly lower smoothed cost takes the pixel.
void take_lower(const float* __restrict smoothed, float d, float* __restrict best_cost,
                float* __restrict best_disparity, int n);


// Window means of the rows [begin, end) of an image whose kept costs and inclusion flags are
// given; calls emit(row, smoothed row) for each.
template <class Emit>
void smooth_rows(const cv::Mat& kept, const cv::Mat& included, int r, int begin, int end,
                 Emit&& emit) {
  const int nr = kept.rows, nc = kept.cols, taps = 2 * r + 1;
  const bool any_visited = nr >= taps && nc >= taps;
  std::vector<float> out(nc);
  std::vector<std::uint16_t> column_count(nc);
  std::vector<const float*> rows(taps);
  std::vector<const std::uint8_t*> incs(taps);
  for (int i = begin; i < end; ++i) {
    if (!any_visited || i < r || i >= nr - r) {
      std::fill(out.begin(), out.end(), 0.0f);
    } else {
      for (int l = 0; l < taps; ++l) {
        rows[l] = kept.ptr<float>(i - r + l);
        incs[l] = included.ptr<std::uint8_t>(i - r + l);
      }
      smooth_row(rows.data(), incs.data(), r, nc, column_count.data(), out.data());
    }
    emit(i, out.data());
  }
}
