// Exposure rendering: per-view supersampled box integrals placed under the lenslets.
#include "render.h"

#include <cmath>

#include "execution.h"
#include "viewCreate.h"

cv::Vec2d view_direction(int view, const Geometry& g) {
  const double vy = view_offset_y(view), vx = view_offset_x(view);
  return cv::Vec2d(vy / vertical_divisor * g.yscale() / g.xscale(), vx);
}

void place_samples(const Geometry& g, cv::Mat& colour, const SampleFn& sample) {
  CV_Assert(colour.type() == CV_32FC3);
  parallel_bands(g.lens_rows, [&](int begin, int end) {
    for (int r = begin; r < end; ++r) {
      for (int c = 0; c < g.lens_cols; ++c) {
        const int iy = cvRound(g.lenslet_row(r, c)), ix = cvRound(g.lenslet_col(r, c));
        for (int i = 0; i < view_count; ++i) {
          const int py = iy + view_sample_dy(i), px = ix + view_sample_dx(i);
          if (py < 0 || py >= colour.rows || px < 0 || px >= colour.cols) continue;
          colour.at<cv::Vec3f>(py, px) = sample(i, r, c);
        }
      }
    }
  });
}

cv::Vec3f render_view_pixel(const Scene& scene, const Geometry& g, int view, int k, int n,
                            const RenderOptions& o) {
  const cv::Vec2d w = view_direction(view, g);
  const double ys = g.yscale(), xs = g.xscale();
  const double cy = k * ys, cx = n * xs;
  cv::Vec3d sum(0, 0, 0);
  for (int a = 0; a < o.view_samples_y; ++a) {
    const double y = cy + ((a + 0.5) / o.view_samples_y - 0.5) * ys;
    for (int b = 0; b < o.view_samples_x; ++b) {
      const double x = cx + ((b + 0.5) / o.view_samples_x - 0.5) * xs;
      const ScenePoint p = scene.look(y, x, w[0], w[1]);
      if (p.hit) sum += p.colour;
    }
  }
  const double count = static_cast<double>(o.view_samples_y) * o.view_samples_x;
  return cv::Vec3f(static_cast<float>(sum[0] / count), static_cast<float>(sum[1] / count),
                   static_cast<float>(sum[2] / count));
}

namespace {

// Standard normal deviate from two hashes of (seed, index) by the Box-Muller transform, so
// that the noise of a pixel never depends on the order in which pixels are visited.
double gaussian(unsigned long long seed, unsigned long long index) {
  const unsigned long long h = mix64(mix64(seed ^ 0x6a09e667f3bcc909ULL) + index);
  const double u1 = 1.0 - unit_from_hash(h);  // (0, 1]
  const double u2 = unit_from_hash(mix64(h));
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

}  // namespace

void quantise_exposure(const cv::Mat& colour, const RenderOptions& o, cv::Mat& rgb, cv::Mat& raw) {
  rgb.create(colour.size(), CV_8UC3);
  raw.create(colour.size(), CV_8UC1);
  parallel_bands(colour.rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const cv::Vec3f* src = colour.ptr<cv::Vec3f>(y);
      cv::Vec3b* dst = rgb.ptr<cv::Vec3b>(y);
      uchar* mosaic = raw.ptr<uchar>(y);
      for (int x = 0; x < colour.cols; ++x) {
        for (int ch = 0; ch < 3; ++ch) {
          double v = src[x][ch];
          if (o.noise_sigma > 0) {
            const unsigned long long index = (static_cast<unsigned long long>(y) * colour.cols + x) * 3 + ch;
            v += o.noise_sigma * gaussian(o.seed, index);
          }
          dst[x][ch] = cv::saturate_cast<uchar>(cvRound(v));
        }
        mosaic[x] = dst[x][mosaic_channel(y, x)];
      }
    }
  });
}

void render_truth(const Scene& scene, const Geometry& g, const RenderOptions& o, cv::Mat& colour,
                  cv::Mat& disparity) {
  colour.create(g.high_y, g.high_x, CV_32FC3);
  disparity.create(g.high_y, g.high_x, CV_32F);
  const int s = o.truth_samples;
  parallel_bands(g.high_y, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      for (int x = 0; x < g.high_x; ++x) {
        cv::Vec3d sum(0, 0, 0);
        for (int a = 0; a < s; ++a)
          for (int b = 0; b < s; ++b) {
            const ScenePoint p = scene.look(y + (a + 0.5) / s - 0.5, x + (b + 0.5) / s - 0.5, 0, 0);
            if (p.hit) sum += p.colour;
          }
        const double count = static_cast<double>(s) * s;
        colour.at<cv::Vec3f>(y, x) = cv::Vec3f(static_cast<float>(sum[0] / count),
                                               static_cast<float>(sum[1] / count),
                                               static_cast<float>(sum[2] / count));
        const ScenePoint centre = scene.look(y, x, 0, 0);
        disparity.at<float>(y, x) = centre.hit ? static_cast<float>(centre.disparity) : 0.0f;
      }
    }
  });
}

Exposure render_exposure(const Scene& scene, const Geometry& g, const RenderOptions& o) {
  Exposure e;
  cv::Mat colour(o.raw_size, CV_32FC3, cv::Scalar::all(o.gap_level));
  place_samples(g, colour, [&](int i, int r, int c) {
    return render_view_pixel(scene, g, i, r, Geometry::lenslet_view_col(r, c), o);
  });
  quantise_exposure(colour, o, e.rgb, e.raw);
  render_truth(scene, g, o, e.truth_colour, e.truth_disparity);
  return e;
}
