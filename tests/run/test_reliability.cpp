// Runs the real program over bad inputs and faults: each must give one clear line on stderr,
// its documented exit status and no changed output. Also interruption and thread-count
// independence of the outputs.
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
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::vector<int> uncompressed = {cv::IMWRITE_TIFF_COMPRESSION, 1};

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

std::vector<std::string>& mounted() {
  static std::vector<std::string> dirs;
  return dirs;
}

bool try_mount_tmpfs(const std::string& dir, const std::string& size, bool read_only) {
  if (::mount("tmpfs", dir.c_str(), "tmpfs", read_only ? MS_RDONLY : 0, ("size=" + size).c_str()) != 0)
    return false;
  mounted().push_back(dir);
  return true;
}

void unmount_all() {
  for (const auto& d : mounted()) ::umount2(d.c_str(), MNT_DETACH);
  mounted().clear();
}

// Inputs shared by every test of the suite. Each test runs as its own process, so they are
// made once in a fixed directory (built aside and renamed into place) and reused.
struct Inputs {
  std::string dir;
  std::string rgb, raw;          // full-size, valid (smooth data, quick to read)
  std::string rnd_rgb, rnd_raw;  // full-size, valid, random data
  std::string tiny_rgb, tiny_raw;
};

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

// A bad input or fault: set-up in a scratch directory, the arguments, what must come out.
struct Case {
  std::string name;
  // Returns the arguments (after the program name); may create files in `scratch` and change
  // `out` (the output root, which already holds an earlier run's files). Returns "" to skip.
  std::function<std::string(const std::string& scratch, std::string& out, std::string& env)> setup;
  int status;
  std::string message;  // must appear in the one stderr line
};

std::string good_inputs() { return "--rgb " + shq(inputs().rgb) + " --raw " + shq(inputs().raw); }

std::string with_rgb(const std::string& rgb) { return "--rgb " + shq(rgb) + " --raw " + shq(inputs().raw); }

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

// Starts the program with stdin held open (so it would wait at the end) and returns its pid.
pid_t start_program(const std::string& args_line, const std::string& err_path, int* stdin_fd) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[0], 0);
    ::close(fds[1]);
    std::freopen("/dev/null", "w", stdout);
    std::freopen(err_path.c_str(), "w", stderr);
    ::execl("/bin/sh", "sh", "-c", ("exec " PLENOSR_BIN " " + args_line).c_str(), (char*)nullptr);
    ::_exit(127);
  }
  ::close(fds[0]);
  *stdin_fd = fds[1];
  return pid;
}

int wait_status(pid_t pid) {
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

void interrupt_run(int sig, int expected_status, const std::string& expected_text) {
  const std::string dir = make_temp_dir("sig");
  const std::string out = dir + "/result";
  int in_fd = -1;
  const pid_t pid = start_program(good_inputs() + " --reference -o " + shq(out), dir + "/err", &in_fd);
  ASSERT_GT(pid, 0);
  // Wait until the first result is complete, then interrupt the run while it works (or
  // waits at the end, if the remaining stages are quick).
  for (int i = 0; i < 1200 && !fs::exists(out + "/bicubic.ppm"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(fs::exists(out + "/bicubic.ppm"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(pid, sig);
  const int status = wait_status(pid);
  ::close(in_fd);
  const std::string err = read_text_file(dir + "/err");
  EXPECT_EQ(status, expected_status) << err;
  EXPECT_NE(err.find(expected_text), std::string::npos) << err;
  EXPECT_TRUE(temp_files(out).empty());
  const cv::Mat bicubic = cv::imread(out + "/bicubic.ppm", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(bicubic.size(), cv::Size(2450, 1634));
  for (const auto& [path, bytes] : snapshot(out)) {
    if (path.size() > 4 && path.substr(path.size() - 4) == ".txt") continue;
    EXPECT_FALSE(cv::imread(path, cv::IMREAD_UNCHANGED).empty()) << path << " is not a whole image";
  }
  std::system(("rm -rf " + shq(dir)).c_str());
}

TEST(Interrupt, SigintKeepsCompletedFilesAndExits130) {
  interrupt_run(SIGINT, 130, "interrupted by SIGINT");
}

TEST(Interrupt, SigtermExits143) { interrupt_run(SIGTERM, 143, "terminated by SIGTERM"); }

// A disk that fills up after the first image: that image stays whole, the next one fails
// with a line naming it, and nothing partial is left.
TEST(DiskFull, MidRunKeepsCompletedFiles) {
  const std::string dir = make_temp_dir("midfull");
  const std::string fs_dir = dir + "/fs";
  fs::create_directories(fs_dir);
  if (!try_mount_tmpfs(fs_dir, "13m", false)) {
    fs::remove_all(dir);
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  std::string se;
  const int status = run_command(PLENOSR_BIN " --no-wait -q " + good_inputs() + " -o " + shq(fs_dir + "/r"), nullptr, &se);
  EXPECT_EQ(status, 4) << se;
  EXPECT_NE(se.find("depthmapbig.pgm: cannot write: No space left on device"), std::string::npos) << se;
  EXPECT_EQ(cv::imread(fs_dir + "/r/bicubic.ppm", cv::IMREAD_UNCHANGED).size(), cv::Size(2450, 1634));
  EXPECT_FALSE(fs::exists(fs_dir + "/r/bigSR/view081/depthmapbig.pgm"));
  EXPECT_TRUE(temp_files(fs_dir).empty());
  unmount_all();
  fs::remove_all(dir);
}

// The watchdog ends a run that reaches no checkpoint within about a second of the signal,
// removing the file being written; a second signal ends it at once.
int run_stalled_child(std::initializer_list<int> signals, const std::string& temp) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    install_signal_handlers();
    write_text_file(temp, "half an image");
    set_inflight_temp(temp.c_str());
    for (int sig : signals) ::raise(sig);
    for (;;) ::pause();  // long work without a checkpoint
  }
  for (int i = 0; i < 200; ++i) {  // a hang fails the test instead of blocking the suite
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

TEST(Interrupt, WatchdogStopsWorkWithoutCheckpoints) {
  const std::string dir = make_temp_dir("watchdog");
  EXPECT_EQ(run_stalled_child({SIGINT}, dir + "/.tmp-a"), 130);
  EXPECT_FALSE(fs::exists(dir + "/.tmp-a"));
  EXPECT_EQ(run_stalled_child({SIGTERM, SIGTERM}, dir + "/.tmp-b"), 143);
  EXPECT_FALSE(fs::exists(dir + "/.tmp-b"));
  fs::remove_all(dir);
}

// A short full-size run: the documented files appear, stdout carries only the run's lines.
TEST(FullSize, ShortRunCompletes) {
  const std::string dir = make_temp_dir("full");
  std::string so, se;
  const int status = run_command(PLENOSR_BIN " --no-wait --outer 1 --inner 1 --png --float-depth " +
                                     good_inputs() + " -o " + shq(dir + "/r"), &so, &se);
  ASSERT_EQ(status, 0) << se;
  EXPECT_NE(so.find("finish\nduration = "), std::string::npos) << so;
  EXPECT_EQ(so.substr(so.size() - 5), "sec.\n");
  EXPECT_NE(se.find("results in " + dir + "/r/"), std::string::npos) << se;
  EXPECT_NE(se.find("wall time"), std::string::npos) << se;
  EXPECT_EQ(cv::imread(dir + "/r/bicubic.ppm", cv::IMREAD_UNCHANGED).size(), cv::Size(2450, 1634));
  EXPECT_TRUE(fs::exists(dir + "/r/bicubic.png"));
  EXPECT_TRUE(fs::exists(dir + "/r/bigSR/view081/depthmapbig.pfm"));
  EXPECT_TRUE(fs::exists(dir + "/r/bigSR/view081/depthmapbig-colour.png"));
  EXPECT_TRUE(temp_files(dir).empty());
  std::system(("rm -rf " + shq(dir)).c_str());
}

// Quiet: nothing at all on stderr for a successful run.
TEST(FullSize, QuietRunPrintsNothingOnStderr) {
  const std::string dir = make_temp_dir("quiet");
  std::string so, se;
  const int status = run_command(PLENOSR_BIN " --no-wait -q --outer 0 " + good_inputs() + " -o " +
                                     shq(dir + "/r"), &so, &se);
  EXPECT_EQ(status, 0) << se;
  EXPECT_EQ(se, "");
  std::system(("rm -rf " + shq(dir)).c_str());
}

// Outputs must not depend on the thread count.
TEST(Threads, OutputsIdenticalFor1To4Threads) {
  const std::string dir = make_temp_dir("threads");
  std::map<std::string, std::string> first;
  for (int threads : {1, 2, 4}) {
    const std::string out = dir + "/t" + std::to_string(threads);
    std::string se;
    const int status = run_command(PLENOSR_BIN " --no-wait -q --outer 1 --inner 1 --threads " +
                                       std::to_string(threads) + " --rgb " + shq(inputs().rnd_rgb) +
                                       " --raw " + shq(inputs().rnd_raw) + " -o " + shq(out), nullptr, &se);
    ASSERT_EQ(status, 0) << se;
    std::map<std::string, std::string> files;
    for (auto& [path, bytes] : snapshot(out)) files[path.substr(out.size())] = std::move(bytes);
    ASSERT_FALSE(files.empty());
    if (threads == 1) {
      first = std::move(files);
      continue;
    }
    ASSERT_EQ(files.size(), first.size());
    for (const auto& [name, bytes] : first) {
      EXPECT_TRUE(files[name] == bytes) << name << " differs with " << threads << " threads";
    }
  }
  std::system(("rm -rf " + shq(dir)).c_str());
}

}  // namespace
