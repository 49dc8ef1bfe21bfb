// The pipeline driver: one pass through view extraction, the bicubic first estimate, depth
// estimation and super-resolution, with every image that outlives a stage owned here.
#pragma once

#include "options.h"

// Runs the whole pipeline; returns the exit status. Throws RunError on bad input or a
// failed write.
int run_pipeline(const RunOptions& options);
