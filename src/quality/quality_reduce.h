// Sums over whole images in a fixed order: each row's partial sum (double) is computed on its
// own, then the rows are added in row order, so the result never depends on the thread count.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "execution.h"

// Sum over rows 0..rows-1 of row_sum(y).
template <class RowSum>
double ordered_sum(int rows, RowSum&& row_sum) {
  std::vector<double> part(static_cast<size_t>(rows), 0.0);
  parallel_bands(rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) part[y] = row_sum(y);
  });
  double s = 0;
  for (double v : part) s += v;
  return s;
}

// Sum of a[i] * b[i] over every sample of two float images of one size and type.
inline double image_dot(const cv::Mat& a, const cv::Mat& b) {
  const int n = a.cols * a.channels();
  return ordered_sum(a.rows, [&](int y) {
    const float* pa = a.ptr<float>(y);
    const float* pb = b.ptr<float>(y);
    double s = 0;
    for (int x = 0; x < n; ++x) s += static_cast<double>(pa[x]) * pb[x];
    return s;
  });
}

// dst = a + s * b per sample (float images of one size and type; dst may be a or b).
inline void image_axpy(const cv::Mat& a, double s, const cv::Mat& b, cv::Mat& dst) {
  dst.create(a.size(), a.type());
  const int n = a.cols * a.channels();
  const float sf = static_cast<float>(s);
  parallel_bands(a.rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const float* pa = a.ptr<float>(y);
      const float* pb = b.ptr<float>(y);
      float* pd = dst.ptr<float>(y);
      for (int x = 0; x < n; ++x) pd[x] = pa[x] + sf * pb[x];
    }
  });
}
