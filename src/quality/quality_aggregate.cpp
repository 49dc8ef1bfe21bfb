// Recursive edge-aware filter: weights a^(1 + reach / sigma * |colour step|) between
// neighbours, forward then backward along every row, then along every column. Each row
// (column) is filtered in one fixed order whatever the thread count.
#include "quality_aggregate.h"

#include <algorithm>
#include <cmath>

#include "execution.h"

namespace {
constexpr int passes = 2;
}

EdgeAwareFilter::EdgeAwareFilter(const cv::Mat& guide, double reach, double colour_sigma)
    : rows_(guide.rows), cols_(guide.cols) {
  const double ratio = colour_sigma > 0 ? reach / colour_sigma : 0.0;
  cv::Mat dx(rows_, cols_, CV_32F), dy(rows_, cols_, CV_32F);
  parallel_bands(rows_, [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
      const float* g = guide.ptr<float>(y);
      const float* up = guide.ptr<float>(std::max(0, y - 1));
      float* px = dx.ptr<float>(y);
      float* py = dy.ptr<float>(y);
      for (int x = 0; x < cols_; ++x) {
        const float* c = g + 3 * x;
        const float* l = g + 3 * std::max(0, x - 1);
        const float* u = up + 3 * x;
        const float sx = std::fabs(c[0] - l[0]) + std::fabs(c[1] - l[1]) + std::fabs(c[2] - l[2]);
        const float sy = std::fabs(c[0] - u[0]) + std::fabs(c[1] - u[1]) + std::fabs(c[2] - u[2]);
        px[x] = static_cast<float>(1.0 + ratio * sx);
        py[x] = static_cast<float>(1.0 + ratio * sy);
      }
    }
  });
  for (int p = 0; p < passes; ++p) {
    // Reach of pass p so that the passes together have the requested reach.
    const double sigma = reach * std::sqrt(3.0) * std::pow(2.0, passes - p - 1) /
                         std::sqrt(std::pow(4.0, passes) - 1.0);
    const double a = std::exp(-std::sqrt(2.0) / sigma);
    cv::Mat wx(rows_, cols_, CV_32F), wy(rows_, cols_, CV_32F);
    parallel_bands(rows_, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) {
        const float* px = dx.ptr<float>(y);
        const float* py = dy.ptr<float>(y);
        float* ox = wx.ptr<float>(y);
        float* oy = wy.ptr<float>(y);
        for (int x = 0; x < cols_; ++x) {
          ox[x] = static_cast<float>(std::pow(a, static_cast<double>(px[x])));
          oy[x] = static_cast<float>(std::pow(a, static_cast<double>(py[x])));
        }
      }
    });
    wx_.push_back(wx);
    wy_.push_back(wy);
  }
}

void EdgeAwareFilter::apply(cv::Mat& a, cv::Mat& b) const {
  for (int p = 0; p < passes; ++p) {
    const cv::Mat& wx = wx_[p];
    const cv::Mat& wy = wy_[p];
    parallel_bands(rows_, [&](int y0, int y1) {
      for (int y = y0; y < y1; ++y) {
        const float* w = wx.ptr<float>(y);
        for (float* r : {a.ptr<float>(y), b.ptr<float>(y)}) {
          for (int x = 1; x < cols_; ++x) r[x] += w[x] * (r[x - 1] - r[x]);
          for (int x = cols_ - 2; x >= 0; --x) r[x] += w[x + 1] * (r[x + 1] - r[x]);
        }
      }
    });
    parallel_bands(cols_, [&](int x0, int x1) {
      for (cv::Mat* m : {&a, &b}) {
        for (int y = 1; y < rows_; ++y) {
          const float* w = wy.ptr<float>(y);
          const float* prev = m->ptr<float>(y - 1);
          float* r = m->ptr<float>(y);
          for (int x = x0; x < x1; ++x) r[x] += w[x] * (prev[x] - r[x]);
        }
        for (int y = rows_ - 2; y >= 0; --y) {
          const float* w = wy.ptr<float>(y + 1);
          const float* next = m->ptr<float>(y + 1);
          float* r = m->ptr<float>(y);
          for (int x = x0; x < x1; ++x) r[x] += w[x] * (next[x] - r[x]);
        }
      }
    });
  }
}
