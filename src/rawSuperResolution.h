// Raw-domain super-resolution: split Bregman iteration for an anisotropic total-variation
// regulariser, with steepest-descent inner steps against the raw samples of all 81 views
// and, in joint mode, depth re-estimated after every outer iteration.
#pragma once

#include <opencv2/core.hpp>

#include "geometry.h"
#include "options.h"

class Output;

class rawSuperResolution {
 public:
  // `out` receives the log and images; nullptr writes nothing. `depth_params` are used for
  // the joint-mode depth re-estimation.
  rawSuperResolution(int outer_iterations, int inner_iterations, double mu, double lambda,
                     const Geometry& g = Geometry(), const Output* out = nullptr,
                     const DepthParams& depth_params = DepthParams());
  ~rawSuperResolution();

  void raw_super_resolution(cv::Mat& estimate, const cv::Mat* views, const cv::Mat* masks,
                            cv::Mat& depth, bool joint, bool use_yuv);

  int outer_iterations;
  int inner_iterations;
  double mu;
  double lambda;

 private:
  Geometry geom_;
  const Output* out_;
  DepthParams depth_params_;
};
