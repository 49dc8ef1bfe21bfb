// Names of everything a run writes, relative to the output root: the one place the program,
// the evaluator and the tests take them from.
#pragma once

#include <string>

namespace paths {

// Directory of the full-resolution results, named after the number of views (81).
std::string view_dir();                       // "bigSR/view081/"
std::string bicubic();                        // "bicubic.ppm"
std::string depth_map();                      // view_dir() + "depthmapbig.pgm"
// Diagnostic image `name` ("blur", "motion10", ...) of the data term, as a PPM.
std::string diagnostic(const std::string& name);
// Super-resolution results for L1 weight mu (one decimal), joint or not:
std::string sr_dir(double mu, bool joint);    // view_dir() + "L1/3.0/" [+ "joint/"]
std::string sr_log(double mu, bool joint);    // sr_dir + "normerror.txt"
std::string sr_result(double mu, bool joint, int outer);  // sr_dir + "sr%02d.ppm"
std::string sr_depth_dir(double mu, bool joint);          // sr_dir + "depth/"
std::string sr_depth(double mu, bool joint, int outer);   // sr_depth_dir + "depth%02d.pgm"
// Exported sub-aperture view i.
std::string view_export_dir();                // "view/"
std::string view_export(int view);            // "view/view%03d.ppm"

}  // namespace paths
