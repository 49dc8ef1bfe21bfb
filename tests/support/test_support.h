// Helpers shared by the tests: small geometries, random exposures, temporary directories
// and running the built programs.
#pragma once

#include <opencv2/core.hpp>
#include <string>

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
