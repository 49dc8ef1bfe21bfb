// Per-sample formulas of the regulariser (colour matrix, forward differences and their
// transpose, soft threshold) and of the estimate update, shared by the plain operators and
// the fast kernels so that speeding up cannot change the maths.
#pragma once

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

// Colour matrix, rows = destination channels, columns = source channels (storage order).
inline cv::Mat colour_matrix() {
  cv::Mat_<float> m(3, 3);
  m << 0.299f, 0.587f, 0.114f, -0.169f, -0.331f, 0.5f, 0.5f, -0.419f, 0.081f;
  return m;
}

// One destination channel: the source channels weighted left to right.
inline float weighted3(const float* s, float m0, float m1, float m2) {
  return (s[0] * m0 + s[1] * m1) + s[2] * m2;
}

// Forward difference of a sample and its successor (absent past the end), accumulated from
// 0 in increasing offset order so that a zero input gives +0.
inline float forward_difference(float self, const float* next) {
  float o = 0.0f;
  o += -1.0f * self;
  if (next) o += 1.0f * *next;
  return o;
}
// Its transpose: predecessor (absent before the start) minus the sample.
inline float backward_difference(const float* prev, float self) {
  float o = 0.0f;
  if (prev) o += 1.0f * *prev;
  o += -1.0f * self;
  return o;
}

// Soft threshold: sign(x) * max(|x| - t, 0), the maximum taken in double.
inline float soft_threshold(float x, double t) {
  const float s = x > 0 ? 1.0f : (x < 0 ? -1.0f : 0.0f);
  const double m = std::max(static_cast<double>(std::fabs(x)) - t, 0.0);
  return static_cast<float>(m) * s;
}

// Estimate update of one sample, clamped to the 8-bit range.
inline float descend(float u, float g, float alpha) {
  float v = u - alpha * g;
  if (v < 0.0f)
    v = 0.0f;
  else if (v > 255.0f)
    v = 255.0f;
  return v;
}
