// Output names, formatted as the run has always written them.
#include "output_paths.h"

#include "geometry.h"
#include "textformat.h"

namespace paths {

std::string view_dir() { return strformat("bigSR/view%03d/", view_count); }
std::string bicubic() { return "bicubic.ppm"; }
std::string depth_map() { return view_dir() + "depthmapbig.pgm"; }
std::string diagnostic(const std::string& name) { return view_dir() + name + ".ppm"; }

std::string sr_dir(double mu, bool joint) {
  return view_dir() + strformat("L1/%.1lf/", mu) + (joint ? "joint/" : "");
}
std::string sr_log(double mu, bool joint) { return sr_dir(mu, joint) + "normerror.txt"; }
std::string sr_result(double mu, bool joint, int outer) {
  return sr_dir(mu, joint) + strformat("sr%02d.ppm", outer);
}
std::string sr_depth_dir(double mu, bool joint) { return sr_dir(mu, joint) + "depth/"; }
std::string sr_depth(double mu, bool joint, int outer) {
  return sr_depth_dir(mu, joint) + strformat("depth%02d.pgm", outer);
}

std::string view_export_dir() { return "view/"; }
std::string view_export(int view) { return view_export_dir() + strformat("view%03d.ppm", view); }

}  // namespace paths
