// Reweighted conjugate-gradient solver of the quality mode; every image-wide sum is taken in
// row order (quality_reduce.h).
#include "quality_solver.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "execution.h"
#include "quality_reduce.h"

void metric_apply(const float g[3], float chroma_weight, float out[3]) {
  const float mean = (g[0] + g[1] + g[2]) / 3.0f;
  for (int c = 0; c < 3; ++c) out[c] = mean + chroma_weight * (g[c] - mean);
}

namespace {

// Squared metric length of a gradient.
inline float metric_norm2(const float g[3], float chroma_weight) {
  float m[3];
  metric_apply(g, chroma_weight, m);
  return g[0] * m[0] + g[1] * m[1] + g[2] * m[2];
}

// Forward differences of pixel (y, x): gx, gy per channel (0 beyond the last column / row).
inline void gradients(const cv::Mat& u, int y, int x, float gx[3], float gy[3]) {
  const float* c = u.ptr<float>(y) + 3 * x;
  const bool right = x + 1 < u.cols, down = y + 1 < u.rows;
  const float* r = right ? c + 3 : c;
  const float* d = down ? u.ptr<float>(y + 1) + 3 * x : c;
  for (int k = 0; k < 3; ++k) {
    gx[k] = r[k] - c[k];
    gy[k] = d[k] - c[k];
  }
}

}  // namespace

double regulariser_value(const cv::Mat& u, const QualityParams& p, cv::Mat* w) {
  if (w != nullptr) w->create(u.rows, u.cols, CV_32F);
  const float chroma = static_cast<float>(p.chroma_weight);
  const double eps2 = p.tv_epsilon * p.tv_epsilon;
  const double lambda = p.tv_weight, mu = p.smooth_weight;
  const double sum = ordered_sum(u.rows, [&](int y) {
    double s = 0;
    float* wr = w != nullptr ? w->ptr<float>(y) : nullptr;
    for (int x = 0; x < u.cols; ++x) {
      float gx[3], gy[3];
      gradients(u, y, x, gx, gy);
      const double q = static_cast<double>(metric_norm2(gx, chroma)) + metric_norm2(gy, chroma);
      const double phi = std::sqrt(q + eps2);
      s += lambda * phi + 0.5 * mu * q;
      // The weight of the quadratic majoriser at u: lambda / phi from the total variation,
      // mu from the quadratic term.
      if (wr != nullptr) wr[x] = static_cast<float>(lambda / phi + mu);
    }
    return s;
  });
  return sum;
}

void regulariser_apply(const cv::Mat& u, const cv::Mat& w, float chroma_weight, cv::Mat& out) {
  // Weighted metric gradients first, then their transposed differences.
  cv::Mat fx(u.size(), CV_32FC3), fy(u.size(), CV_32FC3);
  parallel_bands(u.rows, [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
      const float* wr = w.ptr<float>(y);
      float* ox = fx.ptr<float>(y);
      float* oy = fy.ptr<float>(y);
      for (int x = 0; x < u.cols; ++x) {
        float gx[3], gy[3], mx[3], my[3];
        gradients(u, y, x, gx, gy);
        metric_apply(gx, chroma_weight, mx);
        metric_apply(gy, chroma_weight, my);
        for (int c = 0; c < 3; ++c) {
          ox[3 * x + c] = x + 1 < u.cols ? wr[x] * mx[c] : 0.0f;
          oy[3 * x + c] = y + 1 < u.rows ? wr[x] * my[c] : 0.0f;
        }
      }
    }
  });
  out.create(u.size(), CV_32FC3);
  parallel_bands(u.rows, [&](int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
      const float* ox = fx.ptr<float>(y);
      const float* oy = fy.ptr<float>(y);
      const float* oyu = y > 0 ? fy.ptr<float>(y - 1) : nullptr;
      float* o = out.ptr<float>(y);
      for (int x = 0; x < u.cols; ++x)
        for (int c = 0; c < 3; ++c) {
          // D^t f at x: f(x - 1) - f(x), the terms that hold u(x) with a sign.
          float v = -ox[3 * x + c] - oy[3 * x + c];
          if (x > 0) v += ox[3 * (x - 1) + c];
          if (oyu != nullptr) v += oyu[3 * x + c];
          o[3 * x + c] = v;
        }
    }
  });
}

namespace {

// Huber penalty of one residual: quadratic up to delta, linear beyond (delta 0: quadratic).
inline double huber(double r, double delta) {
  const double a = std::fabs(r);
  return delta <= 0 || a <= delta ? 0.5 * r * r : delta * a - 0.5 * delta * delta;
}

// Data energy of the residuals, and if weights is given, the reweighting factor of every
// sample (delta / max(delta, |r|)), views summed in index order.
double data_value(const std::vector<cv::Mat>& r, double delta, std::vector<cv::Mat>* weights) {
  if (weights != nullptr) weights->resize(r.size());
  std::vector<double> part(r.size(), 0.0);
  parallel_items(static_cast<int>(r.size()), [&](int i) {
    if (weights != nullptr) (*weights)[i].create(r[i].size(), CV_32F);
    double s = 0;
    for (int k = 0; k < r[i].rows; ++k) {
      const float* p = r[i].ptr<float>(k);
      float* w = weights != nullptr ? (*weights)[i].ptr<float>(k) : nullptr;
      for (int n = 0; n < r[i].cols; ++n) {
        s += huber(p[n], delta);
        if (w != nullptr)
          w[n] = delta > 0 && std::fabs(p[n]) > delta ? static_cast<float>(delta / std::fabs(p[n])) : 1.0f;
      }
    }
    part[i] = s;
  });
  double sum = 0;
  for (double v : part) sum += v;
  return sum;
}

// values[i] *= weights[i] per sample.
void weigh(std::vector<cv::Mat>& values, const std::vector<cv::Mat>& weights) {
  parallel_items(static_cast<int>(values.size()), [&](int i) {
    float* v = values[i].ptr<float>(0);
    const float* w = weights[i].ptr<float>(0);
    const size_t n = values[i].total();
    for (size_t j = 0; j < n; ++j) v[j] *= w[j];
  });
}

}  // namespace

QualityEnergy quality_energy(const SubpixelModel& m, const cv::Mat& u, const QualityParams& p) {
  std::vector<cv::Mat> r;
  QualityEnergy e;
  m.residual(u, r);
  e.data = data_value(r, p.robust_scale, nullptr);
  e.regulariser = regulariser_value(u, p, nullptr);
  return e;
}

QualityEnergy solve_quality(const SubpixelModel& m, cv::Mat& u, const QualityParams& p, int steps,
                            const std::function<void(int)>& done) {
  const float chroma = static_cast<float>(p.chroma_weight);
  std::vector<cv::Mat> views, data_w;
  cv::Mat w, grad, reg, dir, q, tmp;
  // System matrix times x: A^t W_data A x + R_w x.
  auto system = [&](const cv::Mat& x, cv::Mat& out) {
    m.apply(x, views);
    weigh(views, data_w);
    m.apply_adjoint(views, out);
    regulariser_apply(x, w, chroma, tmp);
    cv::add(out, tmp, out);
  };
  int finished = 0;
  // The robust scale starts wide and halves at every renewal down to its value, so that a
  // start far from the samples is not mistaken for outliers everywhere.
  double delta = p.robust_scale * 8;
  while (finished < steps) {
    regulariser_value(u, p, &w);
    // Negative gradient of the quadratic model at u.
    m.residual(u, views);
    delta = std::max(p.robust_scale, 0.5 * delta);
    data_value(views, delta, &data_w);
    weigh(views, data_w);
    m.apply_adjoint(views, grad);
    regulariser_apply(u, w, chroma, reg);
    cv::add(grad, reg, grad);
    cv::Mat res = -grad;
    dir = res.clone();
    double rr = image_dot(res, res);
    const int chunk = std::min(static_cast<int>(p.reweight_steps), steps - finished);
    for (int s = 0; s < chunk; ++s) {
      if (rr <= 0) break;
      system(dir, q);
      const double pq = image_dot(dir, q);
      if (!(pq > 0)) break;
      const double alpha = rr / pq;
      image_axpy(u, alpha, dir, u);
      image_axpy(res, -alpha, q, res);
      const double rr_new = image_dot(res, res);
      image_axpy(res, rr_new / rr, dir, dir);
      rr = rr_new;
      done(finished + s + 1);
    }
    finished += chunk;
    done(finished);
  }
  return quality_energy(m, u, p);
}
