// Per-pixel formulas of the super-resolution's forward model (z-buffer, bilinear view
// sampling, residual) and of its adjoint (bilinear splat), shared by the plain and the fast
// projections so that speeding up cannot change the maths.
#pragma once

#include <cmath>
#include <opencv2/core.hpp>

#include "geometry.h"

// What a projection keeps per view pixel, in the mask's channel.
enum class Kept {
  residual,  // recorded sample minus sampled value (raw error and data-term gradient)
  projected  // the sampled value itself (second-order term); views are not read
};

// ---- Per-pixel formulas -------------------------------------------------------------------

// Initial z-buffer entry; an entry still holding it was never written.
constexpr float zbuf_unset = -100.0f;
inline bool zbuf_empty(float z) { return static_cast<int>(z) == -100; }

// Bilinear sample from the footprint's pixels: top-left, top-right, bottom-left, bottom-right.
inline float bilinear(float w00, float w01, float w10, float w11, float wx, float wy) {
  return (w00 * (1.0f - wx) + w01 * wx) * (1.0f - wy) + (w10 * (1.0f - wx) + w11 * wx) * wy;
}

// Splat weights of the four footprint pixels, in the same order; the adjoint of bilinear().
struct SplatWeights {
  float w00, w01, w10, w11;
};
inline SplatWeights splat_weights(float wx, float wy) {
  return {(1.0f - wy) * (1.0f - wx), (1.0f - wy) * wx, (1.0f - wx) * wy, wy * wx};
}

// Residual in the mask's channel t: recorded sample minus sampled value, 0 where nothing was
// sampled (all three channels exactly 0) or there is no recorded sample.
inline float residual_value(const float S[3], int t, unsigned char recorded) {
  if (t < 0 || t > 2) return 0.0f;
  if (S[0] == 0.0f && S[1] == 0.0f && S[2] == 0.0f) return 0.0f;
  return static_cast<float>(recorded) - S[t];
}
// Projected sample in the mask's channel t (0 without a recorded sample).
inline float projected_value(const float S[3], int t) {
  return (t < 0 || t > 2) ? 0.0f : S[t];
}
