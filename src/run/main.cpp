// Program entry: parses the command line, runs the pipeline and turns failures into one
// line on stderr and a documented exit status.
#include "main.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "cli.h"
#include "errors.h"
#include "execution.h"
#include "geometry.h"
#include "geometry_file.h"
#include "imageio.h"
#include "output_paths.h"
#include "progress.h"
#include "quality_driver.h"
#include "rawDepthEstimation.h"
#include "rawSuperResolution.h"
#include "signals.h"
#include "timings.h"
#include "viewCreate.h"

namespace {

// Creates the directories this run writes into and checks that each takes new files, before
// any output is written.
void make_output_tree(const Output& out, const RunOptions& o) {
  std::vector<std::string> dirs = {"", paths::view_dir()};
  if (o.mode == RunMode::quality) {
    dirs.push_back(paths::quality_dir());
    dirs.push_back(paths::quality_dir() + paths::depth_subdir);
  } else if (o.sr.outer_iterations > 0) {
    dirs.push_back(paths::sr_dir(o.sr.mu, o.sr.joint));
    if (o.sr.joint) dirs.push_back(paths::sr_dir(o.sr.mu, true) + paths::depth_subdir);
  }
  if (o.export_views) dirs.push_back(paths::view_export_dir());
  for (const std::string& d : dirs) {
    out.make_dirs(d);
    out.check_writable(d);
  }
}

// One line for messages that may carry line breaks (the image library's do).
std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The end-of-run summary on stderr: where the results are, the final energies, the times.
void print_summary(const Output& out, double wall_seconds, double cpu_seconds) {
  const auto& files = out.written();
  std::cerr << "plenosr: results in " << display_path(out.root()) << " (" << files.size() << " files written";
  if (!files.empty()) std::cerr << "; last " << display_path(files.back());
  std::cerr << ")\n";
  const RunSummary& s = run_summary();
  if (s.have_energy)
    std::cerr << "plenosr: final energies (outer " << s.outer << ", inner " << s.inner
              << "): E = " << s.data_error << ", E_SR = " << s.energy
              << ", regulariser = " << s.regulariser << "\n";
  std::cerr << "plenosr: wall time " << format_duration(wall_seconds) << ", processor time "
            << format_duration(cpu_seconds) << std::endl;
}

// The exact mode after the bicubic estimate: bicubic.ppm, the first depth map, then the split
// Bregman reconstruction; every byte as it has always been.
void run_exact(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks, cv::Mat& depth,
               const RunOptions& o, const Geometry& g, const Output& out) {
  out.write_image(paths::bicubic(), estimate);
  check_interrupted();
  depth = cv::Mat::zeros(estimate.rows, estimate.cols, CV_32F);
  {
    auto de = std::make_unique<rawDepthEstimation>(o.depth.min_disparity, o.depth.max_disparity,
                                                   o.depth.window_size, g, &out);
    de->estimate_rawdepth(estimate, views, masks, depth);
  }
  progress().end();
  check_interrupted();
  {
    auto sr = std::make_unique<rawSuperResolution>(o.sr.outer_iterations, o.sr.inner_iterations,
                                                   o.sr.mu, o.sr.lambda, g, &out, o.depth);
    sr->raw_super_resolution(estimate, views, masks, depth, o.sr.joint, o.sr.use_yuv);
  }
  progress().end();
}

}  // namespace

int run_pipeline(const RunOptions& o) {
  execution().reference = o.reference;
  execution().threads = o.threads;
  // The grid is checked before any image is read.
  const Geometry g = o.geometry_path.empty() ? Geometry() : read_geometry_file(o.geometry_path);
  const std::clock_t start = std::clock();
  const auto wall_start = std::chrono::steady_clock::now();

  std::vector<cv::Mat> views(view_count);
  cv::Mat estimate(g.high_y, g.high_x, CV_32FC3);
  cv::Mat center;
  std::vector<cv::Mat> masks(view_count);
  Output out(o.output_root);
  out.set_png(o.png);
  out.set_float_depth(o.float_depth);
  {
    // Reading validates both inputs; nothing is written before they pass.
    ScopedTiming timing("read and cut views");
    progress().begin("reading the exposure");
    auto vc = std::make_unique<viewCreate>(o.rgb_path.c_str(), o.raw_path.c_str(), g);
    make_output_tree(out, o);
    progress().begin("cutting the views");
    vc->create_mask(views.data(), masks.data(), center);
    if (o.export_views) vc->save_subaperture(views.data(), out);
    progress().end();
  }

  check_interrupted();
  cv::resize(center, estimate, cv::Size(g.high_x, g.high_y), 0, 0, cv::INTER_CUBIC);
  cv::Mat depth;
  if (o.mode == RunMode::quality) {
    run_quality(estimate, views.data(), masks.data(), depth, o, g, &out);
  } else {
    run_exact(estimate, views.data(), masks.data(), depth, o, g, out);
  }
  check_interrupted();
  views.clear();
  masks.clear();
  out.flush();  // the last diagnostic images

  print_timings();
  std::cout << "finish" << std::endl;
  const std::clock_t stop = std::clock();
  const double cpu_seconds = static_cast<double>(stop - start) / 1000000.0;
  std::cout << "duration = " << cpu_seconds << "sec." << std::endl;
  if (!o.quiet) {
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    print_summary(out, wall, cpu_seconds);
  }
  if (o.wait) std::getchar();
  check_interrupted();
  return exit_ok;
}

int main(int argc, char** argv) {
  install_signal_handlers();
  try {
    const RunOptions options = parse_command_line(argc, argv);
    if (options.quiet)
      progress().set_mode(Progress::Mode::silent);
    else
      progress().set_mode(::isatty(STDERR_FILENO) ? Progress::Mode::live : Progress::Mode::lines);
    return run_pipeline(options);
  } catch (const RunError& e) {
    progress().abandon();
    std::cerr << "plenosr: " << one_line(e.what()) << std::endl;
    return e.status();
  } catch (const std::bad_alloc&) {
    std::cerr << "plenosr: out of memory" << std::endl;
    return exit_internal;
  } catch (const cv::Exception& e) {
    std::cerr << "plenosr: internal error in the image library: " << one_line(e.err) << std::endl;
    return exit_internal;
  } catch (const std::exception& e) {
    std::cerr << "plenosr: internal error: " << one_line(e.what()) << std::endl;
    return exit_internal;
  }
}
