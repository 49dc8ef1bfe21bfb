// Running the exposures of a batch: each in a process of its own (so a crash takes down only
// that exposure), at most `parallel` at a time, with progress on stderr. SIGINT and SIGTERM
// are passed on to the running exposures; nothing new starts after them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lib/batch_state.h"

struct BatchJob {
  std::string name;
  std::vector<std::string> argv;  // argv[0] is the program to run
  std::string arguments;          // what the finished marker records (see run_arguments)
};

struct BatchOutcome {
  int finished = 0;
  int failed = 0;
  int stopped = 0;  // stopped by the signal, or never started after it
  int signal = 0;   // SIGINT or SIGTERM if one arrived, else 0
};

// Runs the jobs in order, `parallel` at once. Each one's earlier run is cleared first; its
// summary line is written when it starts and when it ends, and its finished marker last.
// `after_each` is called after every exposure ends (e.g. to rewrite the summary).
// `skipped` counts exposures that finished before, for the progress line only.
BatchOutcome run_jobs(const std::vector<BatchJob>& jobs, int parallel, const BatchState& state,
                      int skipped, const std::function<void()>& after_each);

// The one-line error of a failed exposure from its log: the last line the program printed
// as its own ("plenosr: ..." or "plenosr-batch: ..."), or a description of the crash.
// `wait_status` is as waitpid returns it.
std::string failure_message(const std::string& log_text, int wait_status);

// The exit status as the summary records it: the program's own, or 128 + the signal.
int recorded_exit_status(int wait_status);
