// What a batch keeps on disk below its output root ROOT:
//   ROOT/<name>/            exactly what `plenosr -o ROOT/<name>` writes
//   ROOT/batch-summary.csv  one line per exposure of the manifest
//   ROOT/.batch/<name>.log  the exposure's standard output and error; its presence also records
//                           that the batch made ROOT/<name>/ and may clear it for a rerun
//   ROOT/.batch/<name>.csv  the exposure's summary line (so array tasks never share a file)
//   ROOT/.batch/<name>.done written last, once every file of the exposure is on disk; holds
//                           the arguments it ran with
#pragma once

#include <string>
#include <vector>

#include "lib/manifest.h"

inline constexpr const char* summary_file_name = "batch-summary.csv";
inline constexpr const char* state_dir_name = ".batch";

// Status words of a summary line.
inline constexpr const char* status_finished = "finished";  // ran to the end (now or before)
inline constexpr const char* status_failed = "failed";      // ended with an error or crashed
inline constexpr const char* status_stopped = "stopped";    // stopped by SIGINT / SIGTERM
inline constexpr const char* status_running = "running";    // started and not ended (or killed hard)
inline constexpr const char* status_not_run = "not run";    // never started

struct SummaryRow {
  std::string name;
  std::string status;
  int exit_status = -1;  // the program's exit status, 128 + N when killed by signal N, -1 if none
  double seconds = 0;    // wall time of the run
  std::string message;   // the exposure's own one-line error, empty when it finished
};

class BatchState {
 public:
  explicit BatchState(std::string root);
  const std::string& root() const { return root_; }
  std::string output_dir(const std::string& name) const;  // ROOT/<name>
  std::string log_path(const std::string& name) const;
  std::string row_path(const std::string& name) const;
  std::string done_path(const std::string& name) const;
  std::string summary_path() const;

  // Creates ROOT and ROOT/.batch if missing; throws RunError(exit_output) if it cannot.
  void make_dirs() const;
  // Whether the exposure finished with exactly these arguments.
  bool finished_with(const std::string& name, const std::string& arguments) const;
  // Throws RunError(exit_output) if ROOT/<name> exists but was not made by a batch here.
  void check_owned(const std::string& name) const;
  // Forgets an earlier run of the exposure: marker, summary line and output directory.
  void clear(const std::string& name) const;

  void write_row(const SummaryRow& row) const;
  void write_done(const std::string& name, const std::string& arguments) const;
  // The exposure's last recorded line, or a `not run` line.
  SummaryRow read_row(const std::string& name) const;
  // Lines for every exposure of the manifest, in its order, written to batch-summary.csv.
  std::vector<SummaryRow> write_summary(const Manifest& m) const;

 private:
  std::string root_;
};

// Writes text to path through a temporary file beside it (named after path, so writers of
// different paths never meet) and a rename: readers see the old or the new file, never half.
// Throws RunError(exit_output) naming path.
void write_text_atomic(const std::string& path, const std::string& text);

// The header and one line of the summary CSV, and the line read back (false if malformed).
std::string summary_header();
std::string format_row(const SummaryRow& row);
bool parse_row(const std::string& line, SummaryRow& row);
