// Depth estimation on a full-resolution random exposure: window smoothing and the whole
// sweep, reference loops against the fast ones. The reference sweep runs one candidate only.
#include <benchmark/benchmark.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "execution.h"
#include "geometry.h"
#include "rawDepthEstimation.h"
#include "test_support.h"

namespace {

// Views, masks and bicubic first estimate of a random exposure, built once.
const TestViews& exposure() {
  static const TestViews e = random_views(Geometry(), 3);
  return e;
}

// Arguments: path (0 reference, 1 fast), threads (0 = every core).
void BM_blur_ssd(benchmark::State& state) {
  execution().reference = state.range(0) == 0;
  execution().threads = static_cast<int>(state.range(1));
  cv::Mat cost(high_y, high_x, CV_32F);
  cv::RNG rng(2);
  rng.fill(cost, cv::RNG::UNIFORM, 0.0, 3000.0);
  rawDepthEstimation de(-1, 1, 9);
  for (auto _ : state) {
    state.PauseTiming();
    cv::Mat c = cost.clone();
    state.ResumeTiming();
    de.blur_ssd(c, large_cost);
    benchmark::DoNotOptimize(c.data);
  }
  state.SetLabel(execution().reference ? "reference" : "fast");
  execution() = Execution();
}
BENCHMARK(BM_blur_ssd)
    ->ArgNames({"fast", "threads"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// Arguments: path (0 reference, 1 fast), threads, min and max disparity.
void BM_search_rawdisparity(benchmark::State& state) {
  const TestViews& e = exposure();
  execution().reference = state.range(0) == 0;
  execution().threads = static_cast<int>(state.range(1));
  const int min_d = static_cast<int>(state.range(2)), max_d = static_cast<int>(state.range(3));
  rawDepthEstimation de(min_d, max_d, 9);
  cv::Mat depth;
  for (auto _ : state) {
    de.search_rawdisparity(e.estimate, e.views.data(), e.masks.data(), depth);
    benchmark::DoNotOptimize(depth.data);
  }
  state.SetLabel(std::string(execution().reference ? "reference" : "fast") + ", " +
                 std::to_string(disparity_candidates(min_d, max_d, Geometry()).size()) +
                 " candidates");
  execution() = Execution();
}
BENCHMARK(BM_search_rawdisparity)
    ->ArgNames({"fast", "threads", "min", "max"})
    ->Args({0, 1, 0, 0})
    ->Args({1, 1, 0, 0})
    ->Args({1, 2, 0, 0})
    ->Args({1, 1, -1, 1})
    ->Args({1, 2, -1, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(2);

}  // namespace
