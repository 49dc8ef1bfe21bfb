// Gauss-Newton fit of the five grid values to micro-image centres.
#include "lattice_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int gauss_newton_steps = 6;

}  // namespace

Geometry fit_lattice(const std::vector<CentreMeasure>& measures, const Geometry& start) {
  Geometry g = start;
  // Unknowns: origin_y, origin_x, pitch_y, pitch_x, t = tan(rotation). Model of a centre:
  //   row = oy + r py + c t px + dy,   col = ox - odd(r) px / 2 + c px - r t py + dx.
  double p[5] = {g.origin_y, g.origin_x, g.pitch_y, g.pitch_x, std::tan(g.theta)};
  const double dy = view_sample_dy(center_view), dx = view_sample_dx(center_view);
  for (int step = 0; step < gauss_newton_steps; ++step) {
    cv::Matx<double, 5, 5> A = cv::Matx<double, 5, 5>::zeros();
    cv::Vec<double, 5> b(0, 0, 0, 0, 0);
    for (const CentreMeasure& m : measures) {
      const double odd = (m.r % 2 != 0) ? 1.0 : 0.0;
      const double row = p[0] + m.r * p[2] + m.c * p[4] * p[3] + dy;
      const double col = p[1] - odd * p[3] / 2 + m.c * p[3] - m.r * p[4] * p[2] + dx;
      const cv::Vec<double, 5> jr(1, 0, m.r, m.c * p[4], m.c * p[3]);
      const cv::Vec<double, 5> jc(0, 1, -m.r * p[4], m.c - odd / 2, -m.r * p[2]);
      A += jr * jr.t() + jc * jc.t();
      b += jr * (m.y - row) + jc * (m.x - col);
    }
    cv::Vec<double, 5> delta;
    if (!cv::solve(A, b, delta, cv::DECOMP_SVD)) break;
    for (int k = 0; k < 5; ++k) p[k] += delta[k];
  }
  g.origin_y = p[0];
  g.origin_x = p[1];
  g.pitch_y = p[2];
  g.pitch_x = p[3];
  g.theta = std::atan(p[4]);
  return g;
}

std::vector<double> lattice_residuals(const std::vector<CentreMeasure>& measures, const Geometry& g) {
  std::vector<double> res;
  res.reserve(measures.size());
  for (const CentreMeasure& m : measures)
    res.push_back(std::hypot(m.y - g.centre_row(m.r, m.c), m.x - g.centre_col(m.r, m.c)));
  return res;
}

Geometry renumber_nearest(const Geometry& g, double origin_y, double origin_x) {
  // The lenslet nearest the reference origin lies within a few steps of lenslet (0, 0)
  // whenever the origin is.
  const int rs = static_cast<int>(std::lround((origin_y - g.origin_y) / g.pitch_y));
  const int cs = static_cast<int>(std::lround((origin_x - g.origin_x) / g.pitch_x));
  double best = std::numeric_limits<double>::infinity();
  int br = 0, bc = 0;
  for (int r = rs - 3; r <= rs + 3; ++r)
    for (int c = cs - 3; c <= cs + 3; ++c) {
      const double d = std::hypot(g.lenslet_row(r, c) - origin_y, g.lenslet_col(r, c) - origin_x);
      if (d < best) best = d, br = r, bc = c;
    }
  // Any lenslet can be (0, 0): rows half a pitch right of it are the same lenslets as rows
  // half a pitch left, one column on.
  Geometry out = g;
  out.origin_y = g.lenslet_row(br, bc);
  out.origin_x = g.lenslet_col(br, bc);
  return out;
}

GridDistance grid_distance(const Geometry& a, const Geometry& b) {
  GridDistance d;
  double sum = 0;
  for (int r = 0; r < a.lens_rows; ++r)
    for (int c = 0; c < a.lens_cols; ++c) {
      const double e = std::hypot(a.lenslet_row(r, c) - b.lenslet_row(r, c), a.lenslet_col(r, c) - b.lenslet_col(r, c));
      sum += e * e;
      d.max = std::max(d.max, e);
    }
  d.rms = std::sqrt(sum / (static_cast<double>(a.lens_rows) * a.lens_cols));
  return d;
}
