// Plain iteration kernels: the object's own operators (colour transform, differences,
// shrinkage) and the image library's matrix expressions, in the order the iteration states.
#include <cmath>

#include "iteration_kernels.h"
#include "rawSuperResolution.h"
#include "regulariser_formulas.h"

double abs_product_sum(const cv::Mat& a, const cv::Mat& b) {
  const float* pa = a.ptr<float>();
  const float* pb = b.ptr<float>();
  const size_t n = a.total() * a.channels();
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += std::fabs(pa[i] * pb[i]);
  return sum;
}

namespace {

class ReferenceKernels final : public IterationKernels {
 public:
  ReferenceKernels(rawSuperResolution& sr, bool use_yuv) : sr_(sr), yuv_(use_yuv) {}

  void initial_split(const cv::Mat& u, SplitState& s) override {
    const cv::Mat Tu = T(u);
    s.dx = D(Tu, false);
    s.dy = D(Tu, true);
    s.bx = cv::Mat::zeros(u.rows, u.cols, CV_32FC3);
    s.by = cv::Mat::zeros(u.rows, u.cols, CV_32FC3);
  }

  CouplingNorms add_coupling(const cv::Mat& u, const SplitState& s, double lf,
                             cv::Mat& g) override {
    CouplingNorms n;
    const cv::Mat Tu = T(u);
    couple(Tu, s.dx, s.bx, false, lf, g, n.Lx, n.Nx);
    couple(Tu, s.dy, s.by, true, lf, g, n.Ly, n.Ny);
    return n;
  }

  void negate(cv::Mat& g) override { g = -1.0 * g; }

  CurvatureSums curvature(const cv::Mat& g, const cv::Mat& H) override {
    CurvatureSums q;
    q.q0 = abs_product_sum(g, H);
    const cv::Mat Tg = T(g);
    q.qx = abs_product_sum(g, Tt(Dt(D(Tg, false), false)));
    q.qy = abs_product_sum(g, Tt(Dt(D(Tg, true), true)));
    q.G2 = cv::norm(g, cv::NORM_L2);
    q.G1 = cv::norm(g, cv::NORM_L1);
    return q;
  }

  void descend(cv::Mat& u, const cv::Mat& g, float alpha) override {
    float* pu = u.ptr<float>();
    const float* pg = g.ptr<float>();
    const size_t n = u.total() * 3;
    for (size_t i = 0; i < n; ++i) pu[i] = ::descend(pu[i], pg[i], alpha);
  }

  void update_split(const cv::Mat& u, SplitState& s) override {
    const cv::Mat Tu = T(u);
    split(Tu, s.dx, s.bx, false);
    split(Tu, s.dy, s.by, true);
  }

 private:
  // R = d - D T u + b; L = |D T u|_1, N = |R|_2; g = g + lf T^t D^t R.
  void couple(const cv::Mat& Tu, const cv::Mat& d, const cv::Mat& b, bool vertical, double lf,
              cv::Mat& g, double& L, double& N) {
    const cv::Mat P = D(Tu, vertical);
    const cv::Mat R = d - P + b;
    L = cv::norm(P, cv::NORM_L1);
    N = cv::norm(R, cv::NORM_L2);
    g = g + lf * Tt(Dt(R, vertical));
  }
  // d = shrink(D T u - b), then b = b + d - D T u.
  void split(const cv::Mat& Tu, cv::Mat& d, cv::Mat& b, bool vertical) {
    const cv::Mat P = D(Tu, vertical);
    cv::Mat shifted = P - b;
    sr_.shrinkage(shifted, d);
    b = b + d - P;
  }

  // T, T^t, D and D^t as functions returning fresh images (T: x itself without colour).
  cv::Mat T(const cv::Mat& x) {
    if (!yuv_) return x;
    cv::Mat in = x, y;
    sr_.rgb2yuv(in, y, false);
    return y;
  }
  cv::Mat Tt(cv::Mat x) {
    if (!yuv_) return x;
    cv::Mat y;
    sr_.rgb2yuv(x, y, true);
    return y;
  }
  cv::Mat D(cv::Mat x, bool vertical) {
    cv::Mat y;
    sr_.product_matrixD(x, y, vertical);
    return y;
  }
  cv::Mat Dt(cv::Mat x, bool vertical) {
    cv::Mat y;
    sr_.product_matrixDt(x, y, vertical);
    return y;
  }

  rawSuperResolution& sr_;
  bool yuv_;
};

}  // namespace

std::unique_ptr<IterationKernels> make_reference_kernels(rawSuperResolution& sr, bool use_yuv) {
  return std::make_unique<ReferenceKernels>(sr, use_yuv);
}
