// The named sample scenes, laid out in fractions of the full-resolution grid so that the same
// scene fits the camera's grid and the tiny grids of the tests.
#include <cmath>
#include <stdexcept>

#include "scene.h"

namespace {

Layer plane(double d) {
  Layer L;
  L.d0 = d;
  return L;
}

Scene layers_scene(unsigned long long seed, double H, double W) {
  Layer back = plane(-1.25);
  back.texture.kind = Texture::noise;
  back.texture.a = {70, 110, 60};
  back.texture.b = {210, 190, 160};
  back.texture.scale = 40;
  back.texture.grain = 0.3;
  back.texture.grain_scale = 2.5;

  Layer middle = plane(0.25);
  middle.shape.kind = Shape::rect;
  middle.shape.y0 = 0.15 * H;
  middle.shape.y1 = 0.85 * H;
  middle.shape.x0 = 0.08 * W;
  middle.shape.x1 = 0.55 * W;
  middle.texture.kind = Texture::checker;
  middle.texture.a = {40, 40, 140};
  middle.texture.b = {220, 230, 240};
  middle.texture.scale = 24;
  middle.texture.grain = 0.2;

  Layer front = plane(1.5);
  front.shape.kind = Shape::disc;
  front.shape.cy = 0.5 * H;
  front.shape.cx = 0.6 * W;
  front.shape.radius = 0.28 * H;
  front.texture.kind = Texture::noise;
  front.texture.a = {180, 60, 30};
  front.texture.b = {250, 220, 120};
  front.texture.scale = 12;
  front.texture.grain = 0.2;
  front.texture.grain_scale = 2;
  return Scene({back, middle, front}, seed);
}

Scene slant_scene(unsigned long long seed, double H, double W) {
  Layer L = plane(0.0);
  L.cy = 0.5 * H;
  L.cx = 0.5 * W;
  L.gx = 3.0 / W;  // -1.5 at the left edge, 1.5 at the right
  L.gy = 0.5 / H;  // and a quarter up or down between top and bottom
  L.texture.kind = Texture::checker;
  L.texture.a = {50, 70, 90};
  L.texture.b = {200, 220, 235};
  L.texture.scale = 30;
  L.texture.grain = 0.35;
  L.texture.grain_scale = 2;
  return Scene({L}, seed);
}

Scene fine_scene(unsigned long long seed, double H, double W) {
  Layer back = plane(-0.5);
  back.texture.kind = Texture::zoneplate;
  back.texture.a = {30, 30, 30};
  back.texture.b = {230, 230, 230};
  back.texture.cy = 0.5 * H;
  back.texture.cx = 0.5 * W;
  // Local frequency 2 * chirp * r reaches 0.35 cycles per pixel at the corners, beyond what
  // a view (one sample per 2.26 columns, 3.77 rows) can hold without aliasing.
  const double corner = std::sqrt(0.25 * H * H + 0.25 * W * W);
  back.texture.chirp = 0.35 / (2.0 * corner);
  back.texture.grain = 0.05;

  Layer stripes = plane(0.5);
  stripes.shape.kind = Shape::rect;
  stripes.shape.y0 = 0.55 * H;
  stripes.shape.y1 = 0.9 * H;
  stripes.shape.x0 = 0.55 * W;
  stripes.shape.x1 = 0.95 * W;
  stripes.texture.kind = Texture::stripes;
  stripes.texture.a = {160, 40, 20};
  stripes.texture.b = {40, 220, 240};
  stripes.texture.scale = 3.0;
  stripes.texture.dir_y = std::sin(0.3);
  stripes.texture.dir_x = std::cos(0.3);
  stripes.texture.grain = 0.05;

  Layer bars = plane(1.0);
  bars.shape.kind = Shape::bars;
  bars.shape.y0 = 0.1 * H;
  bars.shape.y1 = 0.45 * H;
  bars.shape.x0 = 0.05 * W;
  bars.shape.x1 = 0.45 * W;
  bars.shape.period = 16;
  bars.shape.width = 1.5;
  bars.texture.kind = Texture::noise;
  bars.texture.a = {20, 20, 200};
  bars.texture.b = {60, 200, 255};
  bars.texture.scale = 20;
  return Scene({back, stripes, bars}, seed);
}

}  // namespace

std::vector<std::string> scene_names() { return {"layers", "slant", "fine"}; }

Scene make_scene(const std::string& name, unsigned long long seed, const Geometry& g) {
  const double H = g.high_y, W = g.high_x;
  if (name == "layers") return layers_scene(seed, H, W);
  if (name == "slant") return slant_scene(seed, H, W);
  if (name == "fine") return fine_scene(seed, H, W);
  throw std::invalid_argument("unknown scene '" + name + "'");
}
