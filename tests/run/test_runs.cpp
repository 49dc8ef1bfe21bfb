// Runs the real program through interruptions, a disk that fills up mid-run, short full-size
// runs and several thread counts: completed files stay whole, nothing partial is left, and
// the outputs do not depend on the thread count.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <thread>

#include "run_inputs.h"
#include "signals.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

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
