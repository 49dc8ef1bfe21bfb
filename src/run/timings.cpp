#include "timings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/resource.h>
#include <vector>

namespace {

struct Part {
  const char* name;
  int calls;
  double seconds;
  long faults;
  double fastest;  // the quickest call: later calls no longer pay for fresh memory
};

std::mutex parts_mutex;
std::vector<Part>& parts() {
  static std::vector<Part> p;  // in order of first use
  return p;
}

// Fresh pages are a large share of the run's cost on virtual machines, so parts count them.
long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

}  // namespace

bool timings_enabled() {
  static const bool on = [] {
    const char* v = std::getenv("PLENOSR_TIMINGS");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
  }();
  return on;
}

ScopedTiming::ScopedTiming(const char* name) : name_(timings_enabled() ? name : nullptr) {
  if (!name_) return;
  faults_ = minor_faults();
  start_ = std::chrono::steady_clock::now();
}

void ScopedTiming::stop() {
  if (!name_) return;
  const char* name = name_;
  name_ = nullptr;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const long faults = minor_faults() - faults_;
  std::lock_guard<std::mutex> lock(parts_mutex);
  for (Part& p : parts())
    if (std::strcmp(p.name, name) == 0) {
      ++p.calls;
      p.seconds += s;
      p.faults += faults;
      if (s < p.fastest) p.fastest = s;
      return;
    }
  parts().push_back({name, 1, s, faults, s});
}

void print_timings() {
  if (!timings_enabled()) return;
  std::lock_guard<std::mutex> lock(parts_mutex);
  std::fprintf(stderr, "timing\tpart\tcalls\ttotal(s)\tper call(s)\tpage faults\tfastest(s)\n");
  for (const Part& p : parts())
    std::fprintf(stderr, "timing\t%s\t%d\t%.3f\t%.4f\t%ld\t%.4f\n", p.name, p.calls, p.seconds,
                 p.seconds / p.calls, p.faults, p.fastest);
}
