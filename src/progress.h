// Progress reporting on stderr (standard output carries the run's own lines).
#pragma once

#include <string>

class Progress {
 public:
  // Starts a stage of `total` units (candidates, views, steps); 0 for a stage without units.
  void begin(const std::string& stage, int total = 0);
  // Reports that `done` of the stage's units are finished.
  void advance(int done);
  // Ends the current stage.
  void end();

  bool quiet = true;  // nothing is printed while quiet

 private:
  std::string stage_;
  int total_ = 0;
};

// The process-wide progress reporter.
Progress& progress();
