// Raw-domain depth estimation: input checks, dispatch between the reference and fast loops,
// the reference loops themselves and the depth map export.
#include "rawDepthEstimation.h"

#include <opencv2/imgproc.hpp>
#include <string>

#include "PSF.h"
#include "errors.h"
#include "execution.h"
#include "imageio.h"
#include "output_paths.h"
#include "progress.h"
#include "timings.h"

namespace {

RunError depth_error(const std::string& problem) {
  return RunError(exit_internal, "depth estimation: " + problem);
}

std::string describe(const cv::Mat& m) {
  if (m.empty()) return "an empty image";
  return describe_type(m.type()) + " " + std::to_string(m.rows) + " x " + std::to_string(m.cols);
}

void check_image(const cv::Mat& m, int rows, int cols, int type, const std::string& what) {
  if (m.rows != rows || m.cols != cols || m.type() != type || m.dims != 2)
    throw depth_error(what + " is " + describe(m) + ", expected " + describe_type(type) + " " +
                      std::to_string(rows) + " x " + std::to_string(cols));
}

// Mask values are used as channel indices: anything above "no sample" would read or write
// outside a pixel.
void check_mask_values(const cv::Mat& mask, const std::string& what) {
  for (int r = 0; r < mask.rows; ++r) {
    const uchar* p = mask.ptr<uchar>(r);
    for (int c = 0; c < mask.cols; ++c)
      if (p[c] > no_sample)
        throw depth_error(what + " holds the value " + std::to_string(p[c]) + " at (" +
                          std::to_string(r) + ", " + std::to_string(c) + "), expected 0..3");
  }
}

void check_view_and_mask(const cv::Mat& view, const cv::Mat& mask, const Geometry& g,
                         const std::string& suffix) {
  check_image(view, g.low_y, g.low_x, CV_8UC3, "view" + suffix);
  check_image(mask, g.low_y, g.low_x, CV_8UC1, "mask" + suffix);
  check_mask_values(mask, "mask" + suffix);
}

void check_window(int window_size) {
  if (window_size < 1)
    throw depth_error("window size " + std::to_string(window_size) + " is below 1");
}

}  // namespace

rawDepthEstimation::rawDepthEstimation(int min_d, int max_d, int window, const Geometry& g,
                                       const Output* out)
    : min_disparity(min_d), max_disparity(max_d), window_size(window), geom_(g), out_(out) {}

rawDepthEstimation::~rawDepthEstimation() = default;

void rawDepthEstimation::estimate_rawdepth(const cv::Mat& estimate, const cv::Mat* views,
                                           const cv::Mat* masks, cv::Mat& depth) {
  {
    ScopedTiming timing("depth estimation");
    search_rawdisparity(estimate, views, masks, depth);
  }
  ScopedTiming timing("write depth");
  save_depth(depth);
}

void rawDepthEstimation::search_rawdisparity(const cv::Mat& estimate, const cv::Mat* views,
                                             const cv::Mat* masks, cv::Mat& depth) {
  check_window(window_size);
  check_image(estimate, geom_.high_y, geom_.high_x, CV_32FC3, "estimate");
  if (views == nullptr || masks == nullptr) throw depth_error("no views or masks");
  for (int n = 0; n < view_count; ++n)
    check_view_and_mask(views[n], masks[n], geom_, " " + std::to_string(n));
  if (execution().reference)
    reference::search_rawdisparity(estimate, views, masks, depth, min_disparity, max_disparity,
                                   window_size, geom_);
  else
    search_rawdisparity_fast(estimate, views, masks, depth, min_disparity, max_disparity,
                             window_size, geom_);
}

void rawDepthEstimation::blur_ssd(cv::Mat& cost, float large) {
  check_window(window_size);
  if (cost.type() != CV_32FC1 || cost.dims != 2)
    throw depth_error("cost image is " + describe(cost) + ", expected 32-bit float 1-channel");
  if (execution().reference)
    reference::blur_ssd(cost, large, window_size);
  else
    blur_ssd_fast(cost, large, window_size);
}

void rawDepthEstimation::NNresize(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view,
                                  cv::Mat& up_mask) {
  check_view_and_mask(view, mask, geom_, "");
  if (execution().reference)
    reference::NNresize(view, mask, up_view, up_mask, geom_);
  else
    NNresize_fast(view, mask, up_view, up_mask, geom_);
}

void rawDepthEstimation::save_depth(const cv::Mat& depth) {
  if (out_ == nullptr) return;
  write_depth_files(*out_, paths::depth_map(), depth,
                    min_disparity, max_disparity, geom_);
}

void write_depth_files(const Output& out, const std::string& relative, const cv::Mat& depth,
                       int min_disparity, int max_disparity, const Geometry& g) {
  out.write_image(relative, depth_to_grey(depth, min_disparity, max_disparity, g));
  const float s = g.xscale_f();
  out.write_depth_float(relative, depth, static_cast<float>(min_disparity) * s,
                        static_cast<float>(max_disparity) * s);
}

cv::Mat depth_to_grey(const cv::Mat& depth, int min_disparity, int max_disparity,
                      const Geometry& g) {
  const float s = g.xscale_f();
  const double offset = static_cast<float>(min_disparity) * s;
  const double span = static_cast<float>(max_disparity - min_disparity) * s;
  cv::Mat grey = (depth - offset) / span * 255;
  return grey;
}

std::vector<float> disparity_candidates(int min_disparity, int max_disparity,
                                        const Geometry& g) {
  const float s = g.xscale_f();
  const float stop = static_cast<float>(max_disparity) * s + disparity_step;
  std::vector<float> candidates;
  for (float d = static_cast<float>(min_disparity) * s; stop > d; d += disparity_step)
    candidates.push_back(d);
  return candidates;
}

// ---- Reference loops ----

void reference::NNresize(const cv::Mat& view, const cv::Mat& mask, cv::Mat& up_view,
                         cv::Mat& up_mask, const Geometry& g) {
  up_view = cv::Mat::zeros(g.high_y, g.high_x, CV_32FC3);
  up_mask = cv::Mat(g.high_y, g.high_x, CV_8UC1, cv::Scalar(no_sample));
  for (int y = 0; y < g.high_y; ++y) {
    const int k = nearest_view_index(y, g.yscale());
    for (int x = 0; x < g.high_x; ++x) {
      const int n = nearest_view_index(x, g.xscale());
      if (k > g.low_y - 1 || n > g.low_x - 1) continue;
      const uchar m = mask.at<uchar>(k, n);
      up_mask.at<uchar>(y, x) = m;
      if (m != no_sample) up_view.at<cv::Vec3f>(y, x)[m] = view.at<cv::Vec3b>(k, n)[m];
    }
  }
}

void reference::blur_ssd(cv::Mat& cost, float large, int window_size) {
  const int r = window_radius(window_size);
  const int nr = cost.rows, nc = cost.cols;
  const float threshold = ssd_threshold(large);
  cv::Mat result = cv::Mat::zeros(nr, nc, CV_32F);
  for (int i = r; i < nr - r; ++i) {
    for (int j = r; j < nc - r; ++j) {
      float& sum = result.at<float>(i, j);
      int count = 0;
      for (int l = -r; l <= r; ++l) {
        for (int m = -r; m <= r; ++m) {
          const float a = cost.at<float>(i + l, j + m);
          if (ssd_included(a, threshold)) {
            sum += a;
            ++count;
          }
        }
      }
      if (count != 0) sum = sum / count;
    }
  }
  cost = result.clone();
}

void reference::search_rawdisparity(const cv::Mat& estimate, const cv::Mat* views,
                                    const cv::Mat* masks, cv::Mat& depth, int min_disparity,
                                    int max_disparity, int window_size, const Geometry& g) {
  const int H = g.high_y, W = g.high_x;
  cv::Mat blurred;
  reference::PSF(estimate, blurred, g.xscale(), g.yscale());
  cv::Mat best_cost(H, W, CV_32F, cv::Scalar(large_cost));
  cv::Mat best_disparity = cv::Mat::zeros(H, W, CV_32F);

  const std::vector<float> candidates = disparity_candidates(min_disparity, max_disparity, g);
  progress().begin("depth estimation", static_cast<int>(candidates.size()));
  cv::Mat up_view, up_mask;
  for (size_t c = 0; c < candidates.size(); ++c) {
    const float d = candidates[c];
    cv::Mat sum = cv::Mat::zeros(H, W, CV_32F);
    cv::Mat count = cv::Mat::zeros(H, W, CV_32F);
    for (int n = 0; n < view_count; ++n) {
      if (n == center_view) continue;
      reference::NNresize(views[n], masks[n], up_view, up_mask, g);
      const int ty = disparity_shift_rows(d, view_offset_y(n), g);
      const int tx = disparity_shift_cols(d, view_offset_x(n));
      for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
          const int sy = y + ty, sx = x + tx;
          if (sy < 0 || sy > H - 1 || sx < 0 || sx > W - 1) continue;
          const uchar ch = up_mask.at<uchar>(sy, sx);
          if (ch == no_sample) continue;
          sum.at<float>(y, x) += squared_difference(blurred.at<cv::Vec3f>(y, x)[ch],
                                                    up_view.at<cv::Vec3f>(sy, sx)[ch]);
          count.at<float>(y, x) += 1;
        }
      }
    }
    cv::Mat cost(H, W, CV_32F);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        cost.at<float>(y, x) = mean_cost(sum.at<float>(y, x), count.at<float>(y, x));
    reference::blur_ssd(cost, large_cost, window_size);
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        if (best_cost.at<float>(y, x) > cost.at<float>(y, x)) {
          best_cost.at<float>(y, x) = cost.at<float>(y, x);
          best_disparity.at<float>(y, x) = d;
        }
      }
    }
    progress().advance(static_cast<int>(c + 1));
  }
  cv::medianBlur(best_disparity, depth, median_aperture);
  progress().end();
}
