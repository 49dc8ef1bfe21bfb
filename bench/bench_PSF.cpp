// Point spread function on a full-resolution image: reference loop against the fast kernel.
#include <benchmark/benchmark.h>

#include "PSF.h"
#include "execution.h"
#include "geometry.h"

namespace {

// Arguments: path (0 reference, 1 fast), threads (fast path only; 0 = every core).
void BM_PSF(benchmark::State& state) {
  const bool fast = state.range(0) == 1;
  execution().threads = static_cast<int>(state.range(1));
  cv::Mat src(high_y, high_x, CV_32FC3), dst;
  cv::RNG rng(1);
  rng.fill(src, cv::RNG::UNIFORM, 0.0, 255.0);
  for (auto _ : state) {
    if (fast)
      PSF_fast(src, dst, xscale, yscale);
    else
      reference::PSF(src, dst, xscale, yscale);
    benchmark::DoNotOptimize(dst.data);
  }
  state.SetLabel(fast ? "fast" : "reference");
  execution().threads = 0;
}
BENCHMARK(BM_PSF)
    ->ArgNames({"fast", "threads"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
