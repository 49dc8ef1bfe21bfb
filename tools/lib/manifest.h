// The manifest of a batch: a CSV file with the header `name,rgb,raw` (columns in any order)
// and optionally `geometry`, then one exposure per line. Paths may be absolute or relative
// to the manifest's own directory; blank lines are skipped.
#pragma once

#include <string>
#include <vector>

struct Exposure {
  int number = 0;        // 1 for the first exposure line, 2 for the next ... (the --only index)
  int line = 0;          // line of the manifest file it came from, 1 = the header
  std::string name;      // names the output directory ROOT/<name>/
  std::string rgb;       // colour exposure, absolute path
  std::string raw;       // raw mosaic, absolute path
  std::string geometry;  // geometry file, absolute path, or empty for the built-in one
};

struct Manifest {
  std::string path;
  bool has_geometry = false;  // the header has a geometry column
  std::vector<Exposure> exposures;
};

// Reads and checks the whole manifest. Throws RunError(exit_input) naming the file and line
// on: an unreadable file, a missing or unknown column, a line with the wrong number of
// fields, a bad quote, an empty field, a name that is not safe as a directory name or is
// used twice, or an input file that is missing, not a regular file or unreadable.
Manifest read_manifest(const std::string& path);

// Empty if `name` can name a directory directly below the output root; otherwise why not.
// Allowed: letters, digits, '.', '_' and '-', not starting with '.' or '-', at most 128
// characters, and not a name the batch keeps for itself.
std::string unsafe_name_reason(const std::string& name);
