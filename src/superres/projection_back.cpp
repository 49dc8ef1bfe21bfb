// Back-projection of the fast projector: per view, the bilinear splat of the entry values,
// the backward warp and the blur, as one scatter of each entry's value through the kernel.
// The back-warped image of a view is sparse: its blur is a scatter of the non-zero samples,
// visited in raster order of the source pixel, so every output still receives its kernel
// taps in tap order; skipping zero samples is exact because no accumulator ever holds -0.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <omp.h>
#include <vector>

#include "PSF.h"
#include "projection_fast.h"

namespace {

// Back-projection works on bands of `lanes` output rows held transposed: one vector per
// padded output float, a lane per row of the band. A sample then adds its product with a
// vector of kernel weights (one lane per output row it reaches, 0 elsewhere) to one vector
// per kernel column, and samples in raster order of the source still give every output its
// taps in tap order. The zero lanes add +-0, which leaves every accumulator as it is (none
// holds -0); non-finite samples, whose products with 0 would spread, add lane by lane.
constexpr int lanes = 8;
typedef float v8 __attribute__((vector_size(4 * lanes)));

// w[(t + hr) * kcols + c]: for a source row t rows below the band's first row (t from -hr
// to lanes - 1 + hr) and kernel column c, lane L holds the weight of tap row t - L + hr in
// output row L of the band, 0 where the kernel does not reach.
std::vector<v8> lane_kernel(const std::vector<float>& kw, int krows, int kcols) {
  const int hr = (krows - 1) / 2;
  std::vector<v8> w(static_cast<size_t>(lanes + 2 * hr) * kcols, v8{});
  for (int t = -hr; t < lanes + hr; ++t)
    for (int c = 0; c < kcols; ++c)
      for (int L = 0; L < lanes; ++L) {
        const int r = t - L + hr;
        if (r >= 0 && r < krows) w[(t + hr) * kcols + c][L] = kw[r * kcols + c];
      }
  return w;
}

// Adds view items' products for source rows [py0, py1) to the band accumulator acc (band
// row 0 at y0): an item at float q feeds padded floats q, q + 3, ..., with kernel columns
// from the right. KCOLS > 0 fixes the kernel width at compile time.
template <int KCOLS>
inline __attribute__((always_inline)) void scatter_band_impl(
    const ViewPlan::Item* items, const int32_t* source_row, const float* val, int py0, int py1,
    int y0, int hr, int kcols_runtime, const v8* w, v8* acc) {
  const int kcols = KCOLS > 0 ? KCOLS : kcols_runtime;
  for (int py = py0; py < py1; ++py) {
    const v8* wt = w + (py - y0 + hr) * kcols + (kcols - 1);
    const int j1 = source_row[py + 1];
    for (int j = source_row[py]; j < j1; ++j) {
      const ViewPlan::Item& item = items[j];
      const float x = val[item.entry] * item.weight;
      v8* a = acc + item.offset;
      for (int k = 0; k < kcols; ++k) a[3 * k] += x * wt[-k];
    }
  }
}

__attribute__((target_clones("avx2", "default"))) void scatter_band3(
    const ViewPlan::Item* items, const int32_t* source_row, const float* val, int py0, int py1,
    int y0, int hr, const v8* w, v8* acc) {
  scatter_band_impl<3>(items, source_row, val, py0, py1, y0, hr, 3, w, acc);
}

__attribute__((target_clones("avx2", "default"))) void scatter_band_any(
    const ViewPlan::Item* items, const int32_t* source_row, const float* val, int py0, int py1,
    int y0, int hr, int kcols, const v8* w, v8* acc) {
  scatter_band_impl<0>(items, source_row, val, py0, py1, y0, hr, kcols, w, acc);
}

// The same sums lane by lane, each product only where the kernel reaches: for views holding
// a non-finite value.
void scatter_band_lanes(const ViewPlan::Item* items, const int32_t* source_row,
                        const float* val, int py0, int py1, int y0, int hr, int kcols,
                        const std::vector<float>& kw, v8* acc) {
  for (int py = py0; py < py1; ++py) {
    const int L0 = std::max(0, py - y0 - hr), L1 = std::min(lanes - 1, py - y0 + hr);
    for (int j = source_row[py]; j < source_row[py + 1]; ++j) {
      const ViewPlan::Item& item = items[j];
      const float x = val[item.entry] * item.weight;
      for (int k = 0; k < kcols; ++k)
        for (int L = L0; L <= L1; ++L)
          acc[item.offset + 3 * k][L] += x * kw[(py - y0 - L + hr) * kcols + (kcols - 1 - k)];
    }
  }
}

// dst += a, then dst += b (b may be null), vector by vector; a and b are cleared.
__attribute__((target_clones("avx2", "default"))) void add_lanes(v8* __restrict dst,
                                                                 v8* __restrict a,
                                                                 v8* __restrict b, size_t n) {
  if (b == nullptr) {
    for (size_t i = 0; i < n; ++i) {
      dst[i] += a[i];
      a[i] = v8{};
    }
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    dst[i] = (dst[i] + a[i]) + b[i];
    a[i] = v8{};
    b[i] = v8{};
  }
}

// An 8 x 8 block: r[L] holds 8 consecutive floats of row L; on return r[j] holds float j of
// every row (and the other way round: the transpose is its own inverse).
inline __attribute__((always_inline)) void transpose8(v8 r[8]) {
  static_assert(lanes == 8, "the transpose is written for 8 lanes");
  v8 s[8], u[8];
  for (int k = 0; k < 4; ++k) {
    s[2 * k] = __builtin_shufflevector(r[2 * k], r[2 * k + 1], 0, 8, 1, 9, 4, 12, 5, 13);
    s[2 * k + 1] = __builtin_shufflevector(r[2 * k], r[2 * k + 1], 2, 10, 3, 11, 6, 14, 7, 15);
  }
  for (int h = 0; h < 2; ++h)
    for (int k = 0; k < 2; ++k) {
      const v8 a = s[4 * h + k], b = s[4 * h + k + 2];
      u[4 * h + 2 * k] = __builtin_shufflevector(a, b, 0, 1, 8, 9, 4, 5, 12, 13);
      u[4 * h + 2 * k + 1] = __builtin_shufflevector(a, b, 2, 3, 10, 11, 6, 7, 14, 15);
    }
  for (int j = 0; j < 4; ++j) {
    r[j] = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    r[j + 4] = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// The transposed band t (lane L: row y0 + L) into rows [y0, y0 + n) of out.
__attribute__((target_clones("avx2", "default"))) void band_out(const v8* t, int y0, int n,
                                                                cv::Mat& out) {
  const int floats = 3 * out.cols;
  int P = 0;
  if (n == lanes) {
    for (; P + lanes <= floats; P += lanes) {
      v8 r[lanes];
      for (int j = 0; j < lanes; ++j) r[j] = t[P + j];
      transpose8(r);
      for (int L = 0; L < lanes; ++L) std::memcpy(out.ptr<float>(y0 + L) + P, &r[L], sizeof(v8));
    }
  }
  for (int L = 0; L < n; ++L) {
    float* row = out.ptr<float>(y0 + L);
    for (int Q = P; Q < floats; ++Q) row[Q] = t[Q][L];
  }
}

}  // namespace

void carry_back(const ProjectionPlan& p, const std::vector<HugeVector<float>>& values,
                cv::Mat& out, BandScratch& scratch) {
  const Geometry& g = p.g;
  const int rows = g.high_y, cols = g.high_x;
  const cv::Mat kernel = psf_kernel(g.xscale(), g.yscale());
  const int hr = (kernel.rows - 1) / 2, hc = (kernel.cols - 1) / 2;
  std::vector<float> kw(kernel.total());
  for (size_t i = 0; i < kw.size(); ++i) kw[i] = static_cast<float>(kernel.ptr<double>()[i]);
  const std::vector<v8> w = lane_kernel(kw, kernel.rows, kernel.cols);
  // Views whose values are all finite take the vector path.
  std::vector<uint8_t> finite_view(view_count);
  parallel_items(view_count, [&](int i) {
    bool finite = true;
    for (const float v : values[i]) finite &= std::isfinite(v);
    finite_view[i] = finite;
  });
  const size_t floats = 3 * static_cast<size_t>(cols);
  const size_t padded = floats + 6 * static_cast<size_t>(hc);  // hc pad pixels on each side
  const int bands = (rows + lanes - 1) / lanes;
  out.create(rows, cols, CV_32FC3);
  if (scratch.size() < static_cast<size_t>(worker_threads())) scratch.resize(worker_threads());
  // Views go in pairs: each has its own accumulator, and one pass over the band then adds
  // the first and then the second.
  constexpr int group = 2;
  // Bands differ in cost (the views reach some rows more than others): threads take a few
  // at a time as they come free.
  constexpr int bands_per_item = 4;
  std::vector<uint8_t> ready(scratch.size(), 0);
  parallel_items((bands + bands_per_item - 1) / bands_per_item, [&](int item) {
    const int b0 = item * bands_per_item, b1 = std::min(bands, b0 + bands_per_item);
    const int thread = omp_get_thread_num();
    std::vector<float>& buf = scratch[thread];
    if (!ready[thread]) {  // the accumulators are left cleared after every band
      buf.assign((floats + group * padded) * lanes + lanes, 0.0f);
      ready[thread] = 1;
    }
    v8* const band = reinterpret_cast<v8*>(
        buf.data() + (lanes - reinterpret_cast<uintptr_t>(buf.data()) / 4 % lanes) % lanes);
    v8* accs[group];
    for (int k = 0; k < group; ++k) accs[k] = band + floats + k * padded;
    for (int b = b0; b < b1; ++b) {
      const int y0 = b * lanes, n = std::min(lanes, rows - y0);
      const int py0 = std::max(0, y0 - hr), py1 = std::min(rows, y0 + lanes + hr);
      std::fill(band, band + floats, v8{});
      for (int i0 = 0; i0 < view_count; i0 += group) {
        const int m = std::min(group, view_count - i0);
        for (int k = 0; k < m; ++k) {
          const ViewPlan& vp = p.views[i0 + k];
          const float* val = values[i0 + k].data();
          if (!finite_view[i0 + k])
            scatter_band_lanes(vp.items.data(), vp.source_row.data(), val, py0, py1, y0, hr,
                               kernel.cols, kw, accs[k]);
          else if (kernel.cols == 3)
            scatter_band3(vp.items.data(), vp.source_row.data(), val, py0, py1, y0, hr,
                          w.data(), accs[k]);
          else
            scatter_band_any(vp.items.data(), vp.source_row.data(), val, py0, py1, y0, hr,
                             kernel.cols, w.data(), accs[k]);
        }
        add_lanes(band, accs[0] + 3 * hc, m == 2 ? accs[1] + 3 * hc : nullptr, floats);
        // The pads collect taps beyond the border.
        for (int k = 0; k < m; ++k)
          for (int e = 0; e < 3 * hc; ++e) accs[k][e] = accs[k][padded - 1 - e] = v8{};
      }
      band_out(band, y0, n, out);
    }
  });
}
