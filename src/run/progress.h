// Progress reporting on stderr (standard output carries the run's own lines), the run's
// cancellation point, and the figures the end-of-run summary reports.
#pragma once

#include <chrono>
#include <string>

class Progress {
 public:
  // How progress is shown: nothing, one line per finished stage (logs, pipes), or one line
  // redrawn in place (a terminal).
  enum class Mode { silent, lines, live };

  // Starts a stage of `total` units (candidates, views, steps); 0 for a stage without units.
  // `done` > 0 resumes a stage that another one interrupted; the estimate of the time left
  // then counts only the units done since.
  void begin(const std::string& stage, int total = 0, int done = 0);
  // Reports that `done` of the stage's units are finished. Also the cancellation point: throws
  // RunError(130 / 143) once SIGINT / SIGTERM has arrived. Call from the main thread only.
  void advance(int done);
  // Extra text shown after the stage name, e.g. "outer 3/15, inner 2/3".
  void detail(const std::string& text);
  // Ends the current stage (in line mode: prints its one line).
  void end();
  // Drops the current stage without a line (a failure is being reported instead).
  void abandon();

  // Sets the mode. Live mode also makes standard output erase the progress line before it
  // prints, so the run's own lines never mix with it.
  void set_mode(Mode mode);
  Mode mode() const { return mode_; }

  // Text of the progress line for the current state (exposed for tests).
  std::string line(double elapsed_seconds) const;

 private:
  void draw(bool force);

  Mode mode_ = Mode::silent;
  std::string stage_;
  std::string detail_;
  int total_ = 0;
  int done_ = 0;
  int done_at_begin_ = 0;
  bool active_ = false;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point last_draw_{};
};

// The process-wide progress reporter.
Progress& progress();

// Figures for the end-of-run summary; the super-resolution fills the energies after each
// inner step (values as in its log).
struct RunSummary {
  bool have_energy = false;
  int outer = -1;            // outer iteration of the last logged step
  int inner = -1;            // inner step of the last logged step
  double data_error = 0;     // E: the data error
  double energy = 0;         // E_SR: the whole energy
  double regulariser = 0;    // mu * Lx + mu * Ly
};
RunSummary& run_summary();

// "1:05" / "12.3s" style text of a duration in seconds.
std::string format_duration(double seconds);
