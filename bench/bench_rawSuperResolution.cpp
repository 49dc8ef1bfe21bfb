// Projection operations of the super-resolution at full size: plain (0) against fast (1),
// and one whole inner step's projections with the plan warm or built afresh.
//   bench_rawSuperResolution --benchmark_filter=Fast   (the plain path takes minutes)
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "PSF.h"
#include "execution.h"
#include "rawSuperResolution.h"
#include "projection.h"
#include "viewCreate.h"

namespace {

struct Scene {
  std::vector<cv::Mat> views, masks;
  cv::Mat estimate, direction, depth;
};

const Scene& scene() {
  static const Scene s = [] {
    const Geometry g;
    Scene s{std::vector<cv::Mat>(view_count), std::vector<cv::Mat>(view_count), {}, {}, {}};
    const int rows = static_cast<int>(std::ceil(g.origin_y + g.lens_rows * g.pitch_y)) + 8;
    const int cols = static_cast<int>(std::ceil(g.origin_x + g.lens_cols * g.pitch_x)) + 12;
    cv::Mat rgb(rows, cols, CV_8UC3), raw(rows, cols, CV_8UC1);
    cv::randu(rgb, 0, 256);
    cv::randu(raw, 0, 256);
    viewCreate vc(rgb, raw, g);
    cv::Mat center;
    vc.create_mask(s.views.data(), s.masks.data(), center);
    s.estimate = cv::Mat(g.high_y, g.high_x, CV_32FC3);
    cv::randu(s.estimate, 0, 255);
    s.direction = cv::Mat(g.high_y, g.high_x, CV_32FC3);
    cv::randn(s.direction, 0, 20);
    s.depth = cv::Mat(g.high_y, g.high_x, CV_32F);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> speckle(0, 40), level(0, 19);
    for (int y = 0; y < g.high_y; ++y)
      for (int x = 0; x < g.high_x; ++x) {
        int j = 9 + static_cast<int>(std::lround(5 * std::sin(x / 97.0) * std::cos(y / 61.0)));
        if (speckle(rng) == 0) j = level(rng);
        s.depth.at<float>(y, x) = -2.2601476f + 0.25f * static_cast<float>(j);
      }
    return s;
  }();
  return s;
}

enum class Op { error, gradient, hessian };

// One operation through `proj` on the scene's plan.
void project(Projector& proj, const ProjectionPlan& plan, Op op, Residuals& r, cv::Mat& out) {
  const Scene& s = scene();
  if (op == Op::hessian) {
    proj.second_order(plan, s.direction, out);
  } else {
    proj.project(plan, s.estimate, s.views.data(), r);
    if (op == Op::gradient) proj.back_project(plan, r, out);
  }
  benchmark::DoNotOptimize(out.data);
}

void run_op(benchmark::State& state, Op op) {
  const bool fast = state.range(0) == 1;
  execution().reference = !fast;
  const Scene& s = scene();
  const std::unique_ptr<Projector> proj = make_projector(Geometry(), !fast);
  ProjectionPlan plan;  // built once per map
  proj->build_plan(s.masks.data(), s.depth, plan);
  Residuals r;
  cv::Mat out;
  for (auto _ : state) project(*proj, plan, op, r, out);
  execution().reference = false;
}

void BM_RawError(benchmark::State& state) { run_op(state, Op::error); }
void BM_RawGradient(benchmark::State& state) { run_op(state, Op::gradient); }
void BM_SecondOrder(benchmark::State& state) { run_op(state, Op::hessian); }

// The blur each of the three operations applies to its full-size input (its own stage).
void BM_Blur(benchmark::State& state) {
  execution().reference = state.range(0) == 0;
  cv::Mat out;
  for (auto _ : state) PSF(scene().estimate, out, Geometry().xscale(), Geometry().yscale());
  execution().reference = false;
}

// Error, gradient and second-order term of one inner step on the fast path, with the plan
// warm or built afresh.
void BM_FastInnerStep(benchmark::State& state) {
  const bool warm = state.range(0) == 1;
  const Scene& s = scene();
  const std::unique_ptr<Projector> proj = make_projector(Geometry(), false);
  ProjectionPlan plan;
  proj->build_plan(s.masks.data(), s.depth, plan);
  Residuals r;
  cv::Mat g, h;
  for (auto _ : state) {
    if (!warm) proj->build_plan(s.masks.data(), s.depth, plan);
    proj->project(plan, s.estimate, s.views.data(), r);
    proj->back_project(plan, r, g);
    proj->second_order(plan, g, h);
    benchmark::DoNotOptimize(h.data);
  }
}

// Plan rebuild for a changed disparity map, as after every depth re-estimation: the maps
// alternate, the plan's buffers are reused.
void BM_PlanRebuild(benchmark::State& state) {
  const Scene& s = scene();
  cv::Mat other = s.depth.clone();
  other.at<float>(0, 0) += 0.25f;
  const std::unique_ptr<Projector> proj = make_projector(Geometry(), false);
  ProjectionPlan plan;
  proj->build_plan(s.masks.data(), s.depth, plan);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    proj->build_plan(s.masks.data(), flip ? other : s.depth, plan);
  }
}

}  // namespace

// The plain path runs once: one gradient or second-order term takes most of a minute.
#define PATHS(bm)                                                                           \
  BENCHMARK(bm)->ArgName("fast")->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime(); \
  BENCHMARK(bm)->ArgName("fast")->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()
PATHS(BM_RawError);
PATHS(BM_RawGradient);
PATHS(BM_SecondOrder);
PATHS(BM_Blur);
BENCHMARK(BM_FastInnerStep)->ArgName("warm")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlanRebuild)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
