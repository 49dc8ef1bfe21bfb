// Forward half of the fast projector: the value of every plan entry (residual or projected
// sample) from the blurred image, and the diagnostic images built from the plan.
#include <cstdint>
#include <vector>

#include "projection_fast.h"

namespace {

// Value of entry e (view row k) of a view from the blurred image: the projected sample in the
// entry's channel t, or the recorded sample minus it. Only channel t is interpolated unless it
// is 0, when the other two decide whether the footprint saw nothing (residual 0); every
// channel is interpolated as in the full colour, so the value keeps its bits.
inline float entry_value(Kept kind, const ProjectionPlan& p, const ViewPlan& vp, int k,
                         int e, const float* blurred, const uchar* recorded) {
  const int t = vp.channel[e];
  if (t > 2) return 0.0f;
  const int n = vp.pixel[e] - k * p.g.low_x;
  const float wy = p.wy[k], wx = p.wx[n];
  const int32_t* w = &vp.winner[4 * static_cast<size_t>(e)];
  const float* a = blurred + 3 * static_cast<size_t>(w[0]);
  const float* b = blurred + 3 * static_cast<size_t>(w[1]);
  const float* c = blurred + 3 * static_cast<size_t>(w[2]);
  const float* d = blurred + 3 * static_cast<size_t>(w[3]);
  const auto at = [&](int ch) { return bilinear(a[ch], b[ch], c[ch], d[ch], wx, wy); };
  const float St = at(t);
  if (kind == Kept::projected) return St;
  const unsigned char r = recorded[3 * static_cast<size_t>(vp.pixel[e]) + t];
  if (St != 0.0f) return static_cast<float>(r) - St;
  const float S[3] = {t == 0 ? St : at(0), t == 1 ? St : at(1), t == 2 ? St : at(2)};
  return residual_value(S, t, r);
}

}  // namespace


// Rows outer, views inner, so the blurred rows stay in cache.
void entry_values(Kept kind, const ProjectionPlan& p, int k0, int k1, const float* blurred,
                  const cv::Mat* views, std::vector<HugeVector<float>>& values) {
  for (int i = 0; i < view_count; ++i) {
    const ViewPlan& vp = p.views[i];
    float* val = values[i].data();
    const uchar* recorded = views ? views[i].ptr<uchar>() : nullptr;
    for (int k = k0; k < k1; ++k)
      for (int e = vp.entry_row[k]; e < vp.entry_row[k + 1]; ++e)
        val[e] = entry_value(kind, p, vp, k, e, blurred, recorded);
  }
}

void warped_image(const cv::Mat& blurred8, const cv::Mat& winners, cv::Mat& w) {
  w.create(blurred8.rows, blurred8.cols, CV_8UC3);
  parallel_bands(blurred8.rows, [&](int y0, int y1) {
    const cv::Vec3b* b = blurred8.ptr<cv::Vec3b>();
    for (int y = y0; y < y1; ++y) {
      const int32_t* win = winners.ptr<int32_t>(y);
      cv::Vec3b* o = w.ptr<cv::Vec3b>(y);
      for (int x = 0; x < blurred8.cols; ++x) o[x] = win[x] >= 0 ? b[win[x]] : cv::Vec3b();
    }
  });
}

void value_image(const ProjectionPlan& p, const ViewPlan& vp, const HugeVector<float>& values,
                 cv::Mat& v) {
  v.create(p.g.low_y, p.g.low_x, CV_32FC3);
  v.setTo(cv::Scalar::all(0));
  float* o = v.ptr<float>();
  for (size_t e = 0; e < values.size(); ++e) o[3 * static_cast<size_t>(vp.pixel[e]) + vp.channel[e]] = values[e];
}
