// Progress reporting on stderr.
#include "progress.h"

#include <iostream>

Progress& progress() {
  static Progress p;
  return p;
}

void Progress::begin(const std::string& stage, int total) {
  stage_ = stage;
  total_ = total;
  if (!quiet) std::cerr << "plenosr: " << stage_ << std::endl;
}

void Progress::advance(int done) { (void)done; }

void Progress::end() {}
