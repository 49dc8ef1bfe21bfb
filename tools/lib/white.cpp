// White exposure rendering: every lenslet (and a ring of lenslets beyond the grid, which
// light the sensor's edges too) draws its micro-image into the pixels it covers.
#include "white.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "execution.h"
#include "scene.h"

namespace {

// Supersampling of the pixels a micro-image's rim crosses, per axis.
constexpr int rim_samples = 6;
// The second aperture is this much wider than the first; clipping starts where its image
// has moved off the disc by the difference.
constexpr double clip_aperture_scale = 1.5;
// Light of the lenslet's own edge: brightness falls by this share towards its rim.
constexpr double rim_falloff = 0.2;

double gaussian(unsigned long long seed, unsigned long long index) {
  const unsigned long long h = mix64(mix64(seed ^ 0xbb67ae8584caa73bULL) + index);
  const double u1 = 1.0 - unit_from_hash(h);
  const double u2 = unit_from_hash(mix64(h));
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// One micro-image: disc (cy, cx, radius) clipped by the disc (qy, qx, clip_radius).
struct MicroImage {
  double cy, cx, radius, qy, qx, clip_radius;
  // Light at (y, x) relative to the micro-image's centre brightness.
  double light(double y, double x) const {
    const double d2 = (y - cy) * (y - cy) + (x - cx) * (x - cx);
    if (d2 > radius * radius) return 0;
    const double q2 = (y - qy) * (y - qy) + (x - qx) * (x - qx);
    if (q2 > clip_radius * clip_radius) return 0;
    return 1.0 - rim_falloff * d2 / (radius * radius);
  }
  // Pixel (y, x) (its centre) area-averaged: supersampled where a rim crosses it.
  double pixel(int y, int x) const {
    const double d = std::hypot(y - cy, x - cx), q = std::hypot(y - qy, x - qx);
    const bool rim = std::fabs(d - radius) < 0.75 || std::fabs(q - clip_radius) < 0.75;
    if (!rim) return light(y, x);
    double sum = 0;
    for (int a = 0; a < rim_samples; ++a)
      for (int b = 0; b < rim_samples; ++b)
        sum += light(y + (a + 0.5) / rim_samples - 0.5, x + (b + 0.5) / rim_samples - 0.5);
    return sum / (rim_samples * rim_samples);
  }
};

}  // namespace

cv::Mat render_white(const Geometry& g, const WhiteOptions& o) {
  const int rows = g.sensor_rows, cols = g.sensor_cols;
  const double range = std::ldexp(1.0, o.bits) - 1;
  const double mid_y = (rows - 1) / 2.0, mid_x = (cols - 1) / 2.0;
  const double half_diag = std::hypot(mid_y, mid_x);
  const double radius = o.aperture * std::min(g.pitch_x, 2 * g.pitch_y / std::sqrt(3.0)) / 2;
  const double clip_radius = clip_aperture_scale * radius;
  // Offset of the second aperture's image per pixel from the centre, so that at the corners
  // it cuts cats_eye of the diameter.
  const double shift_per_px = (clip_radius - radius + 2 * radius * o.cats_eye) / half_diag;

  cv::Mat light(rows, cols, CV_32F, cv::Scalar(0));
  constexpr int beyond = 2;  // lenslets beyond the grid on each side
  // Touching micro-images share their rim pixels, which add the light of both. Lenslet rows
  // of one parity lie two row pitches apart, far enough for their micro-images never to
  // share a pixel: each parity is drawn in parallel, one after the other.
  const int drawn_rows = g.lens_rows + 2 * beyond;
  for (int parity = 0; parity < 2; ++parity) {
    parallel_bands((drawn_rows + 1 - parity) / 2, [&](int begin, int end) {
      for (int k = begin; k < end; ++k) {
        const int r = 2 * k + parity - beyond;
        for (int c = -beyond; c < g.lens_cols + beyond; ++c) {
          MicroImage m;
          m.cy = g.centre_row(r, c);
          m.cx = g.centre_col(r, c);
          m.radius = radius;
          m.clip_radius = o.cats_eye > 0 ? clip_radius : 1e9;
          m.qy = m.cy - shift_per_px * (m.cy - mid_y);
          m.qx = m.cx - shift_per_px * (m.cx - mid_x);
          const int y0 = std::max(0, static_cast<int>(std::floor(m.cy - radius - 1)));
          const int y1 = std::min(rows - 1, static_cast<int>(std::ceil(m.cy + radius + 1)));
          const int x0 = std::max(0, static_cast<int>(std::floor(m.cx - radius - 1)));
          const int x1 = std::min(cols - 1, static_cast<int>(std::ceil(m.cx + radius + 1)));
          for (int y = y0; y <= y1; ++y) {
            float* dst = light.ptr<float>(y);
            for (int x = x0; x <= x1; ++x) dst[x] += static_cast<float>(m.pixel(y, x));
          }
        }
      }
    });
  }

  if (o.blur > 0) cv::GaussianBlur(light, light, cv::Size(), o.blur);

  cv::Mat out(rows, cols, o.bits <= 8 ? CV_8UC1 : CV_16UC1);
  const double noise = o.noise * range / 255.0;
  parallel_bands(rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const float* src = light.ptr<float>(y);
      for (int x = 0; x < cols; ++x) {
        const double rho2 = ((y - mid_y) * (y - mid_y) + (x - mid_x) * (x - mid_x)) / (half_diag * half_diag);
        const double vignette = 1.0 - (1.0 - o.corner_level) * rho2;
        double v = o.black + (range - o.black) * o.peak * vignette * o.response[mosaic_channel(y, x)] * src[x];
        if (noise > 0) v += noise * gaussian(o.seed, static_cast<unsigned long long>(y) * cols + x);
        const double q = std::min(range, std::max(0.0, std::round(v)));
        if (o.bits <= 8)
          out.at<uchar>(y, x) = static_cast<uchar>(q);
        else
          out.at<unsigned short>(y, x) = static_cast<unsigned short>(q);
      }
    }
  });
  return out;
}
