// plenosr-batch's command line: its own options, the plenosr options it passes on to every
// exposure, and what each of its actions does.
#pragma once

#include <string>
#include <vector>

#include "lib/manifest.h"

// Exit status of a batch that ran every exposure it could but not all of them finished
// (the others are those of plenosr: 2 bad option, 3 bad manifest, 4 root not writable,
// 5 internal, 130 / 143 stopped by SIGINT / SIGTERM).
inline constexpr int exit_some_failed = 1;

struct BatchOptions {
  enum class Action { run, check, collect, unfinished, help, version };
  Action action = Action::run;
  std::string manifest;
  std::string root;
  int jobs = 1;                           // exposures at once
  int only = 0;                           // run just this exposure (1-based), 0 = all
  std::vector<std::string> plenosr_args;  // passed on to every exposure as given
  std::string threads;                    // plenosr's --threads value if given, else empty
};

// Splits the arguments (without the program name). MANIFEST comes before any plenosr
// option; the batch's own options may come anywhere. Throws RunError(exit_usage).
BatchOptions parse_batch_arguments(const std::vector<std::string>& args);

// Checks the options passed on with plenosr's own parser, as every exposure will get them.
// Throws RunError(exit_usage) naming the option.
void check_plenosr_options(const BatchOptions& o, const Manifest& m);

// Worker threads for each of `jobs` exposures at once on `cores` cores (at least 1).
int threads_per_exposure(int cores, int jobs);

// The arguments of one exposure's run (argv[0] = plenosr) and the part of them the finished
// marker records: everything but the thread count and the output root, which change no byte.
std::vector<std::string> exposure_arguments(const BatchOptions& o, const Exposure& e, const std::string& plenosr,
                                            const std::string& output_dir, int threads);
std::string run_arguments(const std::vector<std::string>& argv);

// Exposure numbers as ranges for a job array's --array option, e.g. "2,5-7".
std::string number_ranges(const std::vector<int>& numbers);

// The whole program: returns its exit status; prints errors as one line on stderr.
int batch_main(const std::vector<std::string>& args, const std::string& plenosr);
