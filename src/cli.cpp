// Command-line parsing with CLI11; numbers are parsed here so that every refusal names the
// option, what was expected and what was found.
#include "cli.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "errors.h"

namespace {

RunError bad_option(const std::string& name, const std::string& expected, const std::string& found) {
  return RunError(exit_usage, name + ": expected " + expected + ", found '" + found + "'");
}

int parse_int(const std::string& name, const std::string& text, long lo, long hi, const std::string& expected) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi)
    throw bad_option(name, expected, text);
  return static_cast<int>(v);
}

double parse_positive(const std::string& name, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) || !(v > 0))
    throw bad_option(name, "a positive number", text);
  return v;
}

}  // namespace

RunOptions parse_command_line(int argc, char** argv) {
  RunOptions o;
  const RunOptions d;
  CLI::App app{
      "plenosr: raw-domain super-resolution and depth for one plenoptic (lenslet) exposure.\n"
      "Reads the demosaiced colour TIFF and the raw colour-mosaic TIFF (8-bit, same size),\n"
      "cuts 81 sub-aperture views, estimates a disparity map by a plane sweep and\n"
      "reconstructs a 2450 x 1634 colour image, re-estimating depth after every outer\n"
      "iteration. Writes below OUTPUT: bicubic.ppm, bigSR/view081/depthmapbig.pgm, the\n"
      "diagnostic images, and L1/<mu>/[joint/] with normerror.txt, srNN.ppm and depth/depthNN.pgm.\n"
      "Progress lines and \"finish\" go to standard output.",
      "plenosr"};
  app.set_version_flag("--version", std::string("plenosr ") + PLENOSR_VERSION);
  app.get_formatter()->column_width(34);

  std::string outer = std::to_string(d.sr.outer_iterations), inner = std::to_string(d.sr.inner_iterations);
  std::string mu = "3.0", lambda = "1.0";
  std::string min_d = std::to_string(d.depth.min_disparity), max_d = std::to_string(d.depth.max_disparity);
  std::string window = std::to_string(d.depth.window_size), threads = "0";
  bool no_joint = false, no_yuv = false, no_wait = false;

  app.add_option("--rgb", o.rgb_path, "demosaiced colour exposure, 8-bit 3-channel TIFF")->capture_default_str();
  app.add_option("--raw", o.raw_path, "raw colour-mosaic exposure, 8-bit 1-channel TIFF")->capture_default_str();
  app.add_option("-o,--output", o.output_root, "output root directory (created if missing)")->capture_default_str();
  app.add_option("--outer", outer, "outer iterations, one result image each (>= 0)")->capture_default_str();
  app.add_option("--inner", inner, "most descent steps per outer iteration (>= 0)")->capture_default_str();
  app.add_option("--mu", mu, "weight of the L1 term (> 0); names the result directory")->capture_default_str();
  app.add_option("--lambda", lambda, "weight tying split variables to the differences (> 0)")->capture_default_str();
  app.add_option("--min-disparity", min_d, "lowest disparity of the search, view columns per view step")->capture_default_str();
  app.add_option("--max-disparity", max_d, "highest disparity of the search (>= --min-disparity)")->capture_default_str();
  app.add_option("--window", window, "side of the cost-smoothing window, pixels (>= 1)")->capture_default_str();
  app.add_flag("--no-joint", no_joint, "keep the initial depth map instead of re-estimating it");
  app.add_flag("--no-yuv", no_yuv, "regularise each colour channel separately");
  app.add_flag("--export-views", o.export_views, "also write the 81 views to OUTPUT/view/view000.ppm ...");
  app.add_flag("--no-wait", no_wait, "do not wait for one character on stdin before exiting");
  app.add_option("--threads", threads, "worker threads, 0 = every core")->capture_default_str();
  app.add_flag("--reference", o.reference, "use the plain reference loops (slow; same bytes)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    std::exit(app.exit(e));
  } catch (const CLI::ParseError& e) {
    throw RunError(exit_usage, e.what());
  }

  o.sr.outer_iterations = parse_int("--outer", outer, 0, 100000, "a whole number >= 0");
  o.sr.inner_iterations = parse_int("--inner", inner, 0, 100000, "a whole number >= 0");
  o.sr.mu = parse_positive("--mu", mu);
  o.sr.lambda = parse_positive("--lambda", lambda);
  o.depth.min_disparity = parse_int("--min-disparity", min_d, -1000, 1000, "a whole number from -1000 to 1000");
  o.depth.max_disparity = parse_int("--max-disparity", max_d, -1000, 1000, "a whole number from -1000 to 1000");
  o.depth.window_size = parse_int("--window", window, 1, 1001, "a whole number from 1 to 1001");
  o.threads = parse_int("--threads", threads, 0, 1024, "a whole number from 0 to 1024");
  if (o.depth.min_disparity > o.depth.max_disparity)
    throw RunError(exit_usage, "--min-disparity: expected at most --max-disparity (" + max_d + "), found '" + min_d + "'");
  o.sr.joint = !no_joint;
  o.sr.use_yuv = !no_yuv;
  o.wait = !no_wait;
  return o;
}
