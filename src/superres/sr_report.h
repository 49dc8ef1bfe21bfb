// Everything the super-resolution iteration shows or writes besides its result in memory:
// the console lines, the iteration log, the diagnostic, result and depth images, the
// progress line and the run summary. The iteration computes; this object reports.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "geometry.h"
#include "options.h"

class Output;
struct DiagnosticImages;

// The step length of one inner step and the energies it reports.
struct StepLength {
  double E = 0;        // data error |error image|_2
  double alpha = 0;    // step length (0 when the direction has no curvature)
  double L_SR = 0;     // inner objective
  double E_SR = 0;     // whole energy
  double regular = 0;  // mu * Lx + mu * Ly
  bool flat = false;   // the direction has no curvature: no step length
  bool stop = false;   // the inner iteration ends here without this step's update
};

class IterationReport {
 public:
  // `out` receives the log and images (nullptr: none); the paths take mu and joint; depth
  // images are scaled with the depth search's range.
  IterationReport(const Output* out, const Geometry& g, const DepthParams& depth, double mu,
                  bool joint, int outer_iterations, int inner_iterations);

  void begin();                              // progress of the whole call
  void outer_begins(int it);                 // "iteration : it"
  void step_begins(int it, int k);           // progress detail, "k"
  void data_error(double E);                 // "norm error = E"
  bool wants_diagnostics() const { return out_ != nullptr; }
  void diagnostics(const DiagnosticImages& d);  // blur, motion10, error10, motion60, error60
  // alpha, L_SR and (at the last allowed step) E_SR on the console; the step's log lines;
  // the summary's energies; one progress unit.
  void step_ends(int it, int k, const StepLength& s);
  void result(int it, const cv::Mat& estimate);     // srNN.ppm
  void depth_estimated(int it, const cv::Mat& depth);  // resumes progress; depth/depthNN.pgm
  void end();

 private:
  const Output* out_;
  Geometry g_;
  DepthParams depth_;
  double mu_;
  bool joint_;
  int outer_, inner_;
};
