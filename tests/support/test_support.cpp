// Helpers shared by the tests.
#include "test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "viewCreate.h"

Geometry small_geometry(int lens_rows, int lens_cols) {
  Geometry g;
  g.lens_rows = lens_rows;
  g.lens_cols = lens_cols;
  g.low_y = lens_rows;
  g.low_x = 2 * lens_cols;
  g.high_y = static_cast<int>(std::lround(lens_rows * 3.7736720554272516));
  g.high_x = static_cast<int>(std::lround(2 * lens_cols * 2.2601476014760147));
  return g;
}

cv::Size raw_size_for(const Geometry& g) {
  const int rows = static_cast<int>(std::ceil(g.origin_y + g.lens_rows * g.pitch_y)) + 8;
  const int cols = static_cast<int>(std::ceil(g.origin_x + g.lens_cols * g.pitch_x)) + 12;
  return cv::Size(cols, rows);
}

cv::Mat random_image(cv::Size size, int type, unsigned seed) {
  cv::Mat m(size, type);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, 255);
  uchar* p = m.data;
  const size_t n = m.total() * m.elemSize();
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uchar>(dist(rng));
  return m;
}

std::string make_temp_dir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base ? base : "/tmp") + "/plenosr-" + tag + "-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  return tmpl;
}

int run_command(const std::string& command, std::string* out, std::string* err) {
  const std::string dir = make_temp_dir("cmd");
  const std::string o = dir + "/out", e = dir + "/err";
  const std::string full = "(" + command + ") </dev/null >" + o + " 2>" + e;
  const int rc = std::system(full.c_str());
  if (out) *out = read_text_file(o);
  if (err) *err = read_text_file(e);
  std::system(("rm -rf '" + dir + "'").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
}

bool same_bytes(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  if (!a.isContinuous() || !b.isContinuous()) return false;
  return std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

std::string write_text_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TestViews random_views(const Geometry& g, unsigned seed) {
  const cv::Size size = raw_size_for(g);
  viewCreate vc(random_image(size, CV_8UC3, seed), random_image(size, CV_8UC1, seed + 1), g);
  TestViews e{std::vector<cv::Mat>(view_count), std::vector<cv::Mat>(view_count), {}};
  cv::Mat center;
  vc.create_mask(e.views.data(), e.masks.data(), center);
  cv::resize(center, e.estimate, cv::Size(g.high_x, g.high_y), 0, 0, cv::INTER_CUBIC);
  return e;
}

cv::Mat realistic_depth(const Geometry& g, unsigned seed) {
  cv::Mat d(g.high_y, g.high_x, CV_32F);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> speckle(0, 40), level(0, 19);
  for (int y = 0; y < g.high_y; ++y)
    for (int x = 0; x < g.high_x; ++x) {
      int j = 9 + static_cast<int>(std::lround(5 * std::sin(x / 97.0) * std::cos(y / 61.0)));
      if (speckle(rng) == 0) j = level(rng);
      d.at<float>(y, x) = -2.2601476f + 0.25f * static_cast<float>(j);
    }
  return d;
}

std::string read_text_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
