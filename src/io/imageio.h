// Reading the exposure with validation, and writing results safely: every image is encoded
// in memory, written to a temporary file beside its final name and renamed, so no truncated
// file ever carries a final name; the log is appended a whole group of lines at a time.
#pragma once

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry.h"

class FileWriter;

// "8-bit 3-channel", "32-bit float 1-channel", ...
std::string describe_type(int type);

// Reads a TIFF file as stored (no conversion). Throws RunError(exit_input) naming the file
// when it is missing, not a regular file, not a TIFF, claims more than 167772160 pixels in
// its header, cannot be decoded, or is not of expected_type.
cv::Mat read_image(const std::string& path, int expected_type, const std::string& what);

// Checks that the colour and raw exposures have equal sizes and are large enough for the
// lenslet grid (no reference point more than one pitch outside the image).
void validate_exposure(const cv::Mat& rgb, const std::string& rgb_path, const cv::Mat& raw,
                       const std::string& raw_path, const Geometry& g);

// The output tree below one root directory.
class Output {
 public:
  // root is a directory path; a missing trailing '/' is added.
  explicit Output(std::string root);
  // Waits for the images still being written (see write_image_behind).
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Extra forms of the images: a PNG beside every PPM / PGM, and float depth maps.
  void set_png(bool on) { png_ = on; }
  void set_float_depth(bool on) { float_depth_ = on; }

  const std::string& root() const { return root_; }
  // Root followed by a relative part, joined as text (so "/x" gives a doubled slash).
  std::string path(const std::string& relative) const { return root_ + relative; }

  // Creates root + relative_dir and its parents (mkdir -p); throws RunError(exit_output).
  void make_dirs(const std::string& relative_dir) const;
  // Checks that a file can be created in root + relative_dir; throws RunError(exit_output).
  void check_writable(const std::string& relative_dir) const;

  // Writes an image with the library's encoder chosen by the extension (float images are
  // converted to 8 bits by the encoder). Atomic: temporary file, then rename. With PNG on,
  // a .ppm / .pgm is also written as .png with the same 8-bit pixels.
  void write_image(const std::string& relative, const cv::Mat& image) const;
  // Like write_image, but returns once the image is encoded: a thread of this output writes
  // the file while the caller goes on, after every file asked for before it. A failure is
  // reported by the next call on this output, or by flush().
  void write_image_behind(const std::string& relative, const cv::Mat& image) const;
  // Returns when every file is written; throws the error of a failed one.
  void flush() const;
  // With float depth on, writes a depth map (CV_32F, disparity units) named like its grey
  // image (relative ends in .pgm) as <name>.pfm, lossless, and as <name>-colour.png, where
  // disparity lo maps to the cold end of the colour scale and hi to the hot end. No-op when
  // float depth is off.
  void write_depth_float(const std::string& relative, const cv::Mat& depth, double lo,
                         double hi) const;
  // Appends text (whole lines) to a file, creating it if missing, in one write.
  void append_text(const std::string& relative, const std::string& text) const;

  // Files written so far (full paths, in order), for the summary.
  const std::vector<std::string>& written() const { return written_; }

 private:
  std::string root_;
  bool png_ = false;
  bool float_depth_ = false;
  mutable std::vector<std::string> written_;
  mutable std::unique_ptr<FileWriter> writer_;  // from the first write_image_behind on
  mutable std::vector<uchar> spare_;             // encoding buffer while there is no writer

  void encode_and_store(const std::string& relative, const cv::Mat& image, bool behind) const;
  std::vector<uchar> take_buffer() const;
  // Writes (or, behind, queues) a file; every file goes through the writer once it exists.
  void store(const std::string& full, std::vector<uchar>&& bytes, bool behind) const;
};

// Writes bytes to path atomically (temporary file in the same directory, then rename). On
// any failure the temporary file is removed and the final name keeps its old content.
void write_file_atomic(const std::string& path, const std::vector<uchar>& bytes);

// The image in 8 bits as the encoders take it: the library's conversion (saturating,
// rounding halves to even), over bands of rows side by side. Writing the result gives the
// bytes write_image gives for the image itself.
void eight_bit_image(const cv::Mat& image, cv::Mat& dst);

// Encodes a one-channel float image as PFM (little-endian, rows bottom to top).
std::vector<uchar> encode_pfm(const cv::Mat& image);

// Colour-mapped 8-bit image of a depth map: lo -> 0 and hi -> 255 of the colour scale.
cv::Mat colour_depth(const cv::Mat& depth, double lo, double hi);
