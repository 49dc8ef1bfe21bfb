// Writes the seed corpus for the input fuzz target: small valid and broken image files of
// the formats and types the reader meets. The first byte of each seed picks colour (even)
// or raw (odd), as the target reads it.
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <string>
#include <vector>

namespace {

void save(const std::string& dir, const std::string& name, char kind, const std::vector<uchar>& bytes) {
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (f == nullptr) return;
  std::fputc(kind, f);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

cv::Mat noise(int rows, int cols, int type, unsigned seed) {
  cv::Mat m(rows, cols, type);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < m.total() * m.elemSize(); ++i) m.data[i] = static_cast<uchar>(rng());
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  struct Item {
    const char* name;
    char kind;
    cv::Mat image;
    const char* ext;
  };
  const std::vector<Item> items = {
      {"rgb.tiff", 0, noise(30, 40, CV_8UC3, 1), ".tiff"},
      {"flat.tiff", 0, cv::Mat(30, 40, CV_8UC3, cv::Scalar(1, 2, 3)), ".tiff"},
      {"grey.tiff", 0, noise(5, 6, CV_8UC1, 10), ".tiff"},
      {"raw.tiff", 1, noise(30, 40, CV_8UC1, 2), ".tiff"},
      {"rgb16.tiff", 0, noise(20, 10, CV_16UC3, 3), ".tiff"},
      {"rgba.tiff", 0, noise(8, 8, CV_8UC4, 4), ".tiff"},
      {"float.tiff", 1, noise(8, 8, CV_32FC1, 5), ".tiff"},
      {"raw.png", 1, noise(30, 40, CV_8UC1, 6), ".png"},
      {"rgb.ppm", 0, noise(30, 40, CV_8UC3, 7), ".ppm"},
      {"raw.pgm", 1, noise(30, 40, CV_8UC1, 8), ".pgm"},
      {"rgb.bmp", 0, noise(9, 7, CV_8UC3, 9), ".bmp"},
  };
  for (const Item& it : items) {
    std::vector<uchar> bytes;
    if (!cv::imencode(it.ext, it.image, bytes)) continue;
    save(dir, it.name, it.kind, bytes);
    // The same file cut in half: a truncated download.
    save(dir, std::string("cut-") + it.name, it.kind,
         std::vector<uchar>(bytes.begin(), bytes.begin() + bytes.size() / 2));
  }
  return 0;
}
