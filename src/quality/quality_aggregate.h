// Edge-aware smoothing of matching costs: a recursive filter (two passes along rows and two
// along columns, repeated twice with shrinking reach) whose weights fall across colour edges
// of a guide image, so costs do not leak between surfaces. Applied alike to cost sums and
// sample counts, their ratio is a mean cost over a neighbourhood that follows the edges.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

class EdgeAwareFilter {
 public:
  // guide: CV_32FC3 (the blurred estimate); reach: spatial extent, pixels (> 0);
  // colour_sigma: colour distance (sum over channels, 8-bit units) at which a step weighs
  // as much as reach pixels more of distance; 0 ignores the guide (plain exponential window).
  EdgeAwareFilter(const cv::Mat& guide, double reach, double colour_sigma);

  // Filters a and b (CV_32F, the guide's size) in place with the same weights.
  void apply(cv::Mat& a, cv::Mat& b) const;

 private:
  int rows_, cols_;
  // Per pass: weight linking each pixel to its left (upper) neighbour.
  std::vector<cv::Mat> wx_, wy_;
};
