// Geometry file reading with refusals that name the file and the key, and writing.
#include "geometry_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "errors.h"
#include "imageio.h"

namespace {

// The optional sizes: key, member, smallest and largest accepted value.
struct SizeKey {
  const char* key;
  int Geometry::*member;
  int lo, hi;
};
const SizeKey size_keys[] = {
    {"sensor_width", &Geometry::sensor_cols, 16, 65535},
    {"sensor_height", &Geometry::sensor_rows, 16, 65535},
    {"lenslet_rows", &Geometry::lens_rows, 2, 16384},
    {"lenslets_per_row", &Geometry::lens_cols, 2, 16384},
    {"output_width", &Geometry::high_x, 2, 32768},
    {"output_height", &Geometry::high_y, 2, 32768},
};
const char* const grid_keys[] = {"pitch_x", "pitch_y", "rotation", "origin_x", "origin_y"};

RunError refusal(const std::string& path, const std::string& key, const std::string& problem) {
  return RunError(exit_usage, display_path(path) + ": " + (key.empty() ? "" : "key '" + key + "': ") +
                                  problem);
}

// Larger than any geometry file needs to be.
constexpr off_t max_file_bytes = 1 << 20;

std::string number_text(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

double& grid_member(Geometry& g, const std::string& key) {
  if (key == "pitch_x") return g.pitch_x;
  if (key == "pitch_y") return g.pitch_y;
  if (key == "rotation") return g.theta;
  if (key == "origin_x") return g.origin_x;
  return g.origin_y;
}

}  // namespace

Geometry read_geometry_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw refusal(path, "", "geometry file not found");
  if (!S_ISREG(st.st_mode)) throw refusal(path, "", "geometry file is not a regular file");
  if (st.st_size > max_file_bytes) throw refusal(path, "", "geometry file larger than 1 MiB");
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw refusal(path, "", "cannot read the geometry file");
  // The library would also take YAML or XML; the file is JSON: an object.
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || text[first] != '{')
    throw refusal(path, "", "not a JSON object (expected numbers such as {\"pitch_x\": 14.28})");
  cv::FileStorage fs;
  try {
    fs.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_JSON);
  } catch (const cv::Exception&) {
    throw refusal(path, "", "not valid JSON (expected an object of numbers such as {\"pitch_x\": 14.28})");
  }
  if (!fs.isOpened()) throw refusal(path, "", "cannot read the geometry file");
  const cv::FileNode root = fs.root();
  if (!root.isMap()) throw refusal(path, "", "expected a JSON object of numbers");

  Geometry g;
  std::set<std::string> seen;
  for (auto it = root.begin(); it != root.end(); ++it) {
    const cv::FileNode n = *it;
    const std::string key = n.name();
    if (!seen.insert(key).second) throw refusal(path, key, "given more than once");
    const bool is_grid = std::find(std::begin(grid_keys), std::end(grid_keys), key) != std::end(grid_keys);
    const SizeKey* size = nullptr;
    for (const SizeKey& s : size_keys)
      if (key == s.key) size = &s;
    if (!is_grid && !size) {
      std::string known;
      for (const char* k : grid_keys) known += std::string(known.empty() ? "" : ", ") + k;
      for (const SizeKey& s : size_keys) known += std::string(", ") + s.key;
      throw refusal(path, key, "unknown key; expected " + known);
    }
    if (!n.isInt() && !n.isReal()) throw refusal(path, key, "expected a number");
    const double v = n.isInt() ? static_cast<double>(static_cast<int>(n)) : static_cast<double>(n);
    if (!std::isfinite(v)) throw refusal(path, key, "expected a finite number");
    if (is_grid) {
      grid_member(g, key) = v;
      continue;
    }
    if (!n.isInt() || v < size->lo || v > size->hi)
      throw refusal(path, key, "expected a whole number from " + std::to_string(size->lo) + " to " +
                                   std::to_string(size->hi) + ", found " + number_text(v));
    g.*(size->member) = static_cast<int>(v);
  }
  // Far beyond any sensor: keeps every reference point and scale finite and meaningful.
  constexpr double max_pitch = 1000;
  if (!(g.pitch_x > 0) || g.pitch_x > max_pitch)
    throw refusal(path, "pitch_x", "expected a positive pitch up to 1000 pixels, found " + number_text(g.pitch_x));
  if (!(g.pitch_y > 0) || g.pitch_y > max_pitch)
    throw refusal(path, "pitch_y", "expected a positive pitch up to 1000 pixels, found " + number_text(g.pitch_y));
  if (std::fabs(g.theta) > max_rotation)
    throw refusal(path, "rotation", "expected at most 0.05 radians either way, found " + number_text(g.theta));
  if (std::fabs(g.origin_x) > g.sensor_cols || std::fabs(g.origin_y) > g.sensor_rows || !g.covers_sensor())
    throw RunError(exit_usage, display_path(path) +
                                   ": keys origin_x, origin_y, pitch_x, pitch_y, rotation, lenslet_rows, lenslets_per_row: "
                                   "the lenslet grid does not cover the " +
                                   std::to_string(g.sensor_cols) + " x " + std::to_string(g.sensor_rows) + " sensor");
  // Lenslets far beyond the sensor would only make every view larger.
  if (g.lens_rows > g.sensor_rows / g.pitch_y + 4 * covered_margin)
    throw refusal(path, "lenslet_rows", "more lenslet rows than the sensor holds (" + std::to_string(g.lens_rows) + ")");
  if (g.lens_cols > g.sensor_cols / g.pitch_x + 4 * covered_margin)
    throw refusal(path, "lenslets_per_row", "more lenslets per row than the sensor holds (" + std::to_string(g.lens_cols) + ")");
  // One view column per half lenslet, one view row per lenslet row.
  g.low_y = g.lens_rows;
  g.low_x = 2 * g.lens_cols;
  return g;
}

std::string geometry_json(const Geometry& g) {
  cv::FileStorage fs(".json", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_JSON);
  Geometry copy = g;
  for (const char* k : grid_keys) fs << k << grid_member(copy, k);
  const Geometry builtin;
  for (const SizeKey& s : size_keys)
    if (g.*(s.member) != builtin.*(s.member)) fs << s.key << g.*(s.member);
  return fs.releaseAndGetString();
}

void write_geometry_file(const std::string& path, const Geometry& g) {
  const std::string text = geometry_json(g);
  write_file_atomic(path, std::vector<uchar>(text.begin(), text.end()));
}
