// Validated image reading and atomic output writing.
#include "imageio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "execution.h"
#include "filewriter.h"
#include "signals.h"
#include "textformat.h"

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

namespace {

void limit_decoder() {
  // The library's own warnings would be a second, less clear message.
  static const bool done = [] {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    return true;
  }();
  (void)done;
}

#ifdef PLENOSR_FAULT_INJECTION
// Test builds only: PLENOSR_FAIL_WRITE_AFTER=N makes every file write after the first N fail
// as on a full disk, after half of its bytes.
bool injected_write_fault() {
  static int count = 0;
  const char* limit = std::getenv("PLENOSR_FAIL_WRITE_AFTER");
  return limit != nullptr && ++count > std::atoi(limit);
}
#else
bool injected_write_fault() { return false; }
#endif

// Largest image read: four times the camera's exposure.
constexpr uint64_t max_pixels = 167772160;

// What the first directory of a TIFF file claims: image size, and the strip or tile the
// decoder allocates a buffer for (0 where the tag is absent).
struct TiffClaims {
  uint64_t width = 0, height = 0;
  uint64_t rows_per_strip = 0, tile_width = 0, tile_height = 0;
  uint64_t bits_per_sample = 1, samples_per_pixel = 1;
  // Bytes a decoded pixel takes; the decoder expands some layouts to four 8-bit channels.
  uint64_t pixel_bytes() const {
    const uint64_t bits = std::min<uint64_t>(bits_per_sample, 64), samples = std::min<uint64_t>(samples_per_pixel, 65535);
    return std::max<uint64_t>(4, samples * std::max<uint64_t>(1, (bits + 7) / 8));
  }
};

// Reads the claims before any decoding, so a header that claims an enormous image, strip or
// tile is refused before the decoder allocates for it. Returns "" or what is wrong with
// the file.
std::string tiff_header_problem(std::ifstream& in, uint64_t file_size, TiffClaims* claims) {
  auto read_at = [&](uint64_t offset, size_t n, unsigned char* out) {
    if (offset > file_size || n > file_size - offset) return false;
    in.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n)));
  };
  unsigned char head[16] = {};
  if (file_size == 0) return "found an empty file";
  if (!read_at(0, std::min<uint64_t>(file_size, 16), head) || file_size < 8)
    return "found a file too short for a TIFF header";
  const bool little = head[0] == 'I' && head[1] == 'I';
  if (!little && !(head[0] == 'M' && head[1] == 'M')) return "found another kind of file";
  auto number = [little](const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[little ? i : bytes - 1 - i]) << (8 * i);
    return v;
  };
  const uint64_t magic = number(head + 2, 2);
  if (magic != 42 && magic != 43) return "found another kind of file";
  const bool big = magic == 43;  // BigTIFF: 8-byte counts and offsets
  if (big && file_size < 16) return "found a file too short for a TIFF header";
  const uint64_t dir = big ? number(head + 8, 8) : number(head + 4, 4);
  const int count_bytes = big ? 8 : 2, entry_bytes = big ? 20 : 12, value_bytes = big ? 8 : 4;
  unsigned char count_buf[8];
  if (!read_at(dir, count_bytes, count_buf)) return "found a TIFF file whose directory lies outside it";
  const uint64_t entries = number(count_buf, count_bytes);
  if (entries > (file_size - dir) / entry_bytes) return "found a TIFF file whose directory lies outside it";
  *claims = TiffClaims();
  unsigned char e[20];
  for (uint64_t i = 0; i < entries; ++i) {
    if (!read_at(dir + count_bytes + i * entry_bytes, entry_bytes, e)) return "found a corrupt TIFF directory";
    const uint64_t tag = number(e, 2), type = number(e + 2, 2);
    uint64_t* field = tag == 256 ? &claims->width : tag == 257 ? &claims->height
                    : tag == 278 ? &claims->rows_per_strip : tag == 322 ? &claims->tile_width
                    : tag == 323 ? &claims->tile_height : tag == 258 ? &claims->bits_per_sample
                    : tag == 277 ? &claims->samples_per_pixel : nullptr;
    if (field == nullptr) continue;
    const unsigned char* value = e + 4 + value_bytes;
    const uint64_t count = number(e + 4, value_bytes);
    if (tag == 258 && type == 3 && count * 2 > static_cast<uint64_t>(value_bytes)) {
      // One size per channel, stored elsewhere: the first one is checked (an unreadable
      // list is left to the decoder, which refuses it).
      unsigned char first[2];
      if (read_at(number(value, value_bytes), 2, first)) *field = std::max(*field, number(first, 2));
      continue;
    }
    // SHORT, LONG and (BigTIFF) LONG8 values sit in the entry itself, left-justified.
    const uint64_t claimed = type == 3 ? number(value, 2) : type == 4 ? number(value, 4)
                           : type == 16 ? number(value, 8) : 0;
    // A tag given twice: the decoder may believe either copy, so the larger one is checked.
    *field = std::max(*field, claimed);
  }
  if (claims->width == 0 || claims->height == 0) return "found a TIFF file without an image size";
  return "";
}

}  // namespace

cv::Mat read_image(const std::string& path, int expected_type, const std::string& what) {
  limit_decoder();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw input_error(path, "cannot open " + what + ": " + errno_text(errno));
  if (S_ISDIR(st.st_mode)) throw input_error(path, "cannot open " + what + ": is a directory");
  // A pipe or device would block the reader or be read only partly.
  if (!S_ISREG(st.st_mode)) throw input_error(path, "cannot open " + what + ": expected a regular file, found a pipe, socket or device");
  {
    std::ifstream probe(path, std::ios::binary);
    if (!probe) throw input_error(path, "cannot open " + what + ": " + errno_text(errno));
    TiffClaims c;
    const std::string problem = tiff_header_problem(probe, static_cast<uint64_t>(st.st_size), &c);
    if (!problem.empty()) throw input_error(path, "expected a TIFF " + what + ", " + problem);
    const auto too_large = [](uint64_t w, uint64_t h) {
      return w > max_pixels || h > max_pixels || w * h > max_pixels;
    };
    if (too_large(c.width, c.height))
      throw input_error(path, "expected a " + what + " of at most " + std::to_string(max_pixels) +
                                  " pixels, found a TIFF header claiming " + std::to_string(c.width) +
                                  " x " + std::to_string(c.height));
    // The decoded image is allocated before any pixel is read, so a short file claiming
    // wide samples would take gigabytes.
    if (c.width * c.height * c.pixel_bytes() > 4 * max_pixels)
      throw input_error(path, "expected a " + what + " of at most " + std::to_string(4 * max_pixels) +
                                  " bytes decoded, found a TIFF header claiming " + std::to_string(c.width) +
                                  " x " + std::to_string(c.height) + " pixels of " +
                                  std::to_string(c.pixel_bytes()) + " bytes");
    // The decoder sizes its buffer by the claimed strip (0 and the largest value mean the
    // whole image) or tile, not by the image: a strip of absurd height would take gigabytes.
    const uint64_t strip_rows =
        c.rows_per_strip == 0 || c.rows_per_strip == 0xffffffffu ? c.height : c.rows_per_strip;
    if (too_large(c.width, strip_rows) || too_large(c.tile_width, c.tile_height))
      throw input_error(path, "expected a " + what + " whose strips or tiles hold at most " +
                                  std::to_string(max_pixels) + " pixels, found a TIFF header claiming " +
                                  (too_large(c.width, strip_rows)
                                       ? "strips of " + std::to_string(c.width) + " x " + std::to_string(strip_rows)
                                       : "tiles of " + std::to_string(c.tile_width) + " x " +
                                             std::to_string(c.tile_height)));
    const uint64_t block_pixels = std::max(c.width * strip_rows, c.tile_width * c.tile_height);
    if (block_pixels * c.pixel_bytes() > 4 * max_pixels)
      throw input_error(path, "expected a " + what + " whose strips or tiles hold at most " +
                                  std::to_string(4 * max_pixels) + " bytes decoded, found a TIFF header claiming " +
                                  std::to_string(block_pixels) + " pixels of " + std::to_string(c.pixel_bytes()) +
                                  " bytes in one");
  }
  cv::Mat image;
  try {
    image = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception& e) {
    throw input_error(path, "cannot decode " + what + " (corrupt or unsupported TIFF file)");
  }
  if (image.empty())
    throw input_error(path, "cannot decode " + what + " (truncated, corrupt or unsupported TIFF file)");
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
  const cv::Size need = g.min_exposure_size();
  const int need_rows = need.height, need_cols = need.width;
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

Output::~Output() = default;

std::vector<uchar> Output::take_buffer() const {
  if (writer_) return writer_->buffer();
  return std::move(spare_);
}

void Output::store(const std::string& full, std::vector<uchar>&& bytes, bool behind) const {
  if (behind && !writer_) writer_ = std::make_unique<FileWriter>();
  if (!writer_) {
    write_file_atomic(full, bytes);
    spare_ = std::move(bytes);
  } else if (behind) {
    writer_->queue(full, std::move(bytes));
  } else {
    writer_->write(full, std::move(bytes));
  }
  written_.push_back(full);
}

void Output::flush() const {
  if (writer_) writer_->flush();
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
  flush();  // the probe below is this thread's own temporary file
  std::string dir = path(relative_dir);
  if (dir.back() != '/') dir += '/';
  // Named like every temporary file, so the signal watchdog removes it too.
  const std::string probe = dir + strformat(".tmp-%ld-probe", static_cast<long>(::getpid()));
  set_inflight_temp(probe.c_str());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const int err = errno;
  if (fd >= 0) {
    ::close(fd);
    ::unlink(probe.c_str());
  }
  set_inflight_temp(nullptr);
  if (fd < 0) throw output_error(dir, "output directory is not writable: " + errno_text(err));
}

void write_file_atomic(const std::string& path, const std::vector<uchar>& bytes) {
  // The temporary name is registered before the file exists, so the signal watchdog can
  // remove it at any moment.
  static unsigned serial = 0;
  const std::string tmp = directory_of(path) + strformat(".tmp-%ld-%u", static_cast<long>(::getpid()), ++serial);
  set_inflight_temp(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    set_inflight_temp(nullptr);
    throw output_error(path, "cannot write: " + errno_text(err));
  }
  int err = 0;
  if (injected_write_fault()) {
    write_all(fd, bytes.data(), bytes.size() / 2);
    err = ENOSPC;
  } else {
    err = write_all(fd, bytes.data(), bytes.size());
  }
  if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  set_inflight_temp(nullptr);
  if (err != 0) {
    const std::string hint = err == ENOSPC ? " (disk full; the previous file, if any, is kept)" : "";
    throw output_error(path, "cannot write: " + errno_text(err) + hint);
  }
}

std::vector<uchar> encode_pfm(const cv::Mat& image) {
  CV_Assert(image.type() == CV_32FC1);
  const std::string header = strformat("Pf\n%d %d\n-1.0\n", image.cols, image.rows);
  std::vector<uchar> bytes(header.begin(), header.end());
  const size_t row_bytes = static_cast<size_t>(image.cols) * sizeof(float);
  bytes.reserve(bytes.size() + row_bytes * image.rows);
  // The machine is little-endian, as the negative scale announces.
  for (int r = image.rows - 1; r >= 0; --r) {
    const uchar* row = image.ptr<uchar>(r);
    bytes.insert(bytes.end(), row, row + row_bytes);
  }
  return bytes;
}

cv::Mat colour_depth(const cv::Mat& depth, double lo, double hi) {
  const double span = hi > lo ? hi - lo : 1.0;
  cv::Mat grey;
  depth.convertTo(grey, CV_8U, 255.0 / span, -lo * 255.0 / span);
  cv::Mat colour;
  cv::applyColorMap(grey, colour, cv::COLORMAP_TURBO);
  return colour;
}

void Output::write_depth_float(const std::string& relative, const cv::Mat& depth, double lo,
                               double hi) const {
  if (!float_depth_) return;
  const std::string full = path(relative);
  const std::string base = full.substr(0, full.size() - extension_of(full).size());
  store(base + ".pfm", encode_pfm(depth), false);
  std::vector<uchar> png;
  if (!cv::imencode(".png", colour_depth(depth, lo, hi), png))
    throw output_error(base + "-colour.png", "cannot encode colour depth image");
  store(base + "-colour.png", std::move(png), false);
}

void eight_bit_image(const cv::Mat& image, cv::Mat& dst) {
  dst.create(image.rows, image.cols, CV_MAKETYPE(CV_8U, image.channels()));
  if (image.isContinuous() && image.dims == 2) {
    library_bands(image.rows, [&](int y0, int y1) {
      cv::Mat band = dst.rowRange(y0, y1);
      image.rowRange(y0, y1).convertTo(band, CV_8U);
    });
  } else {
    image.convertTo(dst, CV_8U);
  }
}

void Output::write_image(const std::string& relative, const cv::Mat& image) const {
  encode_and_store(relative, image, false);
}

void Output::write_image_behind(const std::string& relative, const cv::Mat& image) const {
  encode_and_store(relative, image, true);
}

void Output::encode_and_store(const std::string& relative, const cv::Mat& image,
                              bool behind) const {
  const std::string full = path(relative);
  // The run writes the same few large images over and over: keeping the 8-bit copy and the
  // encoded bytes between calls spares faulting in fresh pages each time.
  std::vector<uchar> bytes = take_buffer();
  thread_local cv::Mat eight_bit;
  // The 8-bit encoders get the conversion they would make themselves; float formats (PFM,
  // TIFF) take float samples as they are, so what they hold is never rounded.
  const std::string ext = extension_of(full);
  const bool float_format = ext == ".pfm" || ext == ".tif" || ext == ".tiff";
  const bool wide = !float_format && (image.depth() == CV_32F || image.depth() == CV_64F);
  const cv::Mat& encoded = wide ? eight_bit : image;
  bool ok = false;
  try {
    if (wide) eight_bit_image(image, eight_bit);  // into this thread's buffer
    ok = cv::imencode(extension_of(full), encoded, bytes);
  } catch (const cv::Exception&) {
    ok = false;
  }
  if (!ok) throw output_error(full, "cannot encode image of type " + describe_type(image.type()));
  store(full, std::move(bytes), behind);
  if (png_ && (ext == ".ppm" || ext == ".pgm")) {
    const std::string png_path = full.substr(0, full.size() - ext.size()) + ".png";
    // The PNG encoder converts float samples to 8 bits exactly as the PPM / PGM one does.
    bytes = take_buffer();
    if (!cv::imencode(".png", encoded, bytes))
      throw output_error(png_path, "cannot encode image of type " + describe_type(image.type()));
    store(png_path, std::move(bytes), behind);
  }
}

void Output::append_text(const std::string& relative, const std::string& text) const {
  if (writer_) writer_->check();
  const std::string full = path(relative);
  const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw output_error(full, "cannot append to log: " + errno_text(errno));
  // A failed append is cut back to the old length, so the log never ends in half a line.
  struct stat st {};
  const off_t old_size = ::fstat(fd, &st) == 0 ? st.st_size : -1;
  int err = 0;
  if (injected_write_fault()) {
    write_all(fd, reinterpret_cast<const uchar*>(text.data()), text.size() / 2);
    err = ENOSPC;
  } else {
    err = write_all(fd, reinterpret_cast<const uchar*>(text.data()), text.size());
  }
  if (err != 0 && old_size >= 0 && ::ftruncate(fd, old_size) != 0) {
    // Nothing more can be done; the error below names the file.
  }
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) throw output_error(full, "cannot append to log: " + errno_text(err));
}
