// Runs the real program over bad inputs and faults: each must give one clear line on stderr,
// its documented exit status and no changed output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <thread>

#include "signals.h"
#include "run_inputs.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {


// A bad input or fault: set-up in a scratch directory, the arguments, what must come out.
struct Case {
  std::string name;
  // Returns the arguments (after the program name); may create files in `scratch` and change
  // `out` (the output root, which already holds an earlier run's files). Returns "" to skip.
  std::function<std::string(const std::string& scratch, std::string& out, std::string& env)> setup;
  int status;
  std::string message;  // must appear in the one stderr line
};


std::string image_file(const std::string& path, const cv::Mat& m) {
  cv::imwrite(path, m);
  return path;
}

const cv::Size small(200, 150);

std::vector<Case> cases() {
  using S = const std::string&;
  auto opt = [](std::string args) {
    return [args](S, std::string&, std::string&) { return args; };
  };
  return {
      {"mu_not_a_number", opt("--mu abc"), 2, "--mu: expected a positive number"},
      {"mu_zero", opt("--mu 0"), 2, "--mu: expected a positive number"},
      {"lambda_negative", opt("--lambda -1"), 2, "--lambda: expected a positive number"},
      {"lambda_nan", opt("--lambda nan"), 2, "--lambda: expected a positive number"},
      {"mu_infinite", opt("--mu inf"), 2, "--mu: expected a positive number"},
      {"outer_negative", opt("--outer -1"), 2, "--outer: expected a whole number"},
      {"inner_fraction", opt("--inner 1.5"), 2, "--inner: expected a whole number"},
      {"window_zero", opt("--window 0"), 2, "--window: expected a whole number from 1"},
      {"min_above_max", opt("--min-disparity 2 --max-disparity 1"), 2, "--min-disparity: expected at most"},
      {"threads_negative", opt("--threads -2"), 2, "--threads: expected a whole number"},
      {"outer_overflow", opt("--outer 99999999999999999999"), 2, "--outer: expected a whole number"},
      {"unknown_option", opt("--bogus"), 2, "--bogus: unknown option"},
      {"stray_argument", opt("input.tiff"), 2, "input.tiff: unexpected argument"},
      {"missing_value", opt("--mu"), 2, "--mu: expected a value, found none"},
      {"empty_output", opt("--output ''"), 2, "--output: expected a directory path"},
      {"output_given_twice", opt("--output a --output b"), 2, "--output: expected once, found more than once"},
      {"rgb_missing", [](S s, std::string&, std::string&) { return with_rgb(s + "/none.tiff"); }, 3,
       "none.tiff: cannot open colour image: No such file or directory"},
      {"raw_missing", [](S s, std::string&, std::string&) {
         return "--rgb " + shq(inputs().rgb) + " --raw " + shq(s + "/none.tiff"); }, 3,
       "none.tiff: cannot open raw mosaic"},
      {"rgb_is_directory", [](S s, std::string&, std::string&) { return with_rgb(s); }, 3, "is a directory"},
      {"rgb_is_fifo", [](S s, std::string&, std::string&) {
         ::mkfifo((s + "/pipe.tiff").c_str(), 0644);
         return with_rgb(s + "/pipe.tiff"); }, 3, "pipe.tiff: cannot open colour image: expected a regular file"},
      {"rgb_path_through_file", [](S s, std::string&, std::string&) {
         return with_rgb(write_text_file(s + "/f", "") + "/rgb.tiff"); }, 3, "f/rgb.tiff: cannot open colour image: Not a directory"},
      {"rgb_empty_file", [](S s, std::string&, std::string&) { return with_rgb(write_text_file(s + "/e.tiff", "")); }, 3,
       "e.tiff: expected a TIFF colour image, found an empty file"},
      {"rgb_not_an_image", [](S s, std::string&, std::string&) {
         return with_rgb(write_text_file(s + "/t.tiff", "this is not an image\n")); }, 3, "t.tiff: expected a TIFF colour image, found another kind of file"},
      {"rgb_truncated", [](S s, std::string&, std::string&) {
         const std::string bytes = read_text_file(inputs().tiny_rgb);
         return with_rgb(write_text_file(s + "/cut.tiff", bytes.substr(0, bytes.size() / 2))); }, 3,
       "cut.tiff: expected a TIFF colour image, found a TIFF file whose directory lies outside it"},
      {"rgb_corrupt_header", [](S s, std::string&, std::string&) {
         std::string bytes = read_text_file(inputs().tiny_rgb);
         for (size_t i = 4; i < 8; ++i) bytes[i] = static_cast<char>(0xff);  // directory offset
         return with_rgb(write_text_file(s + "/bad.tiff", bytes)); }, 3, "bad.tiff: expected a TIFF colour image, found a TIFF file whose directory lies outside it"},
      {"rgb_is_png", [](S s, std::string&, std::string&) {
         return with_rgb(image_file(s + "/p.png", cv::Mat(small, CV_8UC3, cv::Scalar::all(9)))); }, 3,
       "p.png: expected a TIFF colour image, found another kind of file"},
      {"rgb_claims_huge_size", [](S s, std::string&, std::string&) {
         // A 38-byte TIFF whose directory claims 20000 x 20000 pixels (LONG values).
         const unsigned char tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0,
                                       0, 1, 4, 0, 1, 0, 0, 0, 0x20, 0x4e, 0, 0,
                                       1, 1, 4, 0, 1, 0, 0, 0, 0x20, 0x4e, 0, 0, 0, 0, 0, 0};
         return with_rgb(write_text_file(s + "/huge.tiff", std::string(tiff, tiff + sizeof tiff))); }, 3,
       "huge.tiff: expected a colour image of at most 167772160 pixels, found a TIFF header claiming 20000 x 20000"},
      {"rgb_claims_huge_strip", [](S s, std::string&, std::string&) {
         // A 2000 x 5 image whose strips claim 100000 rows: the decoder would allocate for them.
         const unsigned char tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 3, 0,
                                       0, 1, 3, 0, 1, 0, 0, 0, 0xd0, 0x07, 0, 0,
                                       1, 1, 3, 0, 1, 0, 0, 0, 5, 0, 0, 0,
                                       0x16, 1, 4, 0, 1, 0, 0, 0, 0xa0, 0x86, 1, 0, 0, 0, 0, 0};
         return with_rgb(write_text_file(s + "/strip.tiff", std::string(tiff, tiff + sizeof tiff))); }, 3,
       "strip.tiff: expected a colour image whose strips or tiles hold at most 167772160 pixels, found a TIFF header claiming strips of 2000 x 100000"},
      {"rgb_repeats_width", [](S s, std::string&, std::string&) {
         // The width is given twice, 30000 then 36: either copy may be the one decoded, and
         // with the first the strips of 16133 rows would take gigabytes.
         const unsigned char tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 4, 0,
                                       0, 1, 3, 0, 1, 0, 0, 0, 0x30, 0x75, 0, 0,
                                       1, 1, 3, 0, 1, 0, 0, 0, 5, 0, 0, 0,
                                       0x16, 1, 3, 0, 1, 0, 0, 0, 0x05, 0x3f, 0, 0,
                                       0, 1, 4, 0, 1, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0};
         return with_rgb(write_text_file(s + "/twice.tiff", std::string(tiff, tiff + sizeof tiff))); }, 3,
       "twice.tiff: expected a colour image whose strips or tiles hold at most 167772160 pixels, found a TIFF header claiming strips of 30000 x 16133"},
      {"rgb_claims_wide_samples", [](S s, std::string&, std::string&) {
         // 12000 x 12000 pixels of four 64-bit samples, in a file of 70 bytes.
         const unsigned char tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 4, 0,
                                       0, 1, 3, 0, 1, 0, 0, 0, 0xe0, 0x2e, 0, 0,
                                       1, 1, 3, 0, 1, 0, 0, 0, 0xe0, 0x2e, 0, 0,
                                       2, 1, 3, 0, 4, 0, 0, 0, 62, 0, 0, 0,
                                       0x15, 1, 3, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0,
                                       64, 0, 64, 0, 64, 0, 64, 0};
         return with_rgb(write_text_file(s + "/wide.tiff", std::string(tiff, tiff + sizeof tiff))); }, 3,
       "wide.tiff: expected a colour image of at most 671088640 bytes decoded, found a TIFF header claiming 12000 x 12000 pixels of 32 bytes"},
      {"rgb_16_bit", [](S s, std::string&, std::string&) {
         return with_rgb(image_file(s + "/d16.tiff", cv::Mat(small, CV_16UC3, cv::Scalar::all(300)))); }, 3,
       "expected an 8-bit 3-channel colour image, found 16-bit 3-channel"},
      {"rgb_float", [](S s, std::string&, std::string&) {
         return with_rgb(image_file(s + "/f.tiff", cv::Mat(small, CV_32FC3, cv::Scalar::all(0.5)))); }, 3,
       "found 32-bit float 3-channel"},
      {"rgb_grey", [](S s, std::string&, std::string&) {
         return with_rgb(image_file(s + "/g.tiff", cv::Mat(small, CV_8UC1, cv::Scalar(9)))); }, 3,
       "g.tiff: expected an 8-bit 3-channel colour image, found 8-bit 1-channel"},
      {"rgb_with_alpha", [](S s, std::string&, std::string&) {
         return with_rgb(image_file(s + "/a.tiff", cv::Mat(small, CV_8UC4, cv::Scalar::all(9)))); }, 3,
       "found 8-bit 4-channel"},
      {"raw_colour", [](S s, std::string&, std::string&) {
         return "--rgb " + shq(inputs().rgb) + " --raw " +
                shq(image_file(s + "/c.tiff", cv::Mat(small, CV_8UC3, cv::Scalar::all(9)))); }, 3,
       "c.tiff: expected an 8-bit 1-channel raw mosaic, found 8-bit 3-channel"},
      {"sizes_differ", [](S, std::string&, std::string&) {
         return "--rgb " + shq(inputs().rgb) + " --raw " + shq(inputs().tiny_raw); }, 3,
       "expected the size of the colour image"},
      {"too_small_for_grid", [](S, std::string&, std::string&) {
         return "--rgb " + shq(inputs().tiny_rgb) + " --raw " + shq(inputs().tiny_raw); }, 3,
       "image too small for the lenslet grid"},
      {"rgb_unreadable", [](S s, std::string&, std::string&) -> std::string {
         if (::geteuid() == 0) return "";  // root reads any file: no fault to show
         const std::string p = image_file(s + "/locked.tiff", cv::Mat(small, CV_8UC3));
         ::chmod(p.c_str(), 0);
         return with_rgb(p); }, 3, "locked.tiff: cannot open colour image: Permission denied"},
      {"output_root_is_file", [](S s, std::string& out, std::string&) {
         out = write_text_file(s + "/plain-file", "keep me\n");
         return good_inputs(); }, 4, "cannot create output directory: a file of that name exists"},
      {"output_subdir_is_file", [](S, std::string& out, std::string&) {
         fs::remove_all(out + "/bigSR");
         write_text_file(out + "/bigSR", "keep me\n");
         return good_inputs(); }, 4, "bigSR: cannot create output directory: a file of that name exists"},
      {"output_read_only", [](S s, std::string& out, std::string&) {
         const std::string ro = s + "/ro";
         fs::create_directories(ro);
         if (try_mount_tmpfs(ro, "64k", true)) {
           out = ro + "/result";
         } else if (::geteuid() != 0) {
           ::chmod(ro.c_str(), 0555);
           out = ro + "/result";
         } else {
           out = "/proc/plenosr-result";  // root without mount: a directory nobody may create
         }
         return good_inputs(); }, 4, "cannot create output directory"},
      {"output_deep_dir_read_only", [](S, std::string& out, std::string&) -> std::string {
         // The root is fine; only the directory of the per-iteration depth maps takes no files.
         const std::string depth = out + "/bigSR/view081/L1/3.0/joint/depth";
         fs::create_directories(depth);
         if (try_mount_tmpfs(depth, "64k", true)) return good_inputs();
         if (::geteuid() == 0) return "";
         ::chmod(depth.c_str(), 0555);
         return good_inputs(); }, 4, "joint/depth/: output directory is not writable"},
      {"disk_full", [](S s, std::string& out, std::string& env) -> std::string {
         const std::string small_fs = s + "/full";
         fs::create_directories(small_fs);
         if (try_mount_tmpfs(small_fs, "256k", false)) {
           out = small_fs + "/result";
         } else {
#ifdef PLENOSR_FAULT_INJECTION
           env = "PLENOSR_FAIL_WRITE_AFTER=0 ";
#else
           return "";
#endif
         }
         return good_inputs(); }, 4, "bicubic.ppm: cannot write: No space left on device"},
  };
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<Case> {};

TEST_P(BadInput, OneLineStatusAndNothingChanged) {
  const Case& c = GetParam();
  const std::string scratch = make_temp_dir("bad");
  std::string out = scratch + "/result";
  // An earlier run's files, which a failed run must leave alone.
  fs::create_directories(out + "/bigSR/view081/L1/3.0/joint");
  write_text_file(out + "/bicubic.ppm", "earlier image");
  write_text_file(out + "/bigSR/view081/L1/3.0/joint/normerror.txt", "earlier log\n");
  std::string env;
  const std::string args = c.setup(scratch, out, env);
  if (args.empty()) {
    std::system(("rm -rf " + shq(scratch)).c_str());
    GTEST_SKIP() << c.name << ": this fault cannot be made here (running as root, no mount)";
  }
  const auto before = snapshot(scratch + "/result");
  const auto before_out = snapshot(out);
  std::string so, se;
  // Quiet, so that stderr holds nothing but the failure.
  const std::string output = args.find("--output") == std::string::npos ? " --output " + shq(out) : "";
  const int status = run_command("cd " + shq(scratch) + " && " + env + PLENOSR_BIN " --no-wait --quiet" +
                                     output + " " + args, &so, &se);
  EXPECT_EQ(status, c.status) << se;
  EXPECT_NE(se.find(c.message), std::string::npos) << "stderr: " << se;
  EXPECT_EQ(se.rfind("plenosr: ", 0), 0u) << se;
  EXPECT_EQ(std::count(se.begin(), se.end(), '\n'), 1) << "stderr: " << se;
  EXPECT_EQ(so, "");
  EXPECT_EQ(snapshot(scratch + "/result"), before);
  EXPECT_EQ(snapshot(out), before_out);
  if (fs::is_directory(out)) {
    EXPECT_TRUE(temp_files(out).empty());
  }
  unmount_all();
  std::system(("chmod -R u+rwx " + shq(scratch) + " 2>/dev/null; rm -rf " + shq(scratch)).c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
