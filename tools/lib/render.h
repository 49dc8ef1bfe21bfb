// Renders a lenslet exposure of a synthetic scene: every view pixel of every view integrates
// the scene as that viewpoint sees it, and each lenslet's 81 samples go to their raw pixels.
// Also renders the ground truth: the centre view's scene and disparity on the full grid.
#pragma once

#include <functional>
#include <opencv2/core.hpp>

#include "geometry.h"
#include "scene.h"

struct RenderOptions {
  unsigned long long seed = 1;  // noise seed (the scene has its own)
  double noise_sigma = 0;       // Gaussian noise added to every stored value, 8-bit units
  cv::Size raw_size{sensor_x, sensor_y};  // columns, rows of both exposure images
  int view_samples_y = 4;       // supersampling of one view pixel's box: rows ...
  int view_samples_x = 3;       // ... by columns
  int truth_samples = 3;        // supersampling of one full-resolution pixel, per axis
  double gap_level = 12;        // raw pixels that no view reads: dark gaps between lenslets

  // Coarser integration for quick tests (plenosr-synth --draft): 2 x 2 samples per view
  // pixel, 1 per truth pixel.
  void set_draft() {
    view_samples_y = view_samples_x = 2;
    truth_samples = 1;
  }
};

struct Exposure {
  cv::Mat rgb;           // CV_8UC3 BGR, raw_size: full colour of every sample
  cv::Mat raw;           // CV_8UC1, raw_size: the colour-filter channel of each pixel
  cv::Mat truth_colour;  // CV_32FC3 BGR 0..255, high_y x high_x: centre view's scene
  cv::Mat truth_disparity;  // CV_32F, high_y x high_x: disparity of the visible layer
};

// Full-resolution displacement (rows, columns) per unit of disparity in view i:
// (vy / 1.73205080757 * yscale / xscale, vx), the view offset (vy, vx) of view i.
cv::Vec2d view_direction(int view, const Geometry& g);

// One view sample: view index, lenslet row and lenslet column -> BGR value (0..255 scale).
using SampleFn = std::function<cv::Vec3f(int view, int r, int c)>;

// Writes sample(i, r, c) into colour (CV_32FC3, the raw size) at the raw pixel that view i
// reads for lenslet (r, c): rounded reference point plus view i's sampling offset. Samples
// whose raw pixel falls outside the image are not asked for. Lenslet rows are processed in
// parallel; the camera's pitches keep the 9 x 9 blocks of different lenslets apart.
void place_samples(const Geometry& g, cv::Mat& colour, const SampleFn& sample);

// Box integral, by supersampling, of what view i sees over the box of yscale rows by xscale
// columns centred on view pixel (k, n) at full-resolution (k * yscale, n * xscale).
cv::Vec3f render_view_pixel(const Scene& scene, const Geometry& g, int view, int k, int n,
                            const RenderOptions& o);

// Quantises the float colour samples to 8 bits (with optional noise) and cuts the mosaic.
void quantise_exposure(const cv::Mat& colour, const RenderOptions& o, cv::Mat& rgb, cv::Mat& raw);

// The ground-truth centre image (pixel-area average) and disparity (at pixel centres).
void render_truth(const Scene& scene, const Geometry& g, const RenderOptions& o,
                  cv::Mat& colour, cv::Mat& disparity);

// The whole exposure and its ground truth.
Exposure render_exposure(const Scene& scene, const Geometry& g, const RenderOptions& o);
