// Run-wide execution switches: the plain reference path and the thread count, plus the one
// helper that owns the OpenMP pragma. Kernels are single-threaded functions of a band of rows.
#pragma once

#include <algorithm>

struct Execution {
  bool reference = false;  // force the plain, literal loops everywhere
  int threads = 0;         // 0: every core
};

// The process-wide switches; set once by the command line (or by a test) before any stage runs.
Execution& execution();

// Threads that parallel_bands uses (resolves threads == 0 to the core count).
int worker_threads();

// Calls body(begin, end) on disjoint bands covering [0, rows), in parallel. Each row belongs
// to exactly one band, so results never depend on the thread count as long as body writes
// only its own rows. Bands are given out statically.
template <class Body>
void parallel_bands(int rows, Body&& body) {
  const int threads = std::max(1, std::min(worker_threads(), rows));
  if (threads == 1) {
    if (rows > 0) body(0, rows);
    return;
  }
#pragma omp parallel for num_threads(threads) schedule(static, 1)
  for (int t = 0; t < threads; ++t) {
    const int begin = static_cast<int>(static_cast<long long>(rows) * t / threads);
    const int end = static_cast<int>(static_cast<long long>(rows) * (t + 1) / threads);
    if (begin < end) body(begin, end);
  }
}

// Like parallel_bands, for a library's element-wise operations on continuous images: every
// band is a multiple of 64 rows, so of 64 samples whatever the width, and starts as aligned
// as the image; the library then meets every sample at the same place of its vector loop
// (or its tail) as in one call over the whole image. body(begin, end) as above.
template <class Body>
void library_bands(int rows, Body&& body) {
  constexpr int unit = 64;
  parallel_bands((rows + unit - 1) / unit, [&](int c0, int c1) {
    body(c0 * unit, std::min(rows, c1 * unit));
  });
}

// Like parallel_bands, but hands out `items` independent work items one at a time
// (dynamic schedule); for work whose items differ in cost, e.g. one view each.
template <class Body>
void parallel_items(int items, Body&& body) {
  const int threads = std::max(1, std::min(worker_threads(), items));
  if (threads == 1) {
    for (int i = 0; i < items; ++i) body(i);
    return;
  }
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
  for (int i = 0; i < items; ++i) body(i);
}
