// Output names, formatted as the run has always written them.
#include "output_paths.h"

#include "geometry.h"
#include "textformat.h"

namespace paths {

std::string view_dir() { return strformat("bigSR/view%03d/", view_count); }
std::string quality_dir() { return view_dir() + "quality/"; }
std::string bicubic() { return "bicubic.ppm"; }
std::string depth_map() { return "/" + view_dir() + "depthmapbig.pgm"; }
std::string diagnostic(const std::string& name) { return view_dir() + name + ".ppm"; }

std::string sr_root() { return view_dir() + "L1/"; }
std::string mu_name(double mu) { return strformat("%.1lf", mu); }
std::string sr_dir(const std::string& mu_dir, bool joint) {
  return sr_root() + mu_dir + "/" + (joint ? "joint/" : "");
}
std::string sr_dir(double mu, bool joint) { return sr_dir(mu_name(mu), joint); }

std::string result_name(int outer) {
  return result_prefix + strformat("%02d", outer) + result_suffix;
}
std::string depth_name(int outer) {
  return std::string(depth_subdir) + depth_prefix + strformat("%02d", outer) + depth_suffix;
}
std::string sr_log(double mu, bool joint) { return sr_dir(mu, joint) + log_name; }
std::string sr_result(double mu, bool joint, int outer) {
  return sr_dir(mu, joint) + result_name(outer);
}
std::string sr_depth(double mu, bool joint, int outer) {
  return sr_dir(mu, joint) + depth_name(outer);
}

std::string view_export_dir() { return "view/"; }
std::string view_export(int view) { return view_export_dir() + strformat("view%03d.ppm", view); }

}  // namespace paths
