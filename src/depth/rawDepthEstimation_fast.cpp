// Fast depth estimation: the same sweep as the reference loops, byte for byte.
// Each view is expanded once per estimation into a table of its samples per view row and
// full-resolution column, so a candidate's shift becomes a plain offset into that table; the
// cost of a pixel still adds the views in ascending order, and the window mean still adds its
// taps in raster order (a left-out cost adds +0, which changes nothing since the sum starts at
// +0 and can never become -0). Rows are shared out between threads; no sum is split.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "PSF.h"
#include "depth_row_kernels.h"
#include "execution.h"
#include "hugepages.h"
#include "progress.h"
#include "rawDepthEstimation.h"

namespace {

// ---- Working memory ----

// Images of one estimation in huge pages: a full-size sweep touches about 300 MB. Given a
// pool, the blocks outlive the arena and the next estimation takes them again in the same
// order: fresh pages cost more to fault in than the sweep takes to fill them.
using Block = std::unique_ptr<void, decltype(&huge_free)>;
struct Pool {
  std::mutex busy;  // one estimation at a time uses the pool
  std::vector<std::pair<Block, size_t>> blocks;
};

class Arena {
 public:
  Arena() = default;
  explicit Arena(Pool& pool) : lock_(pool.busy, std::try_to_lock) {
    if (lock_.owns_lock()) pool_ = &pool;  // another estimation holds it: fresh blocks
  }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  cv::Mat mat(int rows, int cols, int type) {
    const size_t bytes = std::max(static_cast<size_t>(rows) * cols * CV_ELEM_SIZE(type),
                                  huge_page_bytes);  // small images too
    std::vector<std::pair<Block, size_t>>& blocks = pool_ ? pool_->blocks : own_;
    const size_t i = used_++;
    if (i == blocks.size()) blocks.emplace_back(Block(nullptr, &huge_free), 0);
    if (blocks[i].second < bytes) {
      blocks[i].first.reset();  // the old block goes before the new one is taken
      blocks[i] = {Block(huge_alloc(bytes), &huge_free), bytes};
    }
    return cv::Mat(rows, cols, type, blocks[i].first.get());
  }

 private:
  std::unique_lock<std::mutex> lock_;
  Pool* pool_ = nullptr;
  std::vector<std::pair<Block, size_t>> own_;
  size_t used_ = 0;
};


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
  Arena arena;
  cv::Mat kept = arena.mat(nr, nc, CV_32F), included = arena.mat(nr, nc, CV_8UC1);
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
  static Pool pool;  // kept for the re-estimations of a run
  Arena arena(pool);

  cv::Mat planes[3];
  {
    cv::Mat blurred = arena.mat(H, W, CV_32FC3);
    PSF_fast_into(estimate, blurred, g.xscale(), g.yscale());
    for (cv::Mat& p : planes) p = arena.mat(H, W, CV_32F);
    library_bands(H, [&](int y0, int y1) {
      cv::Mat bands[3] = {planes[0].rowRange(y0, y1), planes[1].rowRange(y0, y1),
                          planes[2].rowRange(y0, y1)};
      cv::split(blurred.rowRange(y0, y1), bands);
    });
  }

  const std::vector<float> candidates = disparity_candidates(min_disparity, max_disparity, g);
  const int nc = static_cast<int>(candidates.size());
  std::vector<int> ty(static_cast<size_t>(nc) * view_count), tx(ty.size());
  int widest = 0;
  for (int c = 0; c < nc; ++c)
    for (int n = 0; n < view_count; ++n) {
      ty[c * view_count + n] = disparity_shift_rows(candidates[c], view_offset_y(n), g);
      tx[c * view_count + n] = disparity_shift_cols(candidates[c], view_offset_x(n));
      widest = std::max(widest, std::abs(tx[c * view_count + n]));
    }

  // Every view's samples per view row and full-resolution column, with a margin of "no
  // sample" on both sides so that shifted columns just outside the grid need no test.
  const int pad = std::min(widest, max_table_margin);
  const int stride = W + 2 * pad;
  const std::vector<int> row_of = nearest_index_table(H, g.low_y, g.yscale());
  const std::vector<int> col_of = nearest_index_table(W, g.low_x, g.xscale());
  cv::Mat tables = arena.mat(view_count * g.low_y, stride, CV_16UC1);
  auto table_row = [&](int n, int k) { return tables.ptr<Entry>(n * g.low_y + k) + pad; };
  parallel_items(view_count, [&](int n) {
    if (n == center_view) return;
    std::vector<Entry> samples(g.low_x);
    for (int k = 0; k < g.low_y; ++k) {
      const uchar* mk = masks[n].ptr<uchar>(k);
      const cv::Vec3b* vk = views[n].ptr<cv::Vec3b>(k);
      for (int c = 0; c < g.low_x; ++c) samples[c] = make_entry(mk[c], vk[c]);
      Entry* t = table_row(n, k);
      std::fill(t - pad, t, no_entry);
      std::fill(t + W, t + W + pad, no_entry);
      for (int sx = 0; sx < W; ++sx) t[sx] = col_of[sx] < 0 ? no_entry : samples[col_of[sx]];
    }
  });

  cv::Mat best_cost = arena.mat(H, W, CV_32F), best_disparity = arena.mat(H, W, CV_32F);
  best_cost.setTo(cv::Scalar(large_cost));
  best_disparity.setTo(cv::Scalar(0));
  cv::Mat kept = arena.mat(H, W, CV_32F), included = arena.mat(H, W, CV_8UC1);

  progress().begin("depth estimation", nc);
  for (int c = 0; c < nc; ++c) {
    const float d = candidates[c];
    const int* cty = ty.data() + c * view_count;
    const int* ctx = tx.data() + c * view_count;

    // Mean squared difference per pixel over the views, ready for the window mean.
    parallel_bands(H, [&](int begin, int end) {
      std::vector<float> sum(W), count(W);
      const Entry* row[view_count];
      const Entry* from[view_count];
      int shift[view_count];
      for (int y = begin; y < end; ++y) {
        const float* b0 = planes[0].ptr<float>(y);
        const float* b1 = planes[1].ptr<float>(y);
        const float* b2 = planes[2].ptr<float>(y);
        // Views whose shifted row holds samples, ascending, and the columns [lo, hi) whose
        // shifted columns all lie inside the grid or its margin of "no sample".
        int nv = 0, lo = 0, hi = W;
        for (int n = 0; n < view_count; ++n) {
          if (n == center_view) continue;
          const int sy = y + cty[n];
          if (sy < 0 || sy > H - 1 || row_of[sy] < 0) continue;
          row[nv] = table_row(n, row_of[sy]);
          shift[nv] = ctx[n];
          lo = std::max(lo, -ctx[n] - pad);
          hi = std::min(hi, W - ctx[n] + pad);
          ++nv;
        }
        if (lo >= hi) lo = hi = W;
        // Columns near the ends, where some views fall beyond the margin: view by view.
        const int parts[2][2] = {{0, lo}, {hi, W}};
        for (const auto& part : parts) {
          const int p0 = part[0], p1 = part[1];
          if (p0 >= p1) continue;
          std::fill(sum.begin() + p0, sum.begin() + p1, 0.0f);
          std::fill(count.begin() + p0, count.begin() + p1, 0.0f);
          for (int v = 0; v < nv; ++v) {
            const int a = std::max(p0, -shift[v]), b = std::min(p1, W - shift[v]);
            if (a < b)
              accumulate_view(row[v] + a + shift[v], b0 + a, b1 + a, b2 + a, sum.data() + a,
                              count.data() + a, b - a);
          }
        }
        for (int v = 0; v < nv; ++v) from[v] = row[v] + lo + shift[v];
        accumulate_views(from, nv, b0 + lo, b1 + lo, b2 + lo, sum.data() + lo,
                         count.data() + lo, hi - lo);
        mean_costs(sum.data(), count.data(), threshold, kept.ptr<float>(y),
                   included.ptr<std::uint8_t>(y), W);
      }
    });
    // Window mean and winner-takes-all.
    parallel_bands(H, [&](int begin, int end) {
      smooth_rows(kept, included, r, begin, end, [&](int i, const float* smoothed) {
        take_lower(smoothed, d, best_cost.ptr<float>(i), best_disparity.ptr<float>(i), W);
      });
    });
    progress().advance(c + 1);
  }
  cv::medianBlur(best_disparity, depth, median_aperture);
  progress().end();
}
