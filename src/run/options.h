// Tuning values of the stages and of one run, each declared once with its default.
// The command line fills these structs; tests and benchmarks fill them directly.
#pragma once

#include <string>

#include "quality_params.h"

struct DepthParams {
  int min_disparity = -1;  // lowest disparity, view columns per unit of view offset
  int max_disparity = 1;   // highest disparity, same unit
  int window_size = 9;     // side of the square cost-smoothing window, pixels (>= 1)
};

struct SRParams {
  int outer_iterations = 15;  // outer split Bregman iterations, one result image each (>= 0)
  int inner_iterations = 3;   // most descent steps per outer iteration (>= 0)
  double mu = 3.0;            // weight of the L1 term (> 0); names the result directory
  double lambda = 1.0;        // weight tying split variables to the differences (> 0)
  bool joint = true;          // re-estimate depth after every outer iteration
  bool use_yuv = true;        // regularise the colour-transformed estimate
};

// Which reconstruction runs: the exact one (default, every byte fixed) or the quality one.
enum class RunMode { exact, quality };

struct RunOptions {
  RunMode mode = RunMode::exact;
  std::string rgb_path = "./raw/watch1RGB_WB.tiff";  // demosaiced colour exposure
  std::string raw_path = "./raw/watch1_WB.tiff";     // raw colour-mosaic exposure
  std::string output_root = "./result/";             // every output lies below it
  std::string geometry_path;  // lenslet grid of the camera unit; empty: the built-in one
  DepthParams depth;
  SRParams sr;
  QualityParams quality;      // tuning of --mode quality
  bool export_views = false;  // also write the 81 views to OUTPUT/view/
  bool wait = true;           // wait for one character on stdin before exiting
  int threads = 0;            // 0: every core
  bool reference = false;     // plain reference loops everywhere
  bool quiet = false;         // no progress or summary on stderr (errors still print)
  bool png = false;           // also write every image as PNG beside its PPM / PGM
  bool float_depth = false;   // also write depth maps as PFM (disparity) and colour PNG
};
