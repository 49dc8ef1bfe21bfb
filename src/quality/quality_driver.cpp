// Quality-mode driver: the order of stages, progress, console lines, log and result files.
#include "quality_driver.h"

#include <malloc.h>

#include <iostream>
#include <sstream>

#include "imageio.h"
#include "output_paths.h"
#include "progress.h"
#include "quality_depth.h"
#include "quality_model.h"
#include "quality_solver.h"
#include "rawDepthEstimation.h"
#include "signals.h"
#include "textformat.h"
#include "timings.h"


namespace {

void write_depth(const Output* out, const std::string& relative, const cv::Mat& depth,
                 const RunOptions& o, const Geometry& g) {
  if (out == nullptr) return;
  ScopedTiming timing("write depth");
  write_depth_files(*out, relative, depth, o.depth.min_disparity, o.depth.max_disparity, g);
}

// The first sweeps score the views against each other: the estimate they start from (the
// bicubic image) lacks the detail that the views hold between them.
SweepMatch match_of_sweep(int sweep, const QualityParams& p) {
  return sweep < p.consistency_sweeps ? SweepMatch::consistency : SweepMatch::estimate;
}

}  // namespace

void run_quality(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks, cv::Mat& depth,
                 const RunOptions& o, const Geometry& g, const Output* out) {
  const QualityParams& p = o.quality;
  // The solver and the sweeps make and drop images of tens of megabytes many times over.
  // Kept in the heap instead of handed back to the system, they are not faulted in, page by
  // page, again and again.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const std::string dir = paths::quality_dir();
  if (out != nullptr) out->write_image_behind(dir + "bicubic.ppm", estimate);

  SubpixelModel model(g, views, masks);
  depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  const float s = g.xscale_f();
  const std::vector<double> ladder = disparity_ladder(
      static_cast<float>(o.depth.min_disparity) * s, static_cast<float>(o.depth.max_disparity) * s,
      p.disparity_step);
  {
    ScopedTiming timing("quality depth sweep");
    progress().begin("depth sweep", static_cast<int>(ladder.size()));
    const cv::Mat base = depth.clone();
    model.set_depth(base);
    sweep_depth(model, estimate, base, ladder, p, match_of_sweep(0, p), depth,
                [](int n) { progress().advance(n); });
    progress().end();
  }
  write_depth(out, dir + "depthmapbig.pgm", depth, o, g);

  const int outer = static_cast<int>(p.outer_iterations);
  const std::vector<double> refine = disparity_ladder(-p.refine_range, p.refine_range, p.refine_step);
  double previous = 0;
  int last = outer - 1;  // the outer iteration that takes the final, longer solve
  for (int it = 0; it <= last; ++it) {
    std::cout << "iteration : " << it << std::endl;
    model.set_depth(depth);
    const int steps = static_cast<int>(it == last ? p.final_steps : p.solver_steps);
    progress().begin("reconstruction", steps);
    progress().detail(strformat("outer %d/%d", it + 1, last + 1));
    QualityEnergy e;
    {
      ScopedTiming timing("quality reconstruction");
      // The squared-gradient term damps the finest detail, which the last image is better
      // without but the depth sweeps between solves need to match against.
      QualityParams solve = p;
      if (it != last) solve.smooth_weight = 0;
      e = solve_quality(model, estimate, solve, steps, [](int n) { progress().advance(n); });
    }
    progress().end();
    std::cout << "norm error = " << e.data << std::endl;
    std::cout << "E_SR = " << e.total() << std::endl;
    if (out != nullptr) {
      std::ostringstream log;
      if (it == 0) log << "--------- norm error ------------\n";
      log << "ite\t" << it << "\n";
      log << 0 << "\t" << e.data << "\t\t" << "E_SR" << "\t" << e.total() << "\t" << "Regular"
          << "\t\t" << e.regulariser << "\n";
      out->append_text(dir + "normerror.txt", log.str());
      ScopedTiming timing("write estimate");
      // Values outside 0..255 are saturated by the 8-bit conversion of the writer.
      out->write_image_behind(dir + strformat("sr%02d.ppm", it), estimate);
    }
    run_summary() = {true, it, 0, e.data, e.total(), e.regulariser};
    check_interrupted();

    {
      ScopedTiming timing("quality depth sweep");
      // The first re-estimations search the whole range again: the first map, made from the
      // bicubic image, can be off by more than the narrow range.
      const bool full = it < p.full_sweeps;
      const std::vector<double>& offsets = full ? ladder : refine;
      progress().begin("depth re-estimation", static_cast<int>(offsets.size()));
      const cv::Mat base = full ? cv::Mat(cv::Mat::zeros(g.high_y, g.high_x, CV_32F)) : depth.clone();
      if (full) model.set_depth(base);  // else the model holds this map already
      sweep_depth(model, estimate, base, offsets, p, match_of_sweep(it + 1, p), depth,
                  [](int n) { progress().advance(n); });
      // Steps around the previous map never leave the searched range.
      depth = cv::max(cv::min(depth, ladder.back()), ladder.front());
      progress().end();
    }
    write_depth(out, dir + strformat("depth/depth%02d.pgm", it), depth, o, g);
    // Once an outer iteration hardly lowers the energy, the next one is the last.
    const double now = e.total();
    if (it > 0 && it < last && previous > 0 && previous - now < p.stop_change * previous) last = it + 1;
    previous = now;
  }
}
