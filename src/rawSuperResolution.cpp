// Placeholder: the iteration lands with the super-resolution stage.
#include "rawSuperResolution.h"

rawSuperResolution::rawSuperResolution(int outer, int inner, double mu_, double lambda_,
                                       const Geometry& g, const Output* out,
                                       const DepthParams& depth_params)
    : outer_iterations(outer), inner_iterations(inner), mu(mu_), lambda(lambda_), geom_(g),
      out_(out), depth_params_(depth_params) {}

rawSuperResolution::~rawSuperResolution() = default;

void rawSuperResolution::raw_super_resolution(cv::Mat&, const cv::Mat*, const cv::Mat*, cv::Mat&,
                                              bool, bool) {}
