// Projection operations of the super-resolution at full size: plain (0) against fast (1),
// and one whole inner step's projections with the plan warm or built afresh.
//   bench_rawSuperResolution --benchmark_filter=Fast   (the plain path takes minutes)
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "PSF.h"
#include "execution.h"
#include "rawSuperResolution.h"
#include "projection.h"
#include "test_support.h"

namespace {

struct Scene {
  std::vector<cv::Mat> views, masks;
  cv::Mat estimate, direction, depth;
};

// A random exposure's views and masks, a random estimate and direction and a realistic
// disparity map at full size, built once.
const Scene& scene() {
  static const Scene s = [] {
    const Geometry g;
    TestViews e = random_views(g, 3);
    Scene s{std::move(e.views), std::move(e.masks), {}, {}, realistic_depth(g, 3)};
    s.estimate = cv::Mat(g.high_y, g.high_x, CV_32FC3);
    cv::randu(s.estimate, 0, 255);
    s.direction = cv::Mat(g.high_y, g.high_x, CV_32FC3);
    cv::randn(s.direction, 0, 20);
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
