// Procedural layers and the line-of-sight test that renders them from any viewpoint.
#include "scene.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

double smoothstep(double t) { return t * t * (3.0 - 2.0 * t); }
// floor without a library call (plain x86-64 has no rounding instruction); exact for the
// magnitudes of pixel coordinates.
inline double fast_floor(double v) {
  const double t = static_cast<double>(static_cast<long long>(v));
  return t > v ? t - 1.0 : t;
}
double frac(double v) { return v - fast_floor(v); }
// A cosine-like wave in [0, 1] of period 1 without calling cos: smoothed triangle wave.
double wave(double phase) { return smoothstep(std::fabs(2.0 * frac(phase) - 1.0)); }

}  // namespace

ValueNoise::ValueNoise(unsigned long long seed) : table_(256 * 256) {
  for (size_t i = 0; i < table_.size(); ++i)
    table_[i] = static_cast<float>(unit_from_hash(mix64(seed * 0x100000001b3ULL + i)));
}

double ValueNoise::at(double y, double x) const {
  const double fy = fast_floor(y), fx = fast_floor(x);
  const double ty = smoothstep(y - fy), tx = smoothstep(x - fx);
  const int iy = static_cast<int>(static_cast<long long>(fy) & 255);
  const int ix = static_cast<int>(static_cast<long long>(fx) & 255);
  const int iy1 = (iy + 1) & 255, ix1 = (ix + 1) & 255;
  const double v00 = table_[iy * 256 + ix], v01 = table_[iy * 256 + ix1];
  const double v10 = table_[iy1 * 256 + ix], v11 = table_[iy1 * 256 + ix1];
  return (v00 + (v01 - v00) * tx) * (1.0 - ty) + (v10 + (v11 - v10) * tx) * ty;
}

double ValueNoise::fbm(double y, double x, int octaves) const {
  double sum = 0, weight = 1, total = 0, f = 1;
  for (int o = 0; o < octaves; ++o) {
    // Each octave is moved so the lattices do not line up.
    sum += weight * at(y * f + 37.0 * o, x * f + 91.0 * o);
    total += weight;
    weight *= 0.5;
    f *= 2.0;
  }
  return sum / total;
}

bool Shape::covers(double y, double x) const {
  switch (kind) {
    case everywhere:
      return true;
    case rect:
      return y >= y0 && y < y1 && x >= x0 && x < x1;
    case disc:
      return (y - cy) * (y - cy) + (x - cx) * (x - cx) < radius * radius;
    case bars:
      if (!(y >= y0 && y < y1 && x >= x0 && x < x1)) return false;
      return frac((x - x0) / period) * period < width || frac((y - y0) / period) * period < width;
  }
  return false;
}

cv::Vec3d Texture::colour(double y, double x, const ValueNoise& n) const {
  double t = 0;
  switch (kind) {
    case noise:
      t = n.fbm(y / scale, x / scale, 3);
      break;
    case checker: {
      const long long cy_ = static_cast<long long>(fast_floor(y / scale));
      const long long cx_ = static_cast<long long>(fast_floor(x / scale));
      // Cells vary a little in brightness so that no two look alike.
      const double cell = unit_from_hash(mix64(static_cast<unsigned long long>(cy_ * 7919 + cx_)));
      t = ((cy_ + cx_) & 1) ? 0.8 + 0.2 * cell : 0.2 * cell;
      break;
    }
    case stripes: {
      const double along = x * dir_x + y * dir_y;
      t = wave(along / scale);
      break;
    }
    case zoneplate: {
      const double r2 = (y - cy) * (y - cy) + (x - cx) * (x - cx);
      t = wave(chirp * r2);
      break;
    }
  }
  const double g = 1.0 + grain * (2.0 * n.at(y / grain_scale + 101.0, x / grain_scale + 57.0) - 1.0);
  cv::Vec3d c;
  for (int k = 0; k < 3; ++k) c[k] = std::min(255.0, std::max(0.0, (a[k] + (b[k] - a[k]) * t) * g));
  return c;
}

Scene::Scene(std::vector<Layer> layers, unsigned long long seed)
    : layers_(std::move(layers)), noise_(seed) {}

ScenePoint Scene::look(double y, double x, double wy, double wx) const {
  ScenePoint best;
  const Layer* front = nullptr;
  double fy = 0, fx = 0;
  for (const Layer& L : layers_) {
    // The point p of the plane seen at q satisfies p + d(p) w = q; d is linear in p, so
    // d = (d0 + g.(q - c)) / (1 + g.w).
    const double d = (L.d0 + L.gy * (y - L.cy) + L.gx * (x - L.cx)) / (1.0 + L.gy * wy + L.gx * wx);
    if (front != nullptr && !(d > best.disparity)) continue;
    const double py = y - d * wy, px = x - d * wx;
    if (!L.shape.covers(py, px)) continue;
    front = &L;
    best.disparity = d;
    fy = py;
    fx = px;
  }
  if (front != nullptr) {
    best.hit = true;
    best.colour = front->texture.colour(fy, fx, noise_);
  }
  return best;
}
