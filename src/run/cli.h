// Command line: every option defaults to the fixed run, so no arguments gives that run.
#pragma once

#include "options.h"

// Parses argv into options, checking every value before any file is read. Prints --help or
// --version and exits 0; throws RunError(exit_usage) naming the option on a bad value.
RunOptions parse_command_line(int argc, char** argv);
