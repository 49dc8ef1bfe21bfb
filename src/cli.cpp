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
#include "quality_params.h"
#include "textformat.h"

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

// Weights above this would only make the result directory's name absurdly long.
constexpr double max_weight = 1e9;

double parse_positive(const std::string& name, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) || !(v > 0) ||
      v > max_weight)
    throw bad_option(name, "a positive number up to 1e9", text);
  return v;
}

}  // namespace

RunOptions parse_command_line(int argc, char** argv) {
  RunOptions o;
  const RunOptions d;
  CLI::App app{
      "plenosr: raw-domain super-resolution and depth for one plenoptic (lenslet) exposure.\n"
      "\n"
      "Reads two 8-bit TIFF files of the same size (7728 x 5368 for the calibrated camera):\n"
      "the demosaiced colour image (--rgb, 3 channels) and the raw colour mosaic (--raw,\n"
      "1 channel). Cuts 81 sub-aperture views, estimates a disparity map by a plane sweep and\n"
      "reconstructs a 2450 x 1634 colour image, re-estimating depth after every outer\n"
      "iteration unless --no-joint is given.\n"
      "\n"
      "Writes below DIR (--output, created if missing): bicubic.ppm, bigSR/view081/\n"
      "depthmapbig.pgm and the diagnostic images blur, motion10/60, error10/60 (.ppm), and\n"
      "bigSR/view081/L1/<mu>/[joint/] with normerror.txt (appended), srNN.ppm and\n"
      "depth/depthNN.pgm; view/viewNNN.ppm with --export-views. Every image is written whole\n"
      "or not at all. The run's own lines go to standard output; progress, the summary and\n"
      "errors go to standard error.\n"
      "\n"
      "Exit status: 0 done; 2 bad option; 3 bad input file; 4 output not writable (or disk\n"
      "full); 5 internal error; 130 stopped by SIGINT; 143 stopped by SIGTERM.",
      "plenosr"};
  app.set_version_flag("--version", std::string("plenosr ") + PLENOSR_VERSION);
  app.get_formatter()->column_width(36);

  std::string outer = std::to_string(d.sr.outer_iterations), inner = std::to_string(d.sr.inner_iterations);
  std::string mu = "3.0", lambda = "1.0";
  std::string min_d = std::to_string(d.depth.min_disparity), max_d = std::to_string(d.depth.max_disparity);
  std::string window = std::to_string(d.depth.window_size), threads = "0";
  bool no_joint = false, no_yuv = false, no_wait = false;
  std::string mode = "exact";
  // Quality-mode values as text, parsed and range-checked after CLI11.
  const std::vector<QualityParamInfo>& qtable = quality_param_table();
  std::vector<std::string> qtext;
  for (const QualityParamInfo& info : qtable) qtext.push_back(strformat("%g", d.quality.*info.field));

  app.add_option("--rgb", o.rgb_path, "demosaiced colour exposure, 8-bit 3-channel TIFF")
      ->type_name("PATH")->capture_default_str();
  app.add_option("--raw", o.raw_path, "raw colour-mosaic exposure, 8-bit 1-channel TIFF, same size")
      ->type_name("PATH")->capture_default_str();
  app.add_option("--geometry", o.geometry_path, "lenslet grid of the camera unit (JSON geometry file)")
      ->type_name("FILE");
  app.add_option("-o,--output", o.output_root, "output root directory (created if missing)")
      ->type_name("DIR")->capture_default_str();
  app.add_option("--mode", mode,
                 "exact: the fixed reconstruction (results in bigSR/view081/L1/); quality: sub-pixel "
                 "depth and reconstruction (results in bigSR/view081/quality/)")
      ->type_name("exact|quality")->capture_default_str();
  app.add_option("--outer", outer, "outer iterations, one result image each (N >= 0)")
      ->type_name("N")->capture_default_str();
  app.add_option("--inner", inner, "most descent steps per outer iteration (N >= 0)")
      ->type_name("N")->capture_default_str();
  app.add_option("--mu", mu, "weight of the L1 term (X > 0); names the result directory")
      ->type_name("X")->capture_default_str();
  app.add_option("--lambda", lambda, "weight tying split variables to the differences (X > 0)")
      ->type_name("X")->capture_default_str();
  app.add_option("--min-disparity", min_d, "lowest disparity of the search, view columns per view step")
      ->type_name("N")->capture_default_str();
  app.add_option("--max-disparity", max_d, "highest disparity of the search (N >= --min-disparity)")
      ->type_name("N")->capture_default_str();
  app.add_option("--window", window, "side of the cost-smoothing window, pixels (N >= 1)")
      ->type_name("N")->capture_default_str();
  app.add_flag("--no-joint", no_joint, "keep the initial depth map instead of re-estimating it");
  app.add_flag("--no-yuv", no_yuv, "regularise each colour channel separately");
  app.add_flag("--export-views", o.export_views, "also write the 81 views to DIR/view/view000.ppm ...");
  app.add_flag("--png", o.png, "also write every image as PNG beside its PPM / PGM");
  app.add_flag("--float-depth", o.float_depth,
               "also write each depth map as PFM (float disparity) and as a colour-mapped PNG");
  app.add_flag("--no-wait", no_wait, "do not wait for one character on stdin before exiting");
  app.add_flag("-q,--quiet", o.quiet, "no progress and no summary on stderr (errors still print)");
  app.add_option("--threads", threads, "worker threads, 0 = every core (same bytes for any N)")
      ->type_name("N")->capture_default_str();
  app.add_flag("--reference", o.reference, "use the plain reference loops (slow; same bytes)");
  for (size_t i = 0; i < qtable.size(); ++i)
    app.add_option(std::string("--") + qtable[i].option, qtext[i], qtable[i].help)
        ->type_name(qtable[i].whole ? "N" : "X")->capture_default_str()->group("Quality mode");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    std::exit(app.exit(e));
  } catch (const CLI::ExtrasError&) {
    // Name the first argument that was not understood.
    const std::vector<std::string> extras = app.remaining();
    const std::string first = extras.empty() ? std::string("?") : extras.front();
    if (!first.empty() && first[0] == '-')
      throw RunError(exit_usage, first + ": unknown option (see --help)");
    throw RunError(exit_usage, first + ": unexpected argument; the tool takes options only (see --help)");
  } catch (const CLI::ArgumentMismatch& e) {
    // "--mu: 1 required X missing" / "--output: At Most 1 required but received 2"
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    if (what.find("missing") != std::string::npos)
      throw RunError(exit_usage, name + ": expected a value, found none (see --help)");
    if (what.find("received") != std::string::npos)
      throw RunError(exit_usage, name + ": expected once, found more than once (see --help)");
    throw RunError(exit_usage, what + " (see --help)");
  } catch (const CLI::ParseError& e) {
    throw RunError(exit_usage, e.what() + std::string(" (see --help)"));
  }

  o.sr.outer_iterations = parse_int("--outer", outer, 0, 100000, "a whole number from 0 to 100000");
  o.sr.inner_iterations = parse_int("--inner", inner, 0, 100000, "a whole number from 0 to 100000");
  o.sr.mu = parse_positive("--mu", mu);
  o.sr.lambda = parse_positive("--lambda", lambda);
  o.depth.min_disparity = parse_int("--min-disparity", min_d, -1000, 1000, "a whole number from -1000 to 1000");
  o.depth.max_disparity = parse_int("--max-disparity", max_d, -1000, 1000, "a whole number from -1000 to 1000");
  o.depth.window_size = parse_int("--window", window, 1, 1001, "a whole number from 1 to 1001");
  o.threads = parse_int("--threads", threads, 0, 1024, "a whole number from 0 to 1024");
  if (o.depth.min_disparity > o.depth.max_disparity)
    throw RunError(exit_usage, "--min-disparity: expected at most --max-disparity (" + max_d + "), found '" + min_d + "'");
  if (o.output_root.empty()) throw bad_option("--output", "a directory path", "");
  if (mode == "exact")
    o.mode = RunMode::exact;
  else if (mode == "quality")
    o.mode = RunMode::quality;
  else
    throw bad_option("--mode", "exact or quality", mode);
  for (size_t i = 0; i < qtable.size(); ++i) {
    const QualityParamInfo& info = qtable[i];
    const std::string name = std::string("--") + info.option;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(qtext[i].c_str(), &end);
    if (qtext[i].empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
      throw bad_option(name, "a number", qtext[i]);
    o.quality.*info.field = v;
  }
  check_quality_params(o.quality);
  o.sr.joint = !no_joint;
  o.sr.use_yuv = !no_yuv;
  o.wait = !no_wait;
  return o;
}
