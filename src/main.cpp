// Program entry: parses the command line, runs the pipeline and turns failures into one
// line on stderr and a documented exit status.
#include "main.h"

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
#include "imageio.h"
#include "rawDepthEstimation.h"
#include "rawSuperResolution.h"
#include "textformat.h"
#include "viewCreate.h"

namespace {

// Creates the directories this run writes into, before any output is written.
void make_output_tree(const Output& out, const RunOptions& o) {
  const std::string view_dir = strformat("bigSR/view%03d/", view_count);
  out.make_dirs("");
  out.check_writable("");
  out.make_dirs(view_dir);
  if (o.sr.outer_iterations > 0) {
    const std::string l1 = view_dir + strformat("L1/%.1lf/", o.sr.mu);
    out.make_dirs(o.sr.joint ? l1 + "joint/depth/" : l1);
  }
  if (o.export_views) out.make_dirs("view/");
}

}  // namespace

int run_pipeline(const RunOptions& o) {
  execution().reference = o.reference;
  execution().threads = o.threads;
  const Geometry g;
  const std::clock_t start = std::clock();

  std::vector<cv::Mat> views(view_count);
  cv::Mat estimate(g.high_y, g.high_x, CV_32FC3);
  cv::Mat center;
  std::vector<cv::Mat> masks(view_count);
  const Output out(o.output_root);
  {
    // Reading validates both inputs; nothing is written before they pass.
    auto vc = std::make_unique<viewCreate>(o.rgb_path.c_str(), o.raw_path.c_str(), g);
    make_output_tree(out, o);
    vc->create_mask(views.data(), masks.data(), center);
    if (o.export_views) vc->save_subaperture(views.data(), out);
  }

  cv::resize(center, estimate, cv::Size(g.high_x, g.high_y), 0, 0, cv::INTER_CUBIC);
  out.write_image("bicubic.ppm", estimate);

  cv::Mat depth = cv::Mat::zeros(estimate.rows, estimate.cols, CV_32F);
  {
    auto de = std::make_unique<rawDepthEstimation>(o.depth.min_disparity, o.depth.max_disparity,
                                                   o.depth.window_size, g, &out);
    de->estimate_rawdepth(estimate, views.data(), masks.data(), depth);
  }
  {
    auto sr = std::make_unique<rawSuperResolution>(o.sr.outer_iterations, o.sr.inner_iterations,
                                                   o.sr.mu, o.sr.lambda, g, &out, o.depth);
    sr->raw_super_resolution(estimate, views.data(), masks.data(), depth, o.sr.joint, o.sr.use_yuv);
  }
  views.clear();
  masks.clear();

  std::cout << "finish" << std::endl;
  const std::clock_t stop = std::clock();
  std::cout << "duration = " << static_cast<double>(stop - start) / 1000000.0 << "sec." << std::endl;
  if (o.wait) std::getchar();
  return exit_ok;
}

int main(int argc, char** argv) {
  try {
    const RunOptions options = parse_command_line(argc, argv);
    return run_pipeline(options);
  } catch (const RunError& e) {
    std::cerr << "plenosr: " << e.what() << std::endl;
    return e.status();
  } catch (const std::bad_alloc&) {
    std::cerr << "plenosr: out of memory" << std::endl;
    return exit_internal;
  } catch (const std::exception& e) {
    std::cerr << "plenosr: internal error: " << e.what() << std::endl;
    return exit_internal;
  }
}
