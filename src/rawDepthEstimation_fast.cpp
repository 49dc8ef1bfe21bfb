// Fast depth estimation: the same sweep as the reference loops, byte for byte.
// Each view is expanded once per estimation into a table of its samples per view row and
// full-resolution column, so a candidate's shift becomes a plain offset into that table; the
// cost of a pixel still adds the views in ascending order, and the window mean still adds its
// taps in raster order (a left-out cost adds +0, which changes nothing since the sum starts at
// +0 and can never become -0). Rows are shared out between threads; no sum is split.
#include <algorithm>
#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "PSF.h"
#include "execution.h"
#include "progress.h"
#include "rawDepthEstimation.h"

#define PLENOSR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))

namespace {

// ---- Per-sample encoding ----

// One view sample as seen from a full-resolution column: channel << 8 | value, or
// no_entry where the view has no sample there (mask 3 or beyond the view).
using Entry = std::uint16_t;
constexpr Entry no_entry = no_sample << 8;

inline Entry make_entry(uchar channel, const cv::Vec3b& pixel) {
  return channel == no_sample ? no_entry : static_cast<Entry>(channel << 8 | pixel[channel]);
}

// Full-resolution index -> nearest view index, -1 beyond the last view row (column).
std::vector<int> nearest_index_table(int full, int low, double scale) {
  std::vector<int> t(full);
  for (int i = 0; i < full; ++i) {
    const int k = nearest_view_index(i, scale);
    t[i] = k > low - 1 ? -1 : k;
  }
  return t;
}

// Columns of one chunk of a row in the cost accumulation: the chunk's sums, counts and
// blurred planes stay in L1 while all 80 views pass over it.
constexpr int cost_chunk = 1024;
// Output pixels whose window sums are held in registers across all taps.
constexpr int smooth_block = 64;

// ---- Row kernels ----

// Adds one view's squared differences to n pixels: e are the samples the pixels compare
// with, b0..b2 the blurred estimate's planes.
PLENOSR_CLONES
void accumulate_view(const Entry* __restrict e, const float* __restrict b0,
                     const float* __restrict b1, const float* __restrict b2,
                     float* __restrict sum, float* __restrict count, int n) {
  for (int x = 0; x < n; ++x) {
    const int ent = e[x];
    const int ch = ent >> 8;
    const float v = static_cast<float>(ent & 255);
    const float b = ch == 0 ? b0[x] : (ch == 1 ? b1[x] : b2[x]);
    const float q = squared_difference(b, v);
    const bool sampled = ch != no_sample;
    sum[x] += sampled ? q : 0.0f;
    count[x] += sampled ? 1.0f : 0.0f;
  }
}

// The cost of n pixels, as it enters the window mean: kept = the cost where it counts, else
// +0; included = 1 where it counts.
PLENOSR_CLONES
void keep_costs(const float* __restrict cost, float threshold, float* __restrict kept,
                std::uint8_t* __restrict included, int n) {
  for (int x = 0; x < n; ++x) {
    const bool in = ssd_included(cost[x], threshold);
    kept[x] = in ? cost[x] : 0.0f;
    included[x] = in ? 1 : 0;
  }
}

PLENOSR_CLONES
void mean_costs(const float* __restrict sum, const float* __restrict count, float threshold,
                float* __restrict kept, std::uint8_t* __restrict included, int n) {
  for (int x = 0; x < n; ++x) {
    const float c = mean_cost(sum[x], count[x]);
    const bool in = ssd_included(c, threshold);
    kept[x] = in ? c : 0.0f;
    included[x] = in ? 1 : 0;
  }
}

// One output row of the window mean, for a row at least r from the top and bottom.
// rows[l] / incs[l] are the kept costs / inclusion flags of row i - r + l; column_count is
// scratch of nc entries. The frame columns come out 0.
PLENOSR_CLONES
void smooth_row(const float* const* rows, const std::uint8_t* const* incs, int r, int nc,
                std::uint16_t* __restrict column_count, float* __restrict out) {
  const int taps = 2 * r + 1;
  for (int j = 0; j < nc; ++j) column_count[j] = 0;
  for (int l = 0; l < taps; ++l) {
    const std::uint8_t* __restrict inc = incs[l];
    for (int j = 0; j < nc; ++j) column_count[j] += inc[j];
  }
  for (int j = 0; j < r; ++j) out[j] = 0.0f;
  for (int j = nc - r; j < nc; ++j) out[j] = 0.0f;

  const int end = nc - r;
  int j0 = r;
  for (; j0 < end; j0 += smooth_block) {
    const int len = std::min(smooth_block, end - j0);
    float acc[smooth_block] = {};
    if (len == smooth_block) {
      for (int l = 0; l < taps; ++l) {
        const float* __restrict row = rows[l] + j0 - r;
        for (int m = 0; m < taps; ++m)
          for (int t = 0; t < smooth_block; ++t) acc[t] += row[m + t];
      }
    } else {
      for (int l = 0; l < taps; ++l) {
        const float* __restrict row = rows[l] + j0 - r;
        for (int m = 0; m < taps; ++m)
          for (int t = 0; t < len; ++t) acc[t] += row[m + t];
      }
    }
    for (int t = 0; t < len; ++t) {
      const std::uint16_t* cc = column_count + j0 + t - r;
      int count = 0;
      for (int m = 0; m < taps; ++m) count += cc[m];
      out[j0 + t] = count != 0 ? acc[t] / static_cast<float>(count) : 0.0f;
    }
  }
}

// Winner-takes-all over n pixels: a strictly lower smoothed cost takes the pixel.
PLENOSR_CLONES
void take_lower(const float* __restrict smoothed, float d, float* __restrict best_cost,
                float* __restrict best_disparity, int n) {
  for (int x = 0; x < n; ++x) {
    const bool lower = best_cost[x] > smoothed[x];
    best_cost[x] = lower ? smoothed[x] : best_cost[x];
    best_disparity[x] = lower ? d : best_disparity[x];
  }
}

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

}  // namespace

void NNresize_fast(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view,
                   cv::Mat& up_mask, const Geometry& g) {
  const std::vector<int> row_of = nearest_index_table(g.high_y, g.low_y, g.yscale());
  const std::vector<int> col_of = nearest_index_table(g.high_x, g.low_x, g.xscale());
  cv::Mat uv(g.high_y, g.high_x, CV_32FC3), um(g.high_y, g.high_x, CV_8UC1);
  parallel_bands(g.high_y, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      cv::Vec3f* v = uv.ptr<cv::Vec3f>(y);
      uchar* m = um.ptr<uchar>(y);
      const int k = row_of[y];
      for (int x = 0; x < g.high_x; ++x) {
        const int n = col_of[x];
        const uchar ch = (k < 0 || n < 0) ? no_sample : mask.ptr<uchar>(k)[n];
        m[x] = ch;
        v[x] = cv::Vec3f(0, 0, 0);
        if (ch != no_sample) v[x][ch] = view.ptr<cv::Vec3b>(k)[n][ch];
      }
    }
  });
  up_view = uv;
  up_mask = um;
}

void blur_ssd_fast(cv::Mat& cost, float large, int window_size) {
  const int r = window_radius(window_size);
  const int nr = cost.rows, nc = cost.cols;
  const float threshold = ssd_threshold(large);
  cv::Mat kept(nr, nc, CV_32F), included(nr, nc, CV_8UC1);
  parallel_bands(nr, [&](int begin, int end) {
    for (int i = begin; i < end; ++i)
      keep_costs(cost.ptr<float>(i), threshold, kept.ptr<float>(i),
                 included.ptr<std::uint8_t>(i), nc);
  });
  cv::Mat result(nr, nc, CV_32F);
  parallel_bands(nr, [&](int begin, int end) {
    smooth_rows(kept, included, r, begin, end, [&](int i, const float* row) {
      std::copy(row, row + nc, result.ptr<float>(i));
    });
  });
  cost = result;
}

void search_rawdisparity_fast(const cv::Mat& estimate, const cv::Mat* views,
                              const cv::Mat* masks, cv::Mat& depth, int min_disparity,
                              int max_disparity, int window_size, const Geometry& g) {
  const int H = g.high_y, W = g.high_x;
  const int r = window_radius(window_size);
  const float threshold = ssd_threshold(large_cost);

  cv::Mat blurred;
  PSF_fast(estimate, blurred, g.xscale(), g.yscale());
  cv::Mat planes[3];
  cv::split(blurred, planes);
  blurred.release();

  // Every view's samples per view row and full-resolution column.
  const std::vector<int> row_of = nearest_index_table(H, g.low_y, g.yscale());
  const std::vector<int> col_of = nearest_index_table(W, g.low_x, g.xscale());
  const size_t table_size = static_cast<size_t>(g.low_y) * W;
  std::vector<Entry> tables(table_size * view_count);
  parallel_items(view_count, [&](int n) {
    if (n == center_view) return;
    Entry* t = tables.data() + table_size * n;
    for (int k = 0; k < g.low_y; ++k) {
      const uchar* mk = masks[n].ptr<uchar>(k);
      const cv::Vec3b* vk = views[n].ptr<cv::Vec3b>(k);
      for (int sx = 0; sx < W; ++sx) {
        const int c = col_of[sx];
        t[static_cast<size_t>(k) * W + sx] = c < 0 ? no_entry : make_entry(mk[c], vk[c]);
      }
    }
  });

  cv::Mat best_cost(H, W, CV_32F, cv::Scalar(large_cost));
  cv::Mat best_disparity = cv::Mat::zeros(H, W, CV_32F);
  cv::Mat kept(H, W, CV_32F), included(H, W, CV_8UC1);

  const std::vector<float> candidates = disparity_candidates(min_disparity, max_disparity, g);
  progress().begin("depth estimation", static_cast<int>(candidates.size()));
  for (size_t c = 0; c < candidates.size(); ++c) {
    const float d = candidates[c];
    int ty[view_count], tx[view_count];
    for (int n = 0; n < view_count; ++n) {
      ty[n] = disparity_shift_rows(d, view_offset_y(n), g);
      tx[n] = disparity_shift_cols(d, view_offset_x(n));
    }

    // Mean squared difference per pixel over the views, ready for the window mean.
    parallel_bands(H, [&](int begin, int end) {
      std::vector<float> sum(cost_chunk), count(cost_chunk);
      for (int c0 = 0; c0 < W; c0 += cost_chunk) {
        const int c1 = std::min(W, c0 + cost_chunk);
        for (int y = begin; y < end; ++y) {
          std::fill(sum.begin(), sum.end(), 0.0f);
          std::fill(count.begin(), count.end(), 0.0f);
          const float* b0 = planes[0].ptr<float>(y);
          const float* b1 = planes[1].ptr<float>(y);
          const float* b2 = planes[2].ptr<float>(y);
          for (int n = 0; n < view_count; ++n) {
            if (n == center_view) continue;
            const int sy = y + ty[n];
            if (sy < 0 || sy > H - 1 || row_of[sy] < 0) continue;
            const int a = std::max(c0, -tx[n]), b = std::min(c1, W - tx[n]);
            if (a >= b) continue;
            const Entry* e = tables.data() + table_size * n +
                             static_cast<size_t>(row_of[sy]) * W + (a + tx[n]);
            accumulate_view(e, b0 + a, b1 + a, b2 + a, sum.data() + (a - c0),
                            count.data() + (a - c0), b - a);
          }
          mean_costs(sum.data(), count.data(), threshold, kept.ptr<float>(y) + c0,
                     included.ptr<std::uint8_t>(y) + c0, c1 - c0);
        }
      }
    });
    // Window mean and winner-takes-all.
    parallel_bands(H, [&](int begin, int end) {
      smooth_rows(kept, included, r, begin, end, [&](int i, const float* row) {
        take_lower(row, d, best_cost.ptr<float>(i), best_disparity.ptr<float>(i), W);
      });
    });
    progress().advance(static_cast<int>(c + 1));
  }
  cv::medianBlur(best_disparity, depth, median_aperture);
  progress().end();
}
