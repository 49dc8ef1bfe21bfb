// Threaded projection pipeline. The z-buffer winners of every footprint depend only on the
// disparity map, so they are found once per map (a plan) and shared by the raw error, the
// gradient and the second-order term. The back-warped image of a view is sparse: its blur is
// a scatter of the non-zero samples, visited in raster order of the source pixel, so every
// output still receives its kernel taps in tap order; skipping zero samples is exact because
// no accumulator ever holds -0.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <omp.h>
#include <string>
#include <vector>

#include "PSF.h"
#include "execution.h"
#include "hugepages.h"
#include "imageio.h"
#include "rawSuperResolution_model.h"
#include "textformat.h"
#include "timings.h"

// Entries of one view: view pixels with a recorded channel and a footprint of four written
// z-buffer entries, in raster order of the view; and their footprint pixels sorted by the
// source pixel that won each of them.
struct ViewPlan {
  HugeVector<int32_t> pixel;      // per entry: k * low_x + n
  HugeVector<uint8_t> channel;    // per entry: mask value 0..2
  HugeVector<int32_t> winner;     // per entry, 4: source pixel of each footprint pixel
  std::vector<int32_t> entry_row; // low_y + 1: first entry of view row k
  // Footprint pixels sorted by source pixel, each with what its back-warped value needs.
  struct Item {
    int32_t offset;  // 3 * source column + channel, within the source row
    int32_t entry;   // the entry whose value it carries
    float weight;    // splat weight of this footprint pixel
  };
  HugeVector<Item> items;
  HugeVector<int32_t> source_row; // high_y + 1: first sorted item of source row y
};

struct ProjectionPlan {
  Geometry g;
  cv::Mat depth;               // the bytes it was built from
  std::vector<cv::Mat> masks;
  std::vector<ViewPlan> views;
  cv::Mat winners10, winners60;  // CV_32S full-grid winner maps (-1 empty) for diagnostics
  std::vector<int> iy, ix;       // footprint top-left row per k, column per n
  std::vector<float> wy, wx;     // fractions per k, per n
  // Extreme finite disparities (when there is one) and the distinct non-finite values.
  bool has_finite = false;
  float depth_lo = 0.0f, depth_hi = 0.0f;
  std::vector<float> non_finite;
  // Runs of bitwise-equal disparities along each row: a run moves to the target as one block
  // of consecutive pixels, whose z-buffer tests are independent of one another.
  HugeVector<int32_t> run_start, run_end;  // per run: first column, one past its last
  HugeVector<float> run_value;
  std::vector<int32_t> row_runs;           // high_y + 1: first run of row y
  // Working buffers reused by every call on this plan (fresh pages are costly to fault in).
  mutable std::vector<HugeVector<float>> values;   // per view: value per entry
  mutable std::vector<std::vector<float>> scratch;  // per thread: band accumulator
  mutable cv::Mat blurred;                          // the blurred input of the last call
  mutable cv::Mat next_blurred;                     // the blur of a call, before it is kept
  // The residuals of the last error or gradient call stay in `values`: a gradient of the
  // same blurred image against the same recorded views takes them as they are.
  mutable bool residuals_kept = false;
  mutable std::vector<cv::Mat> residual_views;     // the recorded views they were taken from
  mutable cv::Mat blurred8, warped, value;          // diagnostic images (8-bit ones for
                                                    // the blur and the warped views)
};

namespace {

// Index of the calling thread inside parallel_bands / parallel_items (0 outside).
int omp_thread() { return omp_get_thread_num(); }

// Footprints of distinct view pixels never share a full-resolution pixel, so each splat
// pixel receives at most one contribution.
bool footprints_disjoint(const Geometry& g) {
  const double ys = g.yscale(), xs = g.xscale();
  for (int k = 0; k + 1 < g.low_y; ++k)
    if (view_footprint(k + 1, 0, ys, xs).iy < view_footprint(k, 0, ys, xs).iy + 2) return false;
  for (int n = 0; n + 1 < g.low_x; ++n)
    if (view_footprint(0, n + 1, ys, xs).ix < view_footprint(0, n, ys, xs).ix + 2) return false;
  return true;
}

struct WarpScratch {
  HugeVector<float> z;          // z-buffer of one band of target rows
  HugeVector<int32_t> win;      // winners of that band
  HugeVector<int32_t> inverse;  // source pixel -> code, -1 where none
  HugeVector<float> weight;     // per code: splat weight of that footprint pixel
  std::vector<int32_t> columns; // source columns of one row that won a footprint pixel
};

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
int winning_columns(const int32_t* inv, int n, int32_t* out) {
  static const bool compress = __builtin_cpu_supports("avx512f");
  return compress ? set_columns_avx512(inv, n, out) : set_columns(inv, 0, n, out, 0);
}

// View rows per band of the plan build; the band's z-buffer stays in cache.
constexpr int plan_band_rows = 8;

void build_view(const ProjectionPlan& plan, const cv::Mat& mask, int view, WarpScratch& s,
                ViewPlan& vp, cv::Mat* winners) {
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
    const int found = winning_columns(inv, cols, s.columns.data());
    for (int f = 0; f < found; ++f) {
      const int x = s.columns[f];
      const int32_t code = inv[x];
      inv[x] = -1;
      vp.items[j++] = {3 * x + vp.channel[code >> 2], code >> 2, s.weight[code]};
    }
  }
  vp.source_row[g.high_y] = static_cast<int32_t>(j);
}

// The two images hold the same bytes, row by row; large ones (the disparity map, the blurred
// image) are compared in bands on every thread.
bool same_mat(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  const size_t row_bytes = a.cols * a.elemSize();
  const auto same_rows = [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y)
      if (std::memcmp(a.ptr(y), b.ptr(y), row_bytes) != 0) return false;
    return true;
  };
  constexpr size_t banded_bytes = size_t(4) << 20;
  if (row_bytes * a.rows < banded_bytes) return same_rows(0, a.rows);
  std::vector<uint8_t> differs(worker_threads(), 0);
  parallel_bands(a.rows, [&](int y0, int y1) { differs[omp_thread()] = !same_rows(y0, y1); });
  return std::none_of(differs.begin(), differs.end(), [](uint8_t d) { return d != 0; });
}

// The images (recorded views, or masks) equal the kept copies, byte for byte.
bool same_images(const std::vector<cv::Mat>& kept, const cv::Mat* images) {
  if (kept.size() != static_cast<size_t>(view_count)) return false;
  std::vector<uint8_t> same(view_count);
  parallel_items(view_count, [&](int i) { same[i] = same_mat(kept[i], images[i]); });
  return std::all_of(same.begin(), same.end(), [](uint8_t v) { return v != 0; });
}

// Copies of the recorded views, taken only where they differ from the kept ones.
void keep_views(std::vector<cv::Mat>& kept, const cv::Mat* views) {
  kept.resize(view_count);
  parallel_items(view_count, [&](int i) {
    if (!same_mat(kept[i], views[i])) views[i].copyTo(kept[i]);
  });
}

bool plan_matches(const ProjectionPlan& p, const cv::Mat* masks, const cv::Mat& depth,
                  const Geometry& g) {
  return p.g == g && same_mat(p.depth, depth) && same_images(p.masks, masks);
}

// Builds the plan for masks and depth, reusing the buffers of `recycled` (a plan nobody
// else holds) so that a new disparity map does not fault in fresh pages.
std::shared_ptr<const ProjectionPlan> build_plan(const cv::Mat* masks, const cv::Mat& depth,
                                                 const Geometry& g,
                                                 std::shared_ptr<ProjectionPlan> recycled,
                                                 std::vector<WarpScratch>& scratch) {
  std::shared_ptr<ProjectionPlan> plan =
      recycled ? std::move(recycled) : std::make_shared<ProjectionPlan>();
  plan->g = g;
  plan->residuals_kept = false;
  depth.copyTo(plan->depth);
  plan->masks.resize(view_count);
  for (int i = 0; i < view_count; ++i) masks[i].copyTo(plan->masks[i]);
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
  parallel_items(view_count, [&](int i) {
    WarpScratch& s = scratch[omp_thread()];
    if (s.inverse.size() != full) s.inverse.assign(full, -1);
    ViewPlan& vp = plan->views[i];
    vp.pixel.clear();
    vp.channel.clear();
    vp.winner.clear();
    cv::Mat* winners = i == 10 ? &plan->winners10 : i == 60 ? &plan->winners60 : nullptr;
    build_view(*plan, plan->masks[i], i, s, vp, winners);
  });
  return plan;
}

// Value of entry e (view row k) of a view from the blurred image: the projected sample in the
// entry's channel t, or the recorded sample minus it. Only channel t is interpolated unless it
// is 0, when the other two decide whether the footprint saw nothing (residual 0); every
// channel is interpolated as in the full colour, so the value keeps its bits.
inline float entry_value(Projection kind, const ProjectionPlan& p, const ViewPlan& vp, int k,
                         int e, const float* blurred, const uchar* recorded) {
  const int t = vp.channel[e];
  if (t > 2) return 0.0f;
  const int n = vp.pixel[e] - k * p.g.low_x;
  const float wy = p.wy[k], wx = p.wx[n];
  const int32_t* w = &vp.winner[4 * static_cast<size_t>(e)];
  const float* a = blurred + 3 * static_cast<size_t>(w[0]);
  const float* b = blurred + 3 * static_cast<size_t>(w[1]);
  const float* c = blurred + 3 * static_cast<size_t>(w[2]);
  const float* d = blurred + 3 * static_cast<size_t>(w[3]);
  const auto at = [&](int ch) { return bilinear(a[ch], b[ch], c[ch], d[ch], wx, wy); };
  const float St = at(t);
  if (kind == Projection::hessian) return St;
  const unsigned char r = recorded[3 * static_cast<size_t>(vp.pixel[e]) + t];
  if (St != 0.0f) return static_cast<float>(r) - St;
  const float S[3] = {t == 0 ? St : at(0), t == 1 ? St : at(1), t == 2 ? St : at(2)};
  return residual_value(S, t, r);
}

// Value kept per entry of view rows [k0, k1) of every view: residual or projected sample in
// the entry's channel. Rows outer, views inner, so the blurred rows stay in cache.
void entry_values(Projection kind, const ProjectionPlan& p, int k0, int k1, const float* blurred,
                  const cv::Mat* views, std::vector<HugeVector<float>>& values) {
  for (int i = 0; i < view_count; ++i) {
    const ViewPlan& vp = p.views[i];
    float* val = values[i].data();
    const uchar* recorded = views ? views[i].ptr<uchar>() : nullptr;
    for (int k = k0; k < k1; ++k)
      for (int e = vp.entry_row[k]; e < vp.entry_row[k + 1]; ++e)
        val[e] = entry_value(kind, p, vp, k, e, blurred, recorded);
  }
}

// Calls body(k0, k1) on chunks of a few view rows, chunks spread over the threads.
constexpr int chunk_rows = 4;
template <class Body>
void view_row_chunks(int rows, Body&& body) {
  const int chunks = (rows + chunk_rows - 1) / chunk_rows;
  parallel_bands(chunks, [&](int c0, int c1) {
    for (int c = c0; c < c1; ++c) body(c * chunk_rows, std::min(rows, (c + 1) * chunk_rows));
  });
}

// The full warped image of a view from its winner map, in 8 bits, into w: the warp moves
// samples and leaves the rest 0, so it commutes with the conversion to 8 bits, and the
// blurred image (blurred8) is converted once for the blur and both warped images.
void warped_image(const cv::Mat& blurred8, const cv::Mat& winners, cv::Mat& w) {
  w.create(blurred8.rows, blurred8.cols, CV_8UC3);
  parallel_bands(blurred8.rows, [&](int y0, int y1) {
    const cv::Vec3b* b = blurred8.ptr<cv::Vec3b>();
    for (int y = y0; y < y1; ++y) {
      const int32_t* win = winners.ptr<int32_t>(y);
      cv::Vec3b* o = w.ptr<cv::Vec3b>(y);
      for (int x = 0; x < blurred8.cols; ++x) o[x] = win[x] >= 0 ? b[win[x]] : cv::Vec3b();
    }
  });
}

// The values of a view's entries in their channels, zero elsewhere, into v.
void value_image(const ProjectionPlan& p, const ViewPlan& vp, const HugeVector<float>& values,
                 cv::Mat& v) {
  v.create(p.g.low_y, p.g.low_x, CV_32FC3);
  v.setTo(cv::Scalar::all(0));
  float* o = v.ptr<float>();
  for (size_t e = 0; e < values.size(); ++e) o[3 * static_cast<size_t>(vp.pixel[e]) + vp.channel[e]] = values[e];
}

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

// Rows [y0, y0 + n) of out into the transposed band t (lane L: row y0 + L; lanes past n
// zero), and back.
__attribute__((target_clones("avx2", "default"))) void band_in(const cv::Mat& out, int y0,
                                                               int n, v8* t) {
  const int floats = 3 * out.cols;
  int P = 0;
  if (n == lanes) {
    for (; P + lanes <= floats; P += lanes) {
      v8 r[lanes];
      for (int L = 0; L < lanes; ++L) std::memcpy(&r[L], out.ptr<float>(y0 + L) + P, sizeof(v8));
      transpose8(r);
      for (int j = 0; j < lanes; ++j) t[P + j] = r[j];
    }
  }
  for (int Q = P; Q < floats; ++Q) t[Q] = v8{};
  for (int L = 0; L < n; ++L) {
    const float* row = out.ptr<float>(y0 + L);
    for (int Q = P; Q < floats; ++Q) t[Q][L] = row[Q];
  }
}
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

// Adds, per view in ascending order, the blur of the back-warped splat of `values` to `out`,
// or to zeros without reading `out` (overwrite).
void carry_back(const ProjectionPlan& p, const std::vector<HugeVector<float>>& values,
                cv::Mat& out, Into into) {
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
  std::vector<std::vector<float>>& scratch = p.scratch;
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
    const int thread = omp_thread();
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
      if (into == Into::add)
        band_in(out, y0, n, band);
      else
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

}  // namespace

void project_views_fast(Projection kind, const cv::Mat& image, const cv::Mat* views,
                        const cv::Mat* masks, const cv::Mat& depth, const Geometry& g,
                        cv::Mat& out, const Output* diag, PlanCache* cache, Into into) {
  const bool disjoint = footprints_disjoint(g);
  // Only the back-projection below starts from zeros of its own; the small error image and
  // the plain fallback add to a cleared image.
  if (into == Into::overwrite && (kind == Projection::error || !disjoint))
    out.setTo(cv::Scalar::all(0));
  if (!disjoint) {
    reference::project_views(kind, image, views, masks, depth, g, out, diag);
    return;
  }
  PlanCache plan;
  if (cache && *cache && plan_matches(**cache, masks, depth, g)) {
    plan = *cache;
  } else {
    std::shared_ptr<ProjectionPlan> recycled;
    if (cache && cache->use_count() == 1)
      recycled = std::const_pointer_cast<ProjectionPlan>(std::move(*cache));
    if (cache) cache->reset();
    // Reused by every build; builds run on the calling thread, one at a time.
    static std::vector<WarpScratch> warp_scratch;
    ScopedTiming timing("projection plan");
    plan = build_plan(masks, depth, g, std::move(recycled), warp_scratch);
  }
  if (cache) *cache = plan;
  const ProjectionPlan& p = *plan;

  const std::string dir = strformat("bigSR/view%03d/", view_count);
  const bool diagnostics = kind == Projection::gradient && diag != nullptr;
  {
    ScopedTiming timing("blur");
    PSF(image, p.next_blurred, g.xscale(), g.yscale());
  }
  const bool residual = kind != Projection::hessian;
  const bool reuse = kind == Projection::gradient && p.residuals_kept &&
                     same_mat(p.next_blurred, p.blurred) && same_images(p.residual_views, views);
  std::swap(p.blurred, p.next_blurred);
  const cv::Mat& blurred = p.blurred;
  ScopedTiming diag_timing("diagnostic images");
  if (diagnostics) {
    eight_bit_image(blurred, p.blurred8);
    diag->write_image_behind(dir + "blur.ppm", p.blurred8);
  }
  diag_timing.stop();
  const float* bl = blurred.ptr<float>();

  std::vector<HugeVector<float>>& values = p.values;
  values.resize(view_count);
  for (int i = 0; i < view_count; ++i) {
    values[i].reserve(p.views[i].pixel.capacity());  // as many as the view can hold
    values[i].resize(p.views[i].pixel.size());
  }
  p.residuals_kept = false;  // until values hold this call's residuals
  if (kind == Projection::error) {
    // The residuals of a chunk of view rows, then their absolute values added to the error,
    // view by view in ascending order.
    view_row_chunks(g.low_y, [&](int k0, int k1) {
      entry_values(kind, p, k0, k1, bl, views, values);
      float* acc = out.ptr<float>();
      for (int i = 0; i < view_count; ++i) {
        const ViewPlan& vp = p.views[i];
        const float* val = values[i].data();
        for (int e = vp.entry_row[k0]; e < vp.entry_row[k1]; ++e)
          if (val[e] != 0.0f) acc[3 * static_cast<size_t>(vp.pixel[e]) + vp.channel[e]] += std::fabs(val[e]);
      }
    });
  } else if (!reuse) {
    ScopedTiming timing("sample views");
    view_row_chunks(g.low_y, [&](int k0, int k1) { entry_values(kind, p, k0, k1, bl, views, values); });
  }
  if (residual) {
    if (!reuse) keep_views(p.residual_views, views);
    p.residuals_kept = true;
  }
  if (kind == Projection::error) return;
  if (diagnostics) {
    ScopedTiming timing("diagnostic images");
    for (int i : {10, 60}) {
      warped_image(p.blurred8, i == 10 ? p.winners10 : p.winners60, p.warped);
      diag->write_image_behind(dir + strformat("motion%d.ppm", i), p.warped);
      value_image(p, p.views[i], values[i], p.value);
      diag->write_image_behind(dir + strformat("error%d.ppm", i), p.value);
    }
  }
  ScopedTiming timing("carry back");
  carry_back(p, values, out, into);
}
