// Synthetic scenes for test exposures: textured layers, each a plane in disparity with a
// coverage shape and a procedural texture, seen from any of the 81 viewpoints.
// Coordinates are full-resolution pixels (row y, column x); colours are BGR on 0..255;
// disparity is in full-resolution columns per unit of view offset (the program's unit).
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry.h"

// Deterministic 64-bit mixing (splitmix64 finaliser); the base of every random choice here,
// so a scene and its noise depend on the seed alone, not on the library or the thread count.
inline unsigned long long mix64(unsigned long long z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}
// Uniform double in [0, 1) from a hash.
inline double unit_from_hash(unsigned long long h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// Smooth random field: bilinear value noise on a 256 x 256 periodic lattice of random values,
// with smoothstep weights. Values in [0, 1].
class ValueNoise {
 public:
  explicit ValueNoise(unsigned long long seed);
  double at(double y, double x) const;
  // Sum of `octaves` octaves, each twice the frequency and half the weight; in [0, 1].
  double fbm(double y, double x, int octaves) const;

 private:
  std::vector<float> table_;
};

// Where a layer is opaque, in its own (centre view) coordinates.
struct Shape {
  enum Kind { everywhere, rect, disc, bars } kind = everywhere;
  double y0 = 0, x0 = 0, y1 = 0, x1 = 0;  // rect and bars: bounding box [y0, y1) x [x0, x1)
  double cy = 0, cx = 0, radius = 0;      // disc
  double period = 0, width = 0;           // bars: vertical and horizontal lines of this width
  bool covers(double y, double x) const;
};

// Colour of a layer: two colours mixed by a pattern in [0, 1], then modulated by fine noise.
struct Texture {
  enum Kind { noise, checker, stripes, zoneplate } kind = noise;
  cv::Vec3d a{60, 90, 120}, b{200, 180, 150};  // BGR at pattern 0 and 1
  double scale = 32;      // noise feature size, checker cell or stripe period, pixels
  double dir_y = 0, dir_x = 1;  // stripes: unit vector across the bars (rows, columns)
  double cy = 0, cx = 0;  // zone plate centre
  double chirp = 0;       // zone plate: phase grows as chirp * r^2 (cycles)
  double grain = 0.15;    // amplitude of the multiplicative fine noise
  double grain_scale = 3; // feature size of that noise, pixels
  cv::Vec3d colour(double y, double x, const ValueNoise& n) const;
};

// A layer: disparity d(p) = d0 + gy * (y - cy) + gx * (x - cx) over its own coordinates p.
struct Layer {
  double d0 = 0, gy = 0, gx = 0, cy = 0, cx = 0;
  Shape shape;
  Texture texture;
  double disparity_at(double y, double x) const { return d0 + gy * (y - cy) + gx * (x - cx); }
};

// What a viewpoint sees at one position: the nearest opaque layer's colour and disparity.
struct ScenePoint {
  cv::Vec3d colour;
  double disparity = 0;
  bool hit = false;
};

class Scene {
 public:
  Scene(std::vector<Layer> layers, unsigned long long seed);

  // Seen at full-resolution position (y, x) from a view whose image of a point p with
  // disparity d lies at p + d * (wy, wx). Every layer is intersected with that line of
  // sight and the one of largest disparity (nearest) that covers its point wins.
  ScenePoint look(double y, double x, double wy, double wx) const;

  const std::vector<Layer>& layers() const { return layers_; }

 private:
  std::vector<Layer> layers_;
  ValueNoise noise_;
};

// Names accepted by make_scene, the default first.
std::vector<std::string> scene_names();
// Builds a named scene laid out on the full-resolution grid of g; throws std::invalid_argument
// for an unknown name. Scenes stay within disparities -2..2:
//   layers    three fronto-parallel textured planes (-1.25, 0.25, 1.5) that occlude each other
//   slant     one textured plane whose disparity runs from -1.5 to 1.5 across the image
//   fine      a zone plate far away and thin bars and fine stripes in front (aliasing detail)
Scene make_scene(const std::string& name, unsigned long long seed, const Geometry& g);
