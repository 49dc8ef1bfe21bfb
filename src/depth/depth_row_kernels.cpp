// Row kernels of the fast depth sweep, byte for byte the reference formulas: lanes compute
// exactly the scalar expression, sums keep their order.
#include "depth_row_kernels.h"

// Lane-wise vector helpers are always inlined into the clones; the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#define PLENOSR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
// Helpers of the cloned kernels must be inlined into each clone to get its vector width.
#define PLENOSR_INLINE inline __attribute__((always_inline))

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

// Sixteen lanes of floats, ints and table entries (GNU vector extensions: the compiler maps
// them to whatever vector width each clone has). Lane-wise operations only, so every lane
// computes exactly the scalar formula.
typedef float floats16 __attribute__((vector_size(64)));
typedef int ints16 __attribute__((vector_size(64)));
typedef std::uint16_t entries16 __attribute__((vector_size(32)));

template <class V, class T>
PLENOSR_INLINE V load_lanes(const T* p) {
  V v;
  __builtin_memcpy(&v, p, sizeof(v));
  return v;
}
template <class V, class T>
PLENOSR_INLINE void store_lanes(T* p, const V& v) {
  __builtin_memcpy(p, &v, sizeof(v));
}

// 16 unsigned 16-bit values as ints. Written as interleaving with zeros rather than as a
// conversion, which the compiler turns into one zero-extending load instead of a load and
// three shuffles.
PLENOSR_INLINE ints16 widen_entries(const std::uint16_t* e) {
  typedef std::uint16_t halves32 __attribute__((vector_size(64)));
  const entries16 v = load_lanes<entries16>(e), z = {};
  const halves32 w = __builtin_shufflevector(v, z, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 16, 6,
                                             16, 7, 16, 8, 16, 9, 16, 10, 16, 11, 16, 12, 16, 13,
                                             16, 14, 16, 15, 16);
  return load_lanes<ints16>(&w);
}

// One view's contribution to 16 pixels: the entry picks the blurred plane (below 256
// channel 0, below 512 channel 1, else 2) and the sample; no_entry adds +0 and counts 0.
PLENOSR_INLINE void add_view_lanes(const Entry* e, const floats16& p0, const floats16& p1,
                                   const floats16& p2, floats16& s, floats16& c) {
  const ints16 ent = widen_entries(e);
  const floats16 zero = {}, one = zero + 1.0f;
  const floats16 b = ent < 256 ? p0 : (ent < 512 ? p1 : p2);
  const floats16 d = b - __builtin_convertvector(ent & 255, floats16);  // squared_difference
  const ints16 sampled = ent < static_cast<int>(no_entry);
  s += sampled ? d * d : zero;
  c += sampled ? one : zero;
}

// Sums and counts of 16 * B pixels starting at x0, over all nv views in ascending order; they
// stay in registers while the views pass (the blurred planes are re-read from L1).
template <int B>
PLENOSR_INLINE void accumulate_block(const Entry* const* e, int nv, const float* b0,
                                     const float* b1, const float* b2, float* sum,
                                     float* count, int x0) {
  floats16 s[B], c[B];
  for (int q = 0; q < B; ++q) {
    s[q] = floats16{};
    c[q] = floats16{};
  }
  for (int v = 0; v < nv; ++v) {
    // The 80 views are 80 streams, more than the hardware prefetchers follow: fetch the
    // next block's samples of this view while this block is computed.
    for (int q = 0; q < B; q += 2) __builtin_prefetch(e[v] + x0 + 16 * B + 16 * q);
    for (int q = 0; q < B; ++q) {
      const int x = x0 + 16 * q;
      add_view_lanes(e[v] + x, load_lanes<floats16>(b0 + x), load_lanes<floats16>(b1 + x),
                     load_lanes<floats16>(b2 + x), s[q], c[q]);
    }
  }
  for (int q = 0; q < B; ++q) {
    store_lanes(sum + x0 + 16 * q, s[q]);
    store_lanes(count + x0 + 16 * q, c[q]);
  }
}

// The whole cost sum and count of n pixels that every one of the nv views (ascending)
// samples inside the grid: e[v] points at the sample pixel 0 compares with in view v.
PLENOSR_CLONES
void accumulate_views(const Entry* const* e, int nv, const float* __restrict b0,
                      const float* __restrict b1, const float* __restrict b2,
                      float* __restrict sum, float* __restrict count, int n) {
  int x0 = 0;
  for (; x0 + 128 <= n; x0 += 128) accumulate_block<8>(e, nv, b0, b1, b2, sum, count, x0);
  for (; x0 + 16 <= n; x0 += 16) accumulate_block<1>(e, nv, b0, b1, b2, sum, count, x0);
  for (; x0 < n; ++x0) {
    float s = 0.0f, c = 0.0f;
    for (int v = 0; v < nv; ++v) {
      const int ent = e[v][x0];
      const float b = ent < 256 ? b0[x0] : (ent < 512 ? b1[x0] : b2[x0]);
      const float q = squared_difference(b, static_cast<float>(ent & 255));
      const bool sampled = ent < no_entry;
      s += sampled ? q : 0.0f;
      c += sampled ? 1.0f : 0.0f;
    }
    sum[x0] = s;
    count[x0] = c;
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

// mean_cost over n pixels; where the count is 0 the lane divides by 1 instead (so the loop
// can divide in every lane) and then takes the no-sample cost as mean_cost does.
PLENOSR_CLONES
void mean_costs(const float* __restrict sum, const float* __restrict count, float threshold,
                float* __restrict kept, std::uint8_t* __restrict included, int n) {
  for (int x = 0; x < n; ++x) {
    const float den = count[x] != 0 ? count[x] : 1.0f;
    const float cost = count[x] != 0 ? sum[x] / den : no_sample_cost;
    const bool in = ssd_included(cost, threshold);
    kept[x] = in ? cost : 0.0f;
    included[x] = in ? 1 : 0;
  }
}

typedef std::uint8_t flags32 __attribute__((vector_size(32)));
typedef std::uint16_t counts32 __attribute__((vector_size(64)));

// 32 flags as 16-bit counts (zero-extending load, as widen_entries).
PLENOSR_INLINE counts32 widen_flags(const std::uint8_t* f) {
  const flags32 v = load_lanes<flags32>(f), z = {};
  const flags32 lo = __builtin_shufflevector(v, z, 0, 32, 1, 32, 2, 32, 3, 32, 4, 32, 5, 32, 6,
                                             32, 7, 32, 8, 32, 9, 32, 10, 32, 11, 32, 12, 32, 13,
                                             32, 14, 32, 15, 32);
  const flags32 hi = __builtin_shufflevector(v, z, 16, 32, 17, 32, 18, 32, 19, 32, 20, 32, 21,
                                             32, 22, 32, 23, 32, 24, 32, 25, 32, 26, 32, 27, 32,
                                             28, 32, 29, 32, 30, 32, 31, 32);
  counts32 w;
  __builtin_memcpy(&w, &lo, 32);
  __builtin_memcpy(reinterpret_cast<char*>(&w) + 32, &hi, 32);
  return w;
}

// Per column, how many of the window's rows count there: cc[j] = sum over l of incs[l][j].
PLENOSR_CLONES
void column_counts(const std::uint8_t* const* incs, int taps, int nc,
                   std::uint16_t* __restrict cc) {
  int j = 0;
  for (; j + 32 <= nc; j += 32) {
    counts32 sum = {};
    for (int l = 0; l < taps; ++l)
      sum += widen_flags(incs[l] + j);
    store_lanes(cc + j, sum);
  }
  for (; j < nc; ++j) {
    int sum = 0;
    for (int l = 0; l < taps; ++l) sum += incs[l][j];
    cc[j] = static_cast<std::uint16_t>(sum);
  }
}

// Window mean of one pixel from its sum and count (0 where nothing counts).
inline float window_mean(float sum, int count) {
  return count != 0 ? sum / static_cast<float>(count) : 0.0f;
}

// Window means of smooth_block pixels from column j0: taps in raster order.
PLENOSR_INLINE void smooth_block_of(const float* const* rows, const std::uint16_t* cc, int r,
                                    int j0, float* out) {
  constexpr int Q = smooth_block / 16;
  const int taps = 2 * r + 1;
  floats16 acc[Q] = {};
  ints16 count[Q] = {};
  for (int l = 0; l < taps; ++l) {
    const float* row = rows[l] + j0 - r;
    for (int m = 0; m < taps; ++m)
      for (int q = 0; q < Q; ++q) acc[q] += load_lanes<floats16>(row + m + 16 * q);
  }
  for (int m = 0; m < taps; ++m)
    for (int q = 0; q < Q; ++q) count[q] += widen_entries(cc + j0 - r + m + 16 * q);
  const floats16 zero = {}, one = zero + 1.0f;
  for (int q = 0; q < Q; ++q) {
    // window_mean lane by lane; lanes without a count divide by 1 and are then dropped.
    const ints16 counted = count[q] != 0;
    const floats16 den = counted ? __builtin_convertvector(count[q], floats16) : one;
    store_lanes(out + j0 + 16 * q, counted ? acc[q] / den : zero);
  }
}

// The same for the last pixels of a row, one at a time.
PLENOSR_INLINE void smooth_tail(const float* const* rows, const std::uint16_t* cc, int r, int j0,
                                int len, float* out) {
  const int taps = 2 * r + 1;
  for (int t = 0; t < len; ++t) {
    float acc = 0.0f;
    int count = 0;
    for (int l = 0; l < taps; ++l)
      for (int m = 0; m < taps; ++m) acc += rows[l][j0 - r + m + t];
    for (int m = 0; m < taps; ++m) count += cc[j0 - r + m + t];
    out[j0 + t] = window_mean(acc, count);
  }
}

// One output row of the window mean, for a row at least r from the top and bottom.
// rows[l] / incs[l] are the kept costs / inclusion flags of row i - r + l; column_count is
// scratch of nc entries. The frame columns come out 0.
PLENOSR_CLONES
void smooth_row(const float* const* rows, const std::uint8_t* const* incs, int r, int nc,
                std::uint16_t* __restrict column_count, float* __restrict out) {
  column_counts(incs, 2 * r + 1, nc, column_count);
  for (int j = 0; j < r; ++j) out[j] = 0.0f;
  for (int j = nc - r; j < nc; ++j) out[j] = 0.0f;
  const int end = nc - r;
  int j0 = r;
  for (; j0 + smooth_block <= end; j0 += smooth_block)
    smooth_block_of(rows, column_count, r, j0, out);
  smooth_tail(rows, column_count, r, j0, end - j0, out);
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
