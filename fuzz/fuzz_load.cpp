// Fuzz target for the input path: arbitrary bytes are written to a file, read back as the
// colour or the raw exposure and checked against a small lenslet grid. Any refusal must be a
// RunError; anything else (a crash, an overflow, another exception) is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "errors.h"
#include "imageio.h"

namespace {

const std::string& scratch_path() {
  static const std::string path = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(base) + "/plenosr-fuzz-" + std::to_string(::getpid()) + ".img";
  }();
  return path;
}

// A grid of 4 x 3 lenslets, so that small images can pass the size check.
Geometry tiny_grid() {
  Geometry g;
  g.lens_rows = 4;
  g.lens_cols = 3;
  g.low_y = 4;
  g.low_x = 6;
  g.high_y = 15;
  g.high_x = 14;
  return g;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks which exposure the file stands for.
  const bool colour = (data[0] & 1) == 0;
  const std::string& path = scratch_path();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  try {
    const cv::Mat image = read_image(path, colour ? CV_8UC3 : CV_8UC1, colour ? "colour image" : "raw mosaic");
    const cv::Mat other(image.size(), colour ? CV_8UC1 : CV_8UC3, cv::Scalar::all(0));
    if (colour)
      validate_exposure(image, path, other, "raw", tiny_grid());
    else
      validate_exposure(other, "rgb", image, path, tiny_grid());
  } catch (const RunError&) {
    // A refusal with a message: the expected outcome for bad bytes.
  }
  return 0;
}
