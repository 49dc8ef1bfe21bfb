// The command line: defaults give the fixed run, every option lands in its field, and the
// help names values and defaults.
#include <gtest/gtest.h>

#include <vector>

#include "cli.h"
#include "progress.h"
#include "test_support.h"

namespace {

RunOptions parse(std::vector<std::string> args) {
  args.insert(args.begin(), "plenosr");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, NoArgumentsIsTheFixedRun) {
  const RunOptions o = parse({});
  EXPECT_EQ(o.rgb_path, "./raw/watch1RGB_WB.tiff");
  EXPECT_EQ(o.raw_path, "./raw/watch1_WB.tiff");
  EXPECT_EQ(o.output_root, "./result/");
  EXPECT_EQ(o.sr.outer_iterations, 15);
  EXPECT_EQ(o.sr.inner_iterations, 3);
  EXPECT_EQ(o.sr.mu, 3.0);
  EXPECT_EQ(o.sr.lambda, 1.0);
  EXPECT_EQ(o.depth.min_disparity, -1);
  EXPECT_EQ(o.depth.max_disparity, 1);
  EXPECT_EQ(o.depth.window_size, 9);
  EXPECT_TRUE(o.sr.joint && o.sr.use_yuv && o.wait);
  EXPECT_FALSE(o.quiet || o.png || o.float_depth || o.reference || o.export_views);
}

TEST(CommandLine, EveryOptionReachesItsField) {
  const RunOptions o = parse({"--outer", "2", "--inner", "1", "--mu", "0.5", "--lambda", "2e0",
                              "--min-disparity", "-3", "--max-disparity", "-3", "--window", "1",
                              "--no-joint", "--no-yuv", "--png", "--float-depth", "-q",
                              "--threads", "4", "--no-wait", "-o", "out"});
  EXPECT_EQ(o.sr.outer_iterations, 2);
  EXPECT_EQ(o.sr.inner_iterations, 1);
  EXPECT_EQ(o.sr.mu, 0.5);
  EXPECT_EQ(o.sr.lambda, 2.0);
  EXPECT_EQ(o.depth.min_disparity, -3);
  EXPECT_EQ(o.depth.max_disparity, -3);
  EXPECT_EQ(o.depth.window_size, 1);
  EXPECT_EQ(o.threads, 4);
  EXPECT_EQ(o.output_root, "out");
  EXPECT_FALSE(o.sr.joint || o.sr.use_yuv || o.wait);
  EXPECT_TRUE(o.png && o.float_depth && o.quiet);
}

TEST(CommandLine, HelpNamesValuesDefaultsAndStatuses) {
  std::string out;
  ASSERT_EQ(run_command(PLENOSR_BIN " --help", &out), 0);
  for (const char* s : {"--outer N=15", "--mu X=3.0", "--rgb PATH=./raw/watch1RGB_WB.tiff",
                        "--output DIR=./result/", "--window N=9", "--quiet", "--png", "--float-depth",
                        "130 stopped by SIGINT", "143 stopped by SIGTERM"})
    EXPECT_NE(out.find(s), std::string::npos) << s;
  EXPECT_EQ(out.find("TEXT"), std::string::npos);
}

TEST(ProgressLine, ShowsCountsAndTimeLeft) {
  Progress p;
  p.begin("depth search", 20);
  p.advance(5);
  EXPECT_EQ(p.line(10.0), "plenosr: depth search: 5/20, 10.0s elapsed, about 30.0s left");
  p.detail("outer 2/15");
  EXPECT_EQ(p.line(100.0), "plenosr: depth search (outer 2/15): 5/20, 1:40 elapsed, about 5:00 left");
  EXPECT_EQ(format_duration(3725), "1:02:05");
}

}  // namespace
