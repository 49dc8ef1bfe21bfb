// Validated image reading and atomic output writing.
#include "imageio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include "errors.h"

namespace {

std::string errno_text(int err) { return std::strerror(err); }

std::string extension_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return path.substr(dot);
}

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Writes all bytes to fd; returns 0 or the errno of the failure.
int write_all(int fd, const uchar* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

std::string describe_type(int type) {
  static const char* depths[] = {"8-bit",  "8-bit signed",  "16-bit",       "16-bit signed",
                                 "32-bit integer", "32-bit float", "64-bit float", "16-bit float"};
  const int depth = CV_MAT_DEPTH(type);
  return std::string(depths[depth]) + " " + std::to_string(CV_MAT_CN(type)) + "-channel";
}

cv::Mat read_image(const std::string& path, int expected_type, const std::string& what) {
  // The library's own warnings would be a second, less clear message.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw input_error(path, "cannot open " + what + ": " + errno_text(errno));
  if (S_ISDIR(st.st_mode)) throw input_error(path, "cannot open " + what + ": is a directory");
  {
    std::ifstream probe(path, std::ios::binary);
    if (!probe) throw input_error(path, "cannot open " + what + ": " + errno_text(errno));
  }
  cv::Mat image;
  try {
    image = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception& e) {
    throw input_error(path, "cannot decode " + what + " (corrupt or unsupported image file)");
  }
  if (image.empty())
    throw input_error(path, "cannot decode " + what + " (empty, truncated, corrupt or unsupported image file)");
  if (image.type() != expected_type)
    throw input_error(path, "expected an " + describe_type(expected_type) + " " + what + ", found " +
                                describe_type(image.type()));
  return image;
}

void validate_exposure(const cv::Mat& rgb, const std::string& rgb_path, const cv::Mat& raw,
                       const std::string& raw_path, const Geometry& g) {
  if (rgb.size() != raw.size())
    throw input_error(raw_path, "expected the size of the colour image " + rgb_path + " (" +
                                    std::to_string(rgb.cols) + " x " + std::to_string(rgb.rows) +
                                    "), found " + std::to_string(raw.cols) + " x " +
                                    std::to_string(raw.rows));
  // The farthest lenslet reference points, in raw rows and columns.
  double max_row = -1e300, max_col = -1e300;
  for (int r = 0; r < g.lens_rows; ++r) {
    for (int c : {0, g.lens_cols - 1}) {
      max_row = std::max(max_row, g.lenslet_row(r, c));
      max_col = std::max(max_col, g.lenslet_col(r, c));
    }
  }
  const int need_rows = static_cast<int>(std::ceil(max_row + 1 - g.pitch_y));
  const int need_cols = static_cast<int>(std::ceil(max_col + 1 - g.pitch_x));
  if (raw.rows < need_rows || raw.cols < need_cols)
    throw input_error(raw_path, "image too small for the lenslet grid: expected at least " +
                                    std::to_string(need_cols) + " x " + std::to_string(need_rows) +
                                    " pixels (columns x rows), found " + std::to_string(raw.cols) +
                                    " x " + std::to_string(raw.rows));
}

Output::Output(std::string root) : root_(std::move(root)) {
  if (root_.empty()) root_ = "./";
  if (root_.back() != '/') root_ += '/';
}

void Output::make_dirs(const std::string& relative_dir) const {
  const std::string full = path(relative_dir);
  std::string partial;
  size_t pos = 0;
  while (pos <= full.size()) {
    const size_t next = full.find('/', pos);
    partial = full.substr(0, next == std::string::npos ? full.size() : next);
    pos = (next == std::string::npos) ? full.size() + 1 : next + 1;
    if (partial.empty() || partial == "." || partial == "..") continue;
    struct stat st {};
    if (::stat(partial.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) throw output_error(partial, "cannot create output directory: a file of that name exists");
      continue;
    }
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
      throw output_error(partial, "cannot create output directory: " + errno_text(errno));
  }
}

void Output::check_writable(const std::string& relative_dir) const {
  std::string dir = path(relative_dir);
  if (dir.back() != '/') dir += '/';
  std::string probe = dir + ".plenosr-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) throw output_error(dir, "output directory is not writable: " + errno_text(errno));
  ::close(fd);
  ::unlink(probe.c_str());
}

void write_file_atomic(const std::string& path, const std::vector<uchar>& bytes) {
  std::string tmp = directory_of(path) + ".tmp-XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) throw output_error(path, "cannot write: " + errno_text(errno));
  int err = write_all(fd, bytes.data(), bytes.size());
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0) ::chmod(tmp.c_str(), 0644);
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw output_error(path, "cannot write: " + errno_text(err));
  }
}

void Output::write_image(const std::string& relative, const cv::Mat& image) const {
  const std::string full = path(relative);
  std::vector<uchar> bytes;
  bool ok = false;
  try {
    ok = cv::imencode(extension_of(full), image, bytes);
  } catch (const cv::Exception&) {
    ok = false;
  }
  if (!ok) throw output_error(full, "cannot encode image of type " + describe_type(image.type()));
  write_file_atomic(full, bytes);
  written_.push_back(full);
}

void Output::append_text(const std::string& relative, const std::string& text) const {
  const std::string full = path(relative);
  const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) throw output_error(full, "cannot append to log: " + errno_text(errno));
  int err = write_all(fd, reinterpret_cast<const uchar*>(text.data()), text.size());
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) throw output_error(full, "cannot append to log: " + errno_text(err));
}
