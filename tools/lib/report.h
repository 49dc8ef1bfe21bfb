// Quality report of one finished run: finds the run's result files, measures each against
// the ground truth, and writes the table (text and CSV) and the plots.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "metrics.h"

// One outer-iteration result directory: RUNDIR/bigSR/view081/L1/<mu>/ or .../<mu>/joint/,
// or the quality mode's RUNDIR/bigSR/view081/quality/ (label "quality").
struct ResultSet {
  std::string label;            // "L1/3.0/joint" or "L1/3.0"
  std::string dir;              // full path, ending in '/'
  bool joint = false;
  bool quality = false;         // the quality mode's set (RUNDIR/bigSR/view081/quality/)
  std::vector<int> iterations;  // every NN with an srNN.ppm or a depth/depthNN.pgm, ascending
};

struct RunFiles {
  std::string root;           // RUNDIR ending in '/'
  std::vector<ResultSet> sets;  // sorted by label
};

// Lists the result sets below RUNDIR; a missing directory gives no sets.
RunFiles find_run_files(const std::string& rundir);
// Adds the quality mode's set to run when its directory exists (find_run_files calls it).
void add_quality_set(RunFiles& run);

// One step line of the iteration log.
struct EnergyStep {
  int outer = 0;  // from the preceding "ite" line
  int step = 0;   // k
  double error = 0, energy = 0, regular = 0;  // E, E_SR, Regular
};
// Parses the log text ("ite\tN" lines and "k\tE\t\tE_SR\tv\tRegular\t\tv" step lines). The log
// grows across runs, each starting with a header line: only the last run's steps are kept.
// Lines that do not parse are skipped.
std::vector<EnergyStep> parse_energy_log(const std::string& text);

// Status of one measured file; not_kept: the run overwrote it (a joint run's first depth map).
enum class FileState { ok, missing, unreadable, wrong_size, none, not_kept };
const char* state_text(FileState s);

struct QualityRow {
  std::string stage;        // "bicubic", "initial", "sr00", ...
  std::string set;          // result set label; "" for bicubic, the other run's root for --initial
  int iteration = -1;       // -1 for bicubic
  std::string image;        // relative to RUNDIR
  FileState image_state = FileState::none;
  double psnr = 0, ssim = 0;
  std::string depth;        // relative to depth_root, "" when the row has no depth map
  std::string depth_root;   // root the depth map is read below, "" for RUNDIR
  FileState depth_state = FileState::none;
  DepthError depth_error;
  std::string note;         // caveat printed under the table and kept in the CSV
};

struct EvalOptions {
  int border = 16;         // pixels left out on every side
  int min_disparity = -1;  // search range of the run, to read its 8-bit depth pictures
  int max_disparity = 1;
  std::string report_dir;  // default RUNDIR/report/
  // Root of a run whose depthmapbig holds the first depth estimate of the same inputs and
  // depth options (--outer 0 or --no-joint); "" takes RUNDIR's unless joint re-estimation
  // rewrote it.
  std::string initial_root;
};

struct Truth {
  cv::Mat colour;     // CV_32FC3 (or CV_8UC3 when only the PNG exists)
  cv::Mat disparity;  // CV_32F
};
// Reads GTDIR's centre image (float file first, then PNG) and disparity; throws RunError
// (exit_input) naming the file when one is missing or of the wrong kind.
Truth read_truth(const std::string& gtdir);

// Reads a run's depth map: a float file beside the picture (same name, .pfm) if present,
// else the 8-bit picture converted with the options' range. Empty when missing or unreadable.
cv::Mat read_depth(const std::string& pgm_path, const EvalOptions& o, FileState& state, cv::Size expect);

// Measures bicubic.ppm, the first depth map (row "initial": RUNDIR's depthmapbig unless a joint
// run rewrote it, or the one of o.initial_root) and every iteration of every set. Throws
// RunError (exit_input) when o.initial_root holds a rewritten map.
std::vector<QualityRow> evaluate_run(const RunFiles& run, const Truth& truth, const EvalOptions& o);

// Side by side, per mode found in the rows (the exact mode's joint set, else its first set;
// the quality mode): bicubic, first depth map and final result with PSNR, SSIM and the depth
// errors. Empty unless the rows hold the results of both modes.
std::string format_mode_table(const std::vector<QualityRow>& rows);

// The aligned text table and the CSV of the rows.
std::string format_table(const std::vector<QualityRow>& rows);
std::string format_csv(const std::vector<QualityRow>& rows);

// Writes quality.csv, psnr.png, energy.png, depth.png and crops.png into the report
// directory (created if missing); returns the paths written.
std::vector<std::string> write_report(const RunFiles& run, const Truth& truth,
                                      const std::vector<QualityRow>& rows, const EvalOptions& o);
