// Threaded projection pipeline. The z-buffer winners of every footprint depend only on the
// disparity map, so they are found once per map (a plan) and shared by the raw error, the
// gradient and the second-order term. The back-warped image of a view is sparse: its blur is
// a scatter of the non-zero samples, visited in raster order of the source pixel, so every
// output still receives its kernel taps in tap order; skipping zero samples is exact because
// no accumulator ever holds -0.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <omp.h>
#include <string>
#include <vector>

#include "PSF.h"
#include "execution.h"
#include "imageio.h"
#include "rawSuperResolution_model.h"
#include "textformat.h"

// Entries of one view: view pixels with a recorded channel and a footprint of four written
// z-buffer entries, in raster order of the view; and their footprint pixels sorted by the
// source pixel that won each of them.
struct ViewPlan {
  std::vector<int32_t> pixel;      // per entry: k * low_x + n
  std::vector<uint8_t> channel;    // per entry: mask value 0..2
  std::vector<int32_t> winner;     // per entry, 4: source pixel of each footprint pixel
  std::vector<int32_t> entry_row;  // low_y + 1: first entry of view row k
  std::vector<int32_t> source;     // per footprint pixel, ascending: source pixel index
  std::vector<int32_t> code;       // same order: entry * 4 + footprint pixel (0..3)
  std::vector<int32_t> source_row; // high_y + 1: first sorted item of source row y
};

struct ProjectionPlan {
  Geometry g;
  cv::Mat depth;               // the bytes it was built from
  std::vector<cv::Mat> masks;
  std::vector<ViewPlan> views;
  cv::Mat winners10, winners60;  // CV_32S full-grid winner maps (-1 empty) for diagnostics
  std::vector<int> iy, ix;       // footprint top-left row per k, column per n
  std::vector<float> wy, wx;     // fractions per k, per n
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
  std::vector<float> z;
  std::vector<int32_t> win;
  std::vector<int32_t> inverse;  // source pixel -> code, -1 where none
};

// Winner of every target of view i: the forward warp's z-buffer test, in raster order.
void warp_winners(const cv::Mat& depth, int view, const Geometry& g, WarpScratch& s) {
  const int rows = g.high_y, cols = g.high_x;
  const int vy = view_offset_y(view), vx = view_offset_x(view);
  std::fill(s.z.begin(), s.z.end(), zbuf_unset);
  std::fill(s.win.begin(), s.win.end(), -1);
  float last = 0.0f;
  int sy = disparity_shift_rows(0.0f, vy, g), sx = disparity_shift_cols(0.0f, vx);
  bool have = false;
  for (int y = 0; y < rows; ++y) {
    const float* d = depth.ptr<float>(y);
    for (int x = 0; x < cols; ++x) {
      const float dv = d[x];
      if (!have || std::memcmp(&dv, &last, sizeof dv) != 0) {
        sy = disparity_shift_rows(dv, vy, g);
        sx = disparity_shift_cols(dv, vx);
        last = dv;
        have = true;
      }
      const int ty = y + sy, tx = x + sx;
      if (ty < 0 || ty >= rows || tx < 0 || tx >= cols) continue;
      const int t = ty * cols + tx;
      if (dv > s.z[t]) {
        s.z[t] = dv;
        s.win[t] = y * cols + x;
      }
    }
  }
}

void build_view(const ProjectionPlan& plan, const cv::Mat& mask, int view, WarpScratch& s,
                ViewPlan& vp, cv::Mat* winners) {
  const Geometry& g = plan.g;
  const int cols = g.high_x;
  warp_winners(plan.depth, view, g, s);
  if (winners) std::memcpy(winners->data, s.win.data(), s.win.size() * sizeof(int32_t));
  vp.entry_row.assign(g.low_y + 1, 0);
  for (int k = 0; k < g.low_y; ++k) {
    vp.entry_row[k] = static_cast<int32_t>(vp.pixel.size());
    const uchar* m = mask.ptr<uchar>(k);
    const int iy = plan.iy[k];
    if (iy < 0 || iy > g.high_y - 2) continue;
    for (int n = 0; n < g.low_x; ++n) {
      const int t = m[n];
      const int ix = plan.ix[n];
      if (t > 2 || ix < 0 || ix > cols - 2) continue;
      const int p = iy * cols + ix;
      const int32_t w0 = s.win[p], w1 = s.win[p + 1], w2 = s.win[p + cols], w3 = s.win[p + cols + 1];
      if (w0 < 0 || w1 < 0 || w2 < 0 || w3 < 0) continue;
      const int32_t e = static_cast<int32_t>(vp.pixel.size());
      vp.pixel.push_back(k * g.low_x + n);
      vp.channel.push_back(static_cast<uint8_t>(t));
      const int32_t w[4] = {w0, w1, w2, w3};
      for (int j = 0; j < 4; ++j) {
        vp.winner.push_back(w[j]);
        s.inverse[w[j]] = e * 4 + j;
      }
    }
  }
  vp.entry_row[g.low_y] = static_cast<int32_t>(vp.pixel.size());
  // Footprint pixels in raster order of their sources; each source wins at most one target.
  vp.source.reserve(vp.winner.size());
  vp.code.reserve(vp.winner.size());
  vp.source_row.assign(g.high_y + 1, 0);
  for (int y = 0; y < g.high_y; ++y) {
    vp.source_row[y] = static_cast<int32_t>(vp.source.size());
    int32_t* inv = s.inverse.data() + static_cast<size_t>(y) * cols;
    for (int x = 0; x < cols; ++x) {
      if (inv[x] < 0) continue;
      vp.source.push_back(y * cols + x);
      vp.code.push_back(inv[x]);
      inv[x] = -1;
    }
  }
  vp.source_row[g.high_y] = static_cast<int32_t>(vp.source.size());
}

bool same_mat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() &&
         std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

bool plan_matches(const ProjectionPlan& p, const cv::Mat* masks, const cv::Mat& depth,
                  const Geometry& g) {
  if (!(p.g == g) || !same_mat(p.depth, depth)) return false;
  for (int i = 0; i < view_count; ++i)
    if (!same_mat(p.masks[i], masks[i])) return false;
  return true;
}

std::shared_ptr<const ProjectionPlan> build_plan(const cv::Mat* masks, const cv::Mat& depth,
                                                 const Geometry& g) {
  auto plan = std::make_shared<ProjectionPlan>();
  plan->g = g;
  plan->depth = depth.clone();
  plan->masks.resize(view_count);
  for (int i = 0; i < view_count; ++i) plan->masks[i] = masks[i].clone();
  const double ys = g.yscale(), xs = g.xscale();
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
  plan->winners10 = cv::Mat(g.high_y, g.high_x, CV_32S);
  plan->winners60 = cv::Mat(g.high_y, g.high_x, CV_32S);
  plan->views.resize(view_count);
  const size_t full = static_cast<size_t>(g.full_pixels());
  std::vector<WarpScratch> scratch(worker_threads());
  parallel_items(view_count, [&](int i) {
    WarpScratch& s = scratch[omp_thread()];
    if (s.z.size() != full) {
      s.z.resize(full);
      s.win.resize(full);
      s.inverse.assign(full, -1);
    }
    cv::Mat* winners = i == 10 ? &plan->winners10 : i == 60 ? &plan->winners60 : nullptr;
    build_view(*plan, plan->masks[i], i, s, plan->views[i], winners);
  });
  return plan;
}

// Sampled colour of entry e of a view from the blurred image.
inline void sample_entry(const ProjectionPlan& p, const ViewPlan& vp, int e, const float* blurred,
                         float S[3]) {
  const int pix = vp.pixel[e];
  const int k = pix / p.g.low_x, n = pix - k * p.g.low_x;
  const float wy = p.wy[k], wx = p.wx[n];
  const float* a = blurred + 3 * static_cast<size_t>(vp.winner[4 * e]);
  const float* b = blurred + 3 * static_cast<size_t>(vp.winner[4 * e + 1]);
  const float* c = blurred + 3 * static_cast<size_t>(vp.winner[4 * e + 2]);
  const float* d = blurred + 3 * static_cast<size_t>(vp.winner[4 * e + 3]);
  for (int ch = 0; ch < 3; ++ch) S[ch] = bilinear(a[ch], b[ch], c[ch], d[ch], wx, wy);
}

// Value kept per entry: residual or projected sample in the entry's channel.
void entry_values(Projection kind, const ProjectionPlan& p, int view, const float* blurred,
                  const cv::Mat* views, std::vector<float>& values) {
  const ViewPlan& vp = p.views[view];
  const int count = static_cast<int>(vp.pixel.size());
  values.resize(count);
  const uchar* recorded = views ? views[view].ptr<uchar>() : nullptr;
  for (int e = 0; e < count; ++e) {
    float S[3];
    sample_entry(p, vp, e, blurred, S);
    const int t = vp.channel[e];
    values[e] = kind == Projection::hessian
                    ? projected_value(S, t)
                    : residual_value(S, t, recorded[3 * static_cast<size_t>(vp.pixel[e]) + t]);
  }
}

// The full warped image of a view from its winner map.
cv::Mat warped_image(const cv::Mat& blurred, const cv::Mat& winners) {
  cv::Mat w = cv::Mat::zeros(blurred.rows, blurred.cols, CV_32FC3);
  const int32_t* win = winners.ptr<int32_t>();
  const cv::Vec3f* b = blurred.ptr<cv::Vec3f>();
  cv::Vec3f* o = w.ptr<cv::Vec3f>();
  for (size_t t = 0; t < winners.total(); ++t)
    if (win[t] >= 0) o[t] = b[win[t]];
  return w;
}

cv::Mat value_image(const ProjectionPlan& p, const ViewPlan& vp, const std::vector<float>& values) {
  cv::Mat v = cv::Mat::zeros(p.g.low_y, p.g.low_x, CV_32FC3);
  float* o = v.ptr<float>();
  for (size_t e = 0; e < values.size(); ++e) o[3 * static_cast<size_t>(vp.pixel[e]) + vp.channel[e]] = values[e];
  return v;
}

__attribute__((target_clones("avx2", "default"))) void add_and_clear(float* __restrict dst,
                                                                     float* __restrict acc,
                                                                     size_t n) {
  for (size_t i = 0; i < n; ++i) {
    dst[i] += acc[i];
    acc[i] = 0.0f;
  }
}

constexpr int band_rows = 16;

// Adds, per view in ascending order, the blur of the back-warped splat of `values` to `out`.
void carry_back(const ProjectionPlan& p, const std::vector<std::vector<float>>& values,
                cv::Mat& out) {
  const Geometry& g = p.g;
  const int rows = g.high_y, cols = g.high_x;
  const cv::Mat kernel = psf_kernel(g.xscale(), g.yscale());
  const int hr = (kernel.rows - 1) / 2, hc = (kernel.cols - 1) / 2;
  std::vector<float> kw(kernel.total());
  for (size_t i = 0; i < kw.size(); ++i) kw[i] = static_cast<float>(kernel.ptr<double>()[i]);
  const int kcols = kernel.cols;
  const int bands = (rows + band_rows - 1) / band_rows;
  std::vector<std::vector<float>> scratch(worker_threads());
  parallel_bands(bands, [&](int b0, int b1) {
    std::vector<float>& acc = scratch[omp_thread()];
    acc.assign(static_cast<size_t>(band_rows) * cols * 3, 0.0f);
    for (int b = b0; b < b1; ++b) {
      const int y0 = b * band_rows, y1 = std::min(rows, y0 + band_rows);
      for (int i = 0; i < view_count; ++i) {
        const ViewPlan& vp = p.views[i];
        const std::vector<float>& val = values[i];
        const int r0 = std::max(0, y0 - hr), r1 = std::min(rows, y1 + hr);
        for (int py = r0; py < r1; ++py) {
          const int l_lo = std::max(-hr, py - (y1 - 1)), l_hi = std::min(hr, py - y0);
          for (int j = vp.source_row[py]; j < vp.source_row[py + 1]; ++j) {
            const int code = vp.code[j];
            const int e = code >> 2, corner = code & 3;
            const float r = val[e];
            if (r == 0.0f) continue;
            const int pix = vp.pixel[e];
            const int k = pix / g.low_x, n = pix - k * g.low_x;
            const SplatWeights sw = splat_weights(p.wx[n], p.wy[k]);
            const float w = corner == 0 ? sw.w00 : corner == 1 ? sw.w01 : corner == 2 ? sw.w10 : sw.w11;
            const float v = r * w;
            if (v == 0.0f) continue;
            const int px = vp.source[j] - py * cols;
            const int t = vp.channel[e];
            const int m_lo = std::max(-hc, px - (cols - 1)), m_hi = std::min(hc, px);
            for (int l = l_lo; l <= l_hi; ++l) {
              // Output row py - l takes this sample as its tap l.
              float* row = acc.data() + (static_cast<size_t>(py - l - y0) * cols) * 3 + t;
              const float* kr = kw.data() + (l + hr) * kcols + hc;
              for (int m = m_lo; m <= m_hi; ++m) row[3 * (px - m)] += v * kr[m];
            }
          }
        }
        add_and_clear(out.ptr<float>(y0), acc.data(), static_cast<size_t>(y1 - y0) * cols * 3);
      }
    }
  });
}

}  // namespace

void project_views_fast(Projection kind, const cv::Mat& image, const cv::Mat* views,
                        const cv::Mat* masks, const cv::Mat& depth, const Geometry& g,
                        cv::Mat& out, const Output* diag, PlanCache* cache) {
  if (!footprints_disjoint(g)) {
    reference::project_views(kind, image, views, masks, depth, g, out, diag);
    return;
  }
  PlanCache plan;
  if (cache && *cache && plan_matches(**cache, masks, depth, g))
    plan = *cache;
  else
    plan = build_plan(masks, depth, g);
  if (cache) *cache = plan;
  const ProjectionPlan& p = *plan;

  const std::string dir = strformat("bigSR/view%03d/", view_count);
  const bool diagnostics = kind == Projection::gradient && diag != nullptr;
  cv::Mat blurred;
  PSF(image, blurred, g.xscale(), g.yscale());
  if (diagnostics) diag->write_image(dir + "blur.ppm", blurred);
  const float* bl = blurred.ptr<float>();

  if (kind == Projection::error) {
    parallel_bands(g.low_y, [&](int k0, int k1) {
      float* acc = out.ptr<float>();
      for (int i = 0; i < view_count; ++i) {
        const ViewPlan& vp = p.views[i];
        const uchar* recorded = views[i].ptr<uchar>();
        for (int e = vp.entry_row[k0]; e < vp.entry_row[k1]; ++e) {
          float S[3];
          sample_entry(p, vp, e, bl, S);
          const size_t at = 3 * static_cast<size_t>(vp.pixel[e]) + vp.channel[e];
          const float r = residual_value(S, vp.channel[e], recorded[at]);
          if (r != 0.0f) acc[at] += std::fabs(r);
        }
      }
    });
    return;
  }

  std::vector<std::vector<float>> values(view_count);
  parallel_items(view_count, [&](int i) { entry_values(kind, p, i, bl, views, values[i]); });
  if (diagnostics) {
    for (int i : {10, 60}) {
      diag->write_image(dir + strformat("motion%d.ppm", i),
                        warped_image(blurred, i == 10 ? p.winners10 : p.winners60));
      diag->write_image(dir + strformat("error%d.ppm", i), value_image(p, p.views[i], values[i]));
    }
  }
  carry_back(p, values, out);
}
