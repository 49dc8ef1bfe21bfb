// Per-candidate matching costs of the quality mode's depth sweep. For one candidate
// disparity offset, a cost fills `cost` (a sum of squared differences) and `count` (how many
// differences the sum holds) on the full grid; after aggregation their ratio is a mean
// matching cost. Samples are taken band by band of output rows in the fixed order (view,
// row, column), so the sums never depend on the thread count.
#pragma once

#include <opencv2/core.hpp>

#include "quality_model.h"

class MatchCost {
 public:
  virtual ~MatchCost() = default;
  virtual void operator()(double offset, cv::Mat& cost, cv::Mat& count) = 0;
};

// Every sample of the 80 non-centre views against the blurred estimate, read bilinearly at
// the spot the sample looks at; squared differences are capped at `cap` (8-bit units
// squared) and charged to the full-grid pixel nearest the spot. Precise when the estimate
// holds the scene's detail.
class EstimateCost : public MatchCost {
 public:
  EstimateCost(const SubpixelModel& m, const cv::Mat& blurred, float cap)
      : m_(m), blurred_(blurred), cap_(cap) {}
  void operator()(double offset, cv::Mat& cost, cv::Mat& count) override;

 private:
  const SubpixelModel& m_;
  const cv::Mat& blurred_;
  float cap_;
};

// Agreement of the views with each other: every sample of all 81 views is binned to the
// full-grid pixel nearest the spot it looks at, less the blurred estimate's slope across its
// distance from that pixel's centre; the cost is the spread of each channel's samples within
// a pixel (squared deviations from their mean), the count the samples beyond the first.
// Needs no detail from the estimate, so detail finer than one view holds cannot lure it to a
// wrong disparity the way a detail-poor estimate can.
class ConsistencyCost : public MatchCost {
 public:
  ConsistencyCost(const SubpixelModel& m, const cv::Mat& blurred);
  void operator()(double offset, cv::Mat& cost, cv::Mat& count) override;

 private:
  const SubpixelModel& m_;
  cv::Mat slope_y_, slope_x_;  // central differences of the blurred estimate
};
