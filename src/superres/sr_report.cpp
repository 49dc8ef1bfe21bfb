// Console lines, log lines and files of the super-resolution iteration.
#include "sr_report.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "imageio.h"
#include "output_paths.h"
#include "progress.h"
#include "projection.h"
#include "rawDepthEstimation.h"
#include "textformat.h"
#include "timings.h"

IterationReport::IterationReport(const Output* out, const Geometry& g, const DepthParams& depth,
                                 double mu, bool joint, int outer_iterations,
                                 int inner_iterations)
    : out_(out), g_(g), depth_(depth), mu_(mu), joint_(joint), outer_(outer_iterations),
      inner_(inner_iterations) {}

void IterationReport::begin() {
  progress().begin("super-resolution", outer_ * std::max(inner_, 0));
}

void IterationReport::outer_begins(int it) { std::cout << "iteration : " << it << std::endl; }

void IterationReport::step_begins(int it, int k) {
  progress().detail(strformat("outer %d/%d, inner %d/%d", it + 1, outer_, k + 1, inner_));
  std::cout << k << std::endl;
}

void IterationReport::data_error(double E) { std::cout << "norm error = " << E << std::endl; }

void IterationReport::diagnostics(const DiagnosticImages& d) {
  if (out_ == nullptr) return;
  ScopedTiming timing("diagnostic images");
  out_->write_image_behind(paths::diagnostic("blur"), d.blur);
  out_->write_image_behind(paths::diagnostic("motion10"), d.motion10);
  out_->write_image_behind(paths::diagnostic("error10"), d.error10);
  out_->write_image_behind(paths::diagnostic("motion60"), d.motion60);
  out_->write_image_behind(paths::diagnostic("error60"), d.error60);
}

void IterationReport::step_ends(int it, int k, const StepLength& s) {
  std::cout << "alpha = " << s.alpha << std::endl;
  std::cout << "L_SR = " << s.L_SR << std::endl;
  if (k == inner_ - 1) std::cout << "E_SR = " << s.E_SR << std::endl;
  if (out_ != nullptr) {
    std::ostringstream log;
    if (it == 0 && k == 0) log << "--------- norm error ------------\n";
    if (k == 0) log << "ite\t" << it << "\n";
    log << k << "\t" << s.E << "\t\t" << "E_SR" << "\t" << s.E_SR << "\t" << "Regular" << "\t\t"
        << s.regular << "\n";
    if (s.flat) log << "stop\tzero curvature\n";
    out_->append_text(paths::sr_log(mu_, joint_), log.str());
  }
  run_summary() = {true, it, k, s.E, s.E_SR, s.regular};
  progress().advance(it * inner_ + k + 1);
}

void IterationReport::result(int it, const cv::Mat& estimate) {
  if (out_ == nullptr) return;
  ScopedTiming timing("write estimate");
  out_->write_image_behind(paths::sr_result(mu_, joint_, it), estimate);
}

void IterationReport::depth_estimated(int it, const cv::Mat& depth) {
  // The depth estimation reported as a stage of its own; resume this one.
  progress().begin("super-resolution", outer_ * std::max(inner_, 0), (it + 1) * inner_);
  if (out_ == nullptr) return;
  ScopedTiming timing("write depth");
  write_depth_files(*out_, paths::sr_depth(mu_, joint_, it), depth, depth_.min_disparity,
                    depth_.max_disparity, g_);
}

void IterationReport::end() { progress().end(); }
