// Names of everything a run writes, relative to the output root: the one place the program,
// the evaluator and the tests take them from.
#pragma once

#include <string>

namespace paths {

// Directory of the full-resolution results, named after the number of views (81).
std::string view_dir();                       // "bigSR/view081/"
std::string bicubic();                        // "bicubic.ppm"
// The depth map every depth estimation writes. The depth stage names it with a leading
// slash, so its full path holds a doubled slash after the root.
std::string depth_map();                      // "/" + view_dir() + "depthmapbig.pgm"
// Diagnostic image `name` ("blur", "motion10", ...) of the data term, as a PPM.
std::string diagnostic(const std::string& name);

// Super-resolution results: one directory per L1 weight, named with one decimal, and in it
// a "joint/" directory for joint runs.
std::string sr_root();                        // view_dir() + "L1/"
std::string mu_name(double mu);               // "3.0"
std::string sr_dir(const std::string& mu_dir, bool joint);  // sr_root() + "3.0/" [+ "joint/"]
std::string sr_dir(double mu, bool joint);
// Files of one result directory, and their names' parts as the evaluator looks for them.
constexpr const char* log_name = "normerror.txt";
constexpr const char* result_prefix = "sr";   // result image of outer iteration NN: srNN.ppm
constexpr const char* result_suffix = ".ppm";
constexpr const char* depth_subdir = "depth/";  // depth image: depth/depthNN.pgm
constexpr const char* depth_prefix = "depth";
constexpr const char* depth_suffix = ".pgm";
std::string result_name(int outer);           // "sr%02d.ppm"
std::string depth_name(int outer);            // "depth/depth%02d.pgm"
// The same below the result directory of (mu, joint).
std::string sr_log(double mu, bool joint);
std::string sr_result(double mu, bool joint, int outer);
std::string sr_depth(double mu, bool joint, int outer);

// The quality mode's results, depth maps and log, beside the exact mode's.
std::string quality_dir();                    // view_dir() + "quality/"

// Exported sub-aperture views.
std::string view_export_dir();                // "view/"
std::string view_export(int view);            // "view/view%03d.ppm"

}  // namespace paths
