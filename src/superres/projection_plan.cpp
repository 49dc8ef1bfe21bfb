// Plan of the fast projector: the z-buffer winners of every footprint depend only on the
// disparity map, so they are found once per map and shared by the raw error, the gradient
// and the second-order term of every step on that map.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <omp.h>
#include <vector>

#include "projection_fast.h"

bool footprints_disjoint(const Geometry& g) {
  const double ys = g.yscale(), xs = g.xscale();
  for (int k = 0; k + 1 < g.low_y; ++k)
    if (view_footprint(k + 1, 0, ys, xs).iy < view_footprint(k, 0, ys, xs).iy + 2) return false;
  for (int n = 0; n + 1 < g.low_x; ++n)
    if (view_footprint(0, n + 1, ys, xs).ix < view_footprint(0, n, ys, xs).ix + 2) return false;
  return true;
}

namespace {


// Rows a view's disparity shift can take: from the extreme finite disparities (the shift is
// monotonic in the disparity) and from the non-finite values present, where those land.
struct ShiftRange {
  int lo, hi;
};
ShiftRange row_shift_range(const ProjectionPlan& p, int vy) {
  const Geometry& g = p.g;
  ShiftRange r{0, 0};
  bool any = false;
  const auto take = [&](float d) {
    const int sh = disparity_shift_rows(d, vy, g);
    if (sh <= -g.high_y || sh >= g.high_y) return;  // lands outside the grid
    r.lo = any ? std::min(r.lo, sh) : sh;
    r.hi = any ? std::max(r.hi, sh) : sh;
    any = true;
  };
  if (p.has_finite) {
    take(p.depth_lo);
    take(p.depth_hi);
  }
  for (float d : p.non_finite) take(d);
  return r;
}

// Z-buffer test of n consecutive targets against one disparity: no two share a target, so
// the tests may run side by side.
__attribute__((target_clones("avx512f", "avx2", "default"))) void ztest_block(
    float* __restrict z, int32_t* __restrict win, float dv, int32_t source, int n) {
  for (int i = 0; i < n; ++i) {
    const bool take = dv > z[i];
    z[i] = take ? dv : z[i];
    win[i] = take ? source + i : win[i];
  }
}

// Winners of target rows [t0, t1) of view i into s.win (row t0 first): the forward warp's
// z-buffer test over the only source rows whose shift can reach the band, in raster order,
// which keeps every target's first largest disparity. Equal disparities in a row form runs
// that land as blocks; a block's targets are distinct, and blocks go in raster order.
void warp_band(const ProjectionPlan& p, int view, const ShiftRange& range, int t0, int t1,
               WarpScratch& s) {
  const Geometry& g = p.g;
  const int rows = g.high_y, cols = g.high_x;
  const int vy = view_offset_y(view), vx = view_offset_x(view);
  const size_t n = static_cast<size_t>(t1 - t0) * cols;
  std::fill(s.z.begin(), s.z.begin() + n, zbuf_unset);
  std::fill(s.win.begin(), s.win.begin() + n, -1);
  float* z = s.z.data();
  int32_t* win = s.win.data();
  const int y0 = std::max(0, t0 - range.hi), y1 = std::min(rows, t1 - range.lo);
  // Shifts of the last two distinct disparities: a lone speckle in a smooth region then
  // costs no recomputation on the way back.
  float last = 0.0f, prev = 0.0f;
  int sy = disparity_shift_rows(0.0f, vy, g), sx = disparity_shift_cols(0.0f, vx);
  int psy = sy, psx = sx;
  for (int y = y0; y < y1; ++y) {
    for (int r = p.row_runs[y]; r < p.row_runs[y + 1]; ++r) {
      const float dv = p.run_value[r];
      if (std::memcmp(&dv, &last, sizeof dv) != 0) {
        if (std::memcmp(&dv, &prev, sizeof dv) == 0) {
          std::swap(sy, psy);
          std::swap(sx, psx);
        } else {
          psy = sy;
          psx = sx;
          sy = disparity_shift_rows(dv, vy, g);
          sx = disparity_shift_cols(dv, vx);
        }
        prev = last;
        last = dv;
      }
      const int64_t ty = static_cast<int64_t>(y) + sy;
      if (ty < t0 || ty >= t1) continue;
      // Columns of the run whose targets fall inside the grid.
      const int64_t xa = std::max<int64_t>(p.run_start[r], -static_cast<int64_t>(sx));
      const int64_t xb = std::min<int64_t>(p.run_end[r], static_cast<int64_t>(cols) - sx);
      if (xa >= xb) continue;
      const size_t t = static_cast<size_t>(ty - t0) * cols + static_cast<size_t>(xa + sx);
      ztest_block(z + t, win + t, dv, static_cast<int32_t>(y * cols + xa),
                  static_cast<int>(xb - xa));
    }
  }
}

// The columns x in [x, n) of a row whose inverse entry is set (>= 0), ascending, into out
// from `found` on, without a branch per column; returns the new count.
inline int set_columns(const int32_t* inv, int x, int n, int32_t* out, int found) {
  for (; x < n; ++x) {
    out[found] = x;
    found += inv[x] >= 0;
  }
  return found;
}
// The same for a whole row, sixteen columns at a time where the processor can compress
// vectors (out has room for n + 16).
__attribute__((target("avx512f"))) int set_columns_avx512(const int32_t* inv, int n,
                                                         int32_t* out) {
  int found = 0, x = 0;
  __m512i index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i step = _mm512_set1_epi32(16);
  for (; x + 16 <= n; x += 16) {
    const __mmask16 set =
        _mm512_cmpge_epi32_mask(_mm512_loadu_si512(inv + x), _mm512_setzero_si512());
    _mm512_storeu_si512(out + found, _mm512_maskz_compress_epi32(set, index));
    found += __builtin_popcount(set);
    index = _mm512_add_epi32(index, step);
  }
  return set_columns(inv, x, n, out, found);
}
int winning_columns(const int32_t* inv, int n, int32_t* out, bool compress) {
  return compress ? set_columns_avx512(inv, n, out) : set_columns(inv, 0, n, out, 0);
}

// View rows per band of the plan build; the band's z-buffer stays in cache.
constexpr int plan_band_rows = 8;

void build_view(const ProjectionPlan& plan, const cv::Mat& mask, int view, WarpScratch& s,
                ViewPlan& vp, cv::Mat* winners, bool compress) {
  const Geometry& g = plan.g;
  const int rows = g.high_y, cols = g.high_x;
  const ShiftRange range = row_shift_range(plan, view_offset_y(view));
  vp.entry_row.assign(g.low_y + 1, 0);
  const size_t most = static_cast<size_t>(cv::countNonZero(mask < 3));
  vp.pixel.reserve(most);
  vp.channel.reserve(most);
  vp.winner.reserve(4 * most);
  if (s.weight.size() < 4 * most) s.weight.resize(4 * most);
  // Target rows of view row k's band start at the band's first footprint row (clamped), so
  // the bands tile the grid and each holds the footprints of its view rows.
  const auto band_start = [&](int k) {
    if (k <= 0) return 0;
    if (k >= g.low_y) return rows;
    return std::max(0, std::min(rows, plan.iy[k]));
  };
  for (int k0 = 0; k0 < g.low_y; k0 += plan_band_rows) {
    const int k1 = std::min(g.low_y, k0 + plan_band_rows);
    const int t0 = band_start(k0), t1 = band_start(k1);
    if (t1 <= t0) {
      for (int k = k0; k < k1; ++k) vp.entry_row[k] = static_cast<int32_t>(vp.pixel.size());
      continue;
    }
    const size_t need = static_cast<size_t>(t1 - t0) * cols;
    if (s.z.size() < need) {
      s.z.resize(need);
      s.win.resize(need);
    }
    warp_band(plan, view, range, t0, t1, s);
    if (winners)
      std::memcpy(winners->ptr<int32_t>(t0), s.win.data(), need * sizeof(int32_t));
    for (int k = k0; k < k1; ++k) {
      vp.entry_row[k] = static_cast<int32_t>(vp.pixel.size());
      const uchar* m = mask.ptr<uchar>(k);
      const int iy = plan.iy[k];
      if (iy < 0 || iy > rows - 2) continue;
      for (int n = 0; n < g.low_x; ++n) {
        const int t = m[n];
        const int ix = plan.ix[n];
        if (t > 2 || ix < 0 || ix > cols - 2) continue;
        const int p = (iy - t0) * cols + ix;
        const int32_t w0 = s.win[p], w1 = s.win[p + 1], w2 = s.win[p + cols],
                      w3 = s.win[p + cols + 1];
        if (w0 < 0 || w1 < 0 || w2 < 0 || w3 < 0) continue;
        const int32_t e = static_cast<int32_t>(vp.pixel.size());
        vp.pixel.push_back(k * g.low_x + n);
        vp.channel.push_back(static_cast<uint8_t>(t));
        const int32_t w[4] = {w0, w1, w2, w3};
        const SplatWeights sw = splat_weights(plan.wx[n], plan.wy[k]);
        const float sws[4] = {sw.w00, sw.w01, sw.w10, sw.w11};
        for (int j = 0; j < 4; ++j) {
          vp.winner.push_back(w[j]);
          s.inverse[w[j]] = e * 4 + j;
          s.weight[4 * static_cast<size_t>(e) + j] = sws[j];
        }
      }
    }
  }
  vp.entry_row[g.low_y] = static_cast<int32_t>(vp.pixel.size());
  // Footprint pixels in raster order of their sources; each source wins at most one target.
  const size_t items = vp.winner.size();
  vp.items.reserve(4 * most);  // the most a view can hold: a later map reuses the pages
  vp.items.resize(items);
  vp.source_row.assign(g.high_y + 1, 0);
  s.columns.resize(cols + 16);
  size_t j = 0;
  for (int y = 0; y < g.high_y; ++y) {
    vp.source_row[y] = static_cast<int32_t>(j);
    int32_t* inv = s.inverse.data() + static_cast<size_t>(y) * cols;
    const int found = winning_columns(inv, cols, s.columns.data(), compress);
    for (int f = 0; f < found; ++f) {
      const int x = s.columns[f];
      const int32_t code = inv[x];
      inv[x] = -1;
      vp.items[j++] = {3 * x + vp.channel[code >> 2], code >> 2, s.weight[code]};
    }
  }
  vp.source_row[g.high_y] = static_cast<int32_t>(j);
}

}  // namespace

void build_fast_plan(const cv::Mat* masks, const cv::Mat& depth, const Geometry& g,
                     ProjectionPlan& plan_, std::vector<WarpScratch>& scratch) {
  ProjectionPlan* plan = &plan_;
  plan->g = g;
  plan->masks = masks;
  plan->depth = depth;
  const double ys = g.yscale(), xs = g.xscale();
  plan->iy.clear();
  plan->wy.clear();
  plan->ix.clear();
  plan->wx.clear();
  for (int k = 0; k < g.low_y; ++k) {
    const Footprint f = view_footprint(k, 0, ys, xs);
    plan->iy.push_back(f.iy);
    plan->wy.push_back(f.wy);
  }
  for (int n = 0; n < g.low_x; ++n) {
    const Footprint f = view_footprint(0, n, ys, xs);
    plan->ix.push_back(f.ix);
    plan->wx.push_back(f.wx);
  }
  plan->winners10.create(g.high_y, g.high_x, CV_32S);
  plan->winners60.create(g.high_y, g.high_x, CV_32S);
  plan->has_finite = false;
  plan->non_finite.clear();
  plan->run_start.clear();
  plan->run_end.clear();
  plan->run_value.clear();
  plan->row_runs.assign(g.high_y + 1, 0);
  for (int y = 0; y < g.high_y; ++y) {
    plan->row_runs[y] = static_cast<int32_t>(plan->run_start.size());
    const float* d = plan->depth.ptr<float>(y);
    for (int x = 0; x < g.high_x; ++x) {
      const float v = d[x];
      if (x == 0 || std::memcmp(&v, &d[x - 1], sizeof v) != 0) {
        if (x > 0) plan->run_end.push_back(x);
        plan->run_start.push_back(x);
        plan->run_value.push_back(v);
      }
      if (std::isfinite(v)) {
        plan->depth_lo = plan->has_finite ? std::min(plan->depth_lo, v) : v;
        plan->depth_hi = plan->has_finite ? std::max(plan->depth_hi, v) : v;
        plan->has_finite = true;
      } else if (std::none_of(plan->non_finite.begin(), plan->non_finite.end(),
                              [&](float u) { return std::memcmp(&u, &v, sizeof v) == 0; })) {
        plan->non_finite.push_back(v);
      }
    }
    if (g.high_x > 0) plan->run_end.push_back(g.high_x);
  }
  plan->row_runs[g.high_y] = static_cast<int32_t>(plan->run_start.size());
  plan->views.resize(view_count);
  const size_t full = static_cast<size_t>(g.full_pixels());
  if (scratch.size() < static_cast<size_t>(worker_threads())) scratch.resize(worker_threads());
  const bool compress = __builtin_cpu_supports("avx512f");
  parallel_items(view_count, [&](int i) {
    WarpScratch& s = scratch[omp_get_thread_num()];
    if (s.inverse.size() != full) s.inverse.assign(full, -1);
    ViewPlan& vp = plan->views[i];
    vp.pixel.clear();
    vp.channel.clear();
    vp.winner.clear();
    cv::Mat* winners = i == 10 ? &plan->winners10 : i == 60 ? &plan->winners60 : nullptr;
    build_view(*plan, masks[i], i, s, vp, winners, compress);
  });
}
