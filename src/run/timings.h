// Wall-time accounting of the run's parts, for the whole-run benchmark: switched on by the
// environment variable PLENOSR_TIMINGS, printed on stderr at the end of the run. Off, a
// timer costs one flag test.
#pragma once

#include <chrono>

// Adds the wall time of its scope to the part `name` (a string literal).
class ScopedTiming {
 public:
  explicit ScopedTiming(const char* name);
  ~ScopedTiming() { stop(); }
  // Ends the scope's time early; later calls do nothing.
  void stop();
  ScopedTiming(const ScopedTiming&) = delete;
  ScopedTiming& operator=(const ScopedTiming&) = delete;

 private:
  const char* name_;
  std::chrono::steady_clock::time_point start_;
  long faults_ = 0;
};

bool timings_enabled();
// One line per part: name, calls, total seconds, seconds per call and the minor page faults
// of the process while the part ran (nothing when disabled).
void print_timings();
