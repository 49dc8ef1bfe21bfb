// Inputs and file-system helpers for the tests that run the real program.
#include "run_inputs.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::vector<int> uncompressed = {cv::IMWRITE_TIFF_COMPRESSION, 1};

void make_inputs(const std::string& dir) {
  const cv::Size full(7728, 5368);
  cv::Mat rgb(full, CV_8UC3), raw(full, CV_8UC1);
  for (int r = 0; r < full.height; ++r) {
    auto* p = rgb.ptr<cv::Vec3b>(r);
    auto* q = raw.ptr<uchar>(r);
    for (int c = 0; c < full.width; ++c) {
      p[c] = cv::Vec3b(static_cast<uchar>(c / 31), static_cast<uchar>(r / 23), static_cast<uchar>((r + c) / 53));
      q[c] = static_cast<uchar>((r * 7 + c * 3) / 41);
    }
  }
  cv::imwrite(dir + "/rgb.tiff", rgb, uncompressed);
  cv::imwrite(dir + "/raw.tiff", raw, uncompressed);
  cv::imwrite(dir + "/rnd_rgb.tiff", random_image(full, CV_8UC3, 1), uncompressed);
  cv::imwrite(dir + "/rnd_raw.tiff", random_image(full, CV_8UC1, 2), uncompressed);
  cv::imwrite(dir + "/tiny_rgb.tiff", random_image({64, 48}, CV_8UC3, 3));
  cv::imwrite(dir + "/tiny_raw.tiff", random_image({64, 48}, CV_8UC1, 4));
}

std::vector<std::string>& mounted_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

}  // namespace

// Every regular file below root with its bytes.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  if (fs::is_regular_file(root)) return {{root, read_text_file(root)}};
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files[e.path().string()] = read_text_file(e.path().string());
  return files;
}

std::vector<std::string> temp_files(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.path().filename().string().rfind(".tmp-", 0) == 0) found.push_back(e.path().string());
  return found;
}

bool try_mount_tmpfs(const std::string& dir, const std::string& size, bool read_only) {
  if (::mount("tmpfs", dir.c_str(), "tmpfs", read_only ? MS_RDONLY : 0, ("size=" + size).c_str()) != 0)
    return false;
  mounted_dirs().push_back(dir);
  return true;
}

void unmount_all() {
  for (const auto& d : mounted_dirs()) ::umount2(d.c_str(), MNT_DETACH);
  mounted_dirs().clear();
}

// Inputs shared by every test of the suite. Each test runs as its own process, so they are
// made once in a fixed directory (built aside and renamed into place) and reused.
const Inputs& inputs() {
  static Inputs in = [] {
    const char* base = std::getenv("TMPDIR");
    Inputs i;
    i.dir = std::string(base ? base : "/tmp") + "/plenosr-test-inputs-1";
    if (!fs::exists(i.dir + "/tiny_raw.tiff")) {
      const std::string work = make_temp_dir("inputs-new");
      make_inputs(work);
      if (::rename(work.c_str(), i.dir.c_str()) != 0) fs::remove_all(work);  // another test won
    }
    i.rgb = i.dir + "/rgb.tiff";
    i.raw = i.dir + "/raw.tiff";
    i.rnd_rgb = i.dir + "/rnd_rgb.tiff";
    i.rnd_raw = i.dir + "/rnd_raw.tiff";
    i.tiny_rgb = i.dir + "/tiny_rgb.tiff";
    i.tiny_raw = i.dir + "/tiny_raw.tiff";
    return i;
  }();
  return in;
}

std::string shq(const std::string& s) { return "'" + s + "'"; }

std::string good_inputs() { return "--rgb " + shq(inputs().rgb) + " --raw " + shq(inputs().raw); }

std::string with_rgb(const std::string& rgb) { return "--rgb " + shq(rgb) + " --raw " + shq(inputs().raw); }
