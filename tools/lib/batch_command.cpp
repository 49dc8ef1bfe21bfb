// plenosr-batch: the command line and the actions run, check, collect and unfinished.
#include "lib/batch_command.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "cli.h"
#include "errors.h"
#include "lib/batch_run.h"
#include "lib/batch_state.h"
#include "signals.h"

namespace {

const char* const usage_text =
    "plenosr-batch: runs plenosr over every exposure of a manifest, each in a process of its own.\n"
    "\n"
    "Usage: plenosr-batch MANIFEST -o ROOT [--jobs N] [--only N] [plenosr options...]\n"
    "       plenosr-batch MANIFEST -o ROOT --check | --collect | --unfinished\n"
    "\n"
    "MANIFEST is a CSV file with the header name,rgb,raw (optionally geometry) and one exposure\n"
    "per line; relative paths are taken relative to the manifest's directory. Each exposure is\n"
    "written to ROOT/<name>/ exactly as `plenosr -o ROOT/<name>` writes it, with the plenosr\n"
    "options given here (--rgb, --raw and --geometry come from the manifest). A rerun skips the\n"
    "exposures that finished with the same options and runs the others again from the start.\n"
    "\n"
    "  -o, --output ROOT  output root (created if missing)\n"
    "  -j, --jobs N       exposures at once (default 1); the cores are shared among them unless\n"
    "                     --threads is given\n"
    "  --only N           run only exposure N (1 = the first line after the header), for one\n"
    "                     task of a job array; its summary line goes to ROOT/.batch/<name>.csv\n"
    "  --check            check the manifest and the options, run nothing\n"
    "  --collect          write ROOT/batch-summary.csv from the exposures' lines, run nothing\n"
    "  --unfinished       print the numbers of the exposures not finished, e.g. 2,5-7\n"
    "\n"
    "Writes ROOT/batch-summary.csv (name,status,exit_status,seconds,message), and the log of\n"
    "each exposure to ROOT/.batch/<name>.log.\n"
    "\n"
    "Exit status: 0 every exposure finished; 1 some did not (the others all ran); 2 bad option;\n"
    "3 bad manifest; 4 output root not writable; 5 internal error; 130 / 143 stopped by\n"
    "SIGINT / SIGTERM.\n";

// "--name value" or "--name=value": the value, advancing i past it.
bool take_value(const std::vector<std::string>& args, size_t& i, std::initializer_list<const char*> names,
                std::string& value) {
  const std::string& a = args[i];
  for (const char* name : names) {
    const std::string n = name;
    if (a == n) {
      if (i + 1 >= args.size()) throw RunError(exit_usage, n + ": expected a value, found none (see --help)");
      value = args[++i];
      return true;
    }
    if (n.size() > 2 && a.compare(0, n.size() + 1, n + "=") == 0) {
      value = a.substr(n.size() + 1);
      return true;
    }
  }
  return false;
}

int whole_number(const std::string& name, const std::string& text, long lo, long hi) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi)
    throw RunError(exit_usage, name + ": expected a whole number from " + std::to_string(lo) + " to " +
                                   std::to_string(hi) + ", found '" + text + "'");
  return static_cast<int>(v);
}

int usable_cores() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

bool is_geometry_option(const std::string& a) { return a == "--geometry" || a.compare(0, 11, "--geometry=") == 0; }

}  // namespace

BatchOptions parse_batch_arguments(const std::vector<std::string>& args) {
  using Action = BatchOptions::Action;
  BatchOptions o;
  std::string value;
  auto set_action = [&](Action a, const std::string& name) {
    if (o.action != Action::run && o.action != a)
      throw RunError(exit_usage, name + ": expected at most one of --check, --collect and --unfinished");
    o.action = a;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help" || a == "--version") {
      o.action = a == "--version" ? Action::version : Action::help;
      return o;
    }
    if (take_value(args, i, {"-o", "--output"}, value)) {
      if (!o.root.empty()) throw RunError(exit_usage, "-o: expected once, found more than once");
      if (value.empty()) throw RunError(exit_usage, "-o: expected a directory path, found ''");
      o.root = value;
    } else if (take_value(args, i, {"-j", "--jobs"}, value)) {
      o.jobs = whole_number("--jobs", value, 1, 1024);
    } else if (take_value(args, i, {"--only"}, value)) {
      o.only = whole_number("--only", value, 1, INT_MAX);
    } else if (take_value(args, i, {"--threads"}, value)) {
      o.threads = value;  // checked by plenosr's parser with the rest
    } else if (a == "--check") {
      set_action(Action::check, a);
    } else if (a == "--collect") {
      set_action(Action::collect, a);
    } else if (a == "--unfinished") {
      set_action(Action::unfinished, a);
    } else if (a == "--no-wait") {
      // every exposure gets it anyway
    } else if (a == "--rgb" || a == "--raw" || a.compare(0, 6, "--rgb=") == 0 || a.compare(0, 6, "--raw=") == 0) {
      throw RunError(exit_usage, a.substr(0, 5) + ": comes from the manifest's " + a.substr(2, 3) +
                                     " column, one per exposure; not an option of the batch");
    } else if (o.manifest.empty()) {
      if (a.size() > 1 && a[0] == '-')
        throw RunError(exit_usage, a + ": plenosr options go after MANIFEST (see --help)");
      o.manifest = a;
    } else {
      o.plenosr_args.push_back(a);
    }
  }
  if (o.manifest.empty()) throw RunError(exit_usage, "MANIFEST: expected the manifest file, found none (see --help)");
  if (o.root.empty()) throw RunError(exit_usage, "-o: expected the output root, found none (see --help)");
  return o;
}

void check_plenosr_options(const BatchOptions& o, const Manifest& m) {
  for (const std::string& a : o.plenosr_args)
    if (m.has_geometry && is_geometry_option(a))
      throw RunError(exit_usage, "--geometry: " + display_path(m.path) +
                                     " has a geometry column; give the file there, not also as an option");
  Exposure probe;
  probe.rgb = probe.raw = "input.tiff";
  std::vector<std::string> args = exposure_arguments(o, probe, "plenosr", "output", 1);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  parse_command_line(static_cast<int>(argv.size()), argv.data());
}

int threads_per_exposure(int cores, int jobs) { return std::max(1, cores / std::max(1, jobs)); }

std::vector<std::string> exposure_arguments(const BatchOptions& o, const Exposure& e, const std::string& plenosr,
                                            const std::string& output_dir, int threads) {
  std::vector<std::string> argv = {plenosr};
  argv.insert(argv.end(), o.plenosr_args.begin(), o.plenosr_args.end());
  argv.insert(argv.end(), {"--threads", o.threads.empty() ? std::to_string(threads) : o.threads});
  argv.insert(argv.end(), {"--rgb", e.rgb, "--raw", e.raw});
  if (!e.geometry.empty()) argv.insert(argv.end(), {"--geometry", e.geometry});
  argv.insert(argv.end(), {"-o", output_dir, "--no-wait"});
  return argv;
}

std::string run_arguments(const std::vector<std::string>& argv) {
  std::string text;
  for (size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == "--threads" || argv[i] == "-o") {
      ++i;
      continue;
    }
    text += argv[i] + "\n";
  }
  return text;
}

std::string number_ranges(const std::vector<int>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    text += (text.empty() ? "" : ",") + std::to_string(numbers[i]);
    if (j > i) text += "-" + std::to_string(numbers[j]);
    i = j + 1;
  }
  return text;
}

int batch_main(const std::vector<std::string>& args, const std::string& plenosr) {
  using Action = BatchOptions::Action;
  try {
    const BatchOptions o = parse_batch_arguments(args);
    if (o.action == Action::help) {
      std::cout << usage_text;
      return exit_ok;
    }
    if (o.action == Action::version) {
      std::cout << "plenosr-batch " << PLENOSR_VERSION << "\n";
      return exit_ok;
    }
    const Manifest m = read_manifest(o.manifest);
    int count = static_cast<int>(m.exposures.size());
    if (o.only > count)
      throw RunError(exit_usage, "--only: expected an exposure number from 1 to " + std::to_string(count) +
                                     " (the lines of " + display_path(o.manifest) + "), found '" +
                                     std::to_string(o.only) + "'");
    check_plenosr_options(o, m);
    const BatchState state(o.root);

    std::vector<Exposure> selected = m.exposures;
    if (o.only > 0) selected = {m.exposures[o.only - 1]};
    std::vector<BatchJob> jobs;
    std::vector<int> unfinished;
    int skipped = 0;
    for (const Exposure& e : selected) {
      BatchJob job{e.name, exposure_arguments(o, e, plenosr, state.output_dir(e.name), 1), ""};
      job.arguments = run_arguments(job.argv);
      if (state.finished_with(e.name, job.arguments)) {
        ++skipped;
        continue;
      }
      unfinished.push_back(e.number);
      jobs.push_back(job);
    }

    // Cores are shared among the exposures that actually run at once.
    const int lanes = std::max(1, std::min(o.jobs, static_cast<int>(jobs.size())));
    const int threads = threads_per_exposure(usable_cores(), lanes);
    for (BatchJob& job : jobs)
      if (o.threads.empty()) job.argv[o.plenosr_args.size() + 2] = std::to_string(threads);  // --threads' value

    if (o.action == Action::check) {
      std::cout << "plenosr-batch: " << display_path(o.manifest) << ": " << count
                << " exposure(s); the options are accepted\n";
      return exit_ok;
    }
    if (o.action == Action::unfinished) {
      std::cout << number_ranges(unfinished) << "\n";
      return exit_ok;
    }
    int finished = 0;
    if (o.action == Action::collect) {
      state.make_dirs();
      for (const SummaryRow& r : state.write_summary(m)) finished += r.status == status_finished;
      std::cerr << "plenosr-batch: " << finished << " of " << count << " exposure(s) finished; summary in "
                << display_path(state.summary_path()) << std::endl;
      return finished == count ? exit_ok : exit_some_failed;
    }
    if (!jobs.empty() && ::access(plenosr.c_str(), X_OK) != 0)
      throw RunError(exit_internal, display_path(plenosr) + ": cannot run: " + std::strerror(errno) +
                                        " (plenosr-batch runs the plenosr installed beside it)");
    // Refuse a directory the batch did not make before anything runs or is cleared.
    for (const BatchJob& job : jobs) state.check_owned(job.name);
    state.make_dirs();
    for (const Exposure& e : selected)
      if (std::find(unfinished.begin(), unfinished.end(), e.number) == unfinished.end() &&
          state.read_row(e.name).status != status_finished)
        state.write_row(SummaryRow{e.name, status_finished, 0, 0, ""});  // marker written, line lost
    std::cerr << "plenosr-batch: " << selected.size() << " exposure(s): " << skipped
              << " finished before (kept), " << jobs.size() << " to run, " << lanes << " at once with " << (o.threads.empty() ? std::to_string(threads) : o.threads)
              << " thread(s) each" << std::endl;
    auto rewrite_summary = [&] {
      if (o.only > 0) return;
      try {
        state.write_summary(m);
      } catch (const RunError& e) {
        std::cerr << "plenosr-batch: " << e.what() << std::endl;
      }
    };
    const BatchOutcome outcome = run_jobs(jobs, o.jobs, state, skipped, rewrite_summary);
    if (o.only == 0) {
      for (const SummaryRow& r : state.write_summary(m)) finished += r.status == status_finished;
      std::cerr << "plenosr-batch: " << finished << " of " << count << " exposure(s) finished; summary in "
                << display_path(state.summary_path()) << std::endl;
    } else {
      finished = skipped + outcome.finished;
      count = static_cast<int>(selected.size());
    }
    if (outcome.signal) return signal_exit_status(outcome.signal);
    return finished == count ? exit_ok : exit_some_failed;
  } catch (const RunError& e) {
    std::cerr << "plenosr-batch: " << e.what() << std::endl;
    return e.status();
  } catch (const std::exception& e) {
    std::cerr << "plenosr-batch: internal error: " << e.what() << std::endl;
    return exit_internal;
  }
}
