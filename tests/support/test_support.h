// Helpers shared by the tests: small geometries, random exposures, temporary directories
// and running the built programs.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry.h"

// A geometry of a few lenslets: lens_rows x lens_cols lenslets, full grid scaled like the
// camera's (about 2.26 columns and 3.77 rows per view pixel), the camera's lenslet pitches.
Geometry small_geometry(int lens_rows = 12, int lens_cols = 10);

// Raw size (rows, columns) that covers every lenslet of g with a margin.
cv::Size raw_size_for(const Geometry& g);

// Uniformly random 8-bit image of the given size and type, deterministic in seed.
cv::Mat random_image(cv::Size size, int type, unsigned seed);

// A fresh empty directory below the system's temporary directory.
std::string make_temp_dir(const std::string& tag);

// Runs a shell command; returns its exit status, stdout and stderr in out/err.
int run_command(const std::string& command, std::string* out = nullptr, std::string* err = nullptr);

// Byte-exact equality of two images (same size, type and bytes).
bool same_bytes(const cv::Mat& a, const cv::Mat& b);

std::string read_text_file(const std::string& path);
// Writes text (any bytes) to path, replacing the file; returns path.
std::string write_text_file(const std::string& path, const std::string& text);

// Views and masks cut from a random exposure of geometry g (random_image with seed and
// seed + 1), and the bicubic first estimate from its centre view, as in a run.
struct TestViews {
  std::vector<cv::Mat> views, masks;
  cv::Mat estimate;
};
TestViews random_views(const Geometry& g, unsigned seed);

// A disparity map like the depth search's: candidate values in smooth regions with
// speckles, so the warps occlude, leave holes and change level inside footprints.
cv::Mat realistic_depth(const Geometry& g, unsigned seed);
