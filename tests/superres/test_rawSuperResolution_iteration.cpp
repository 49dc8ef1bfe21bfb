// The super-resolution iteration: its console lines, log and result files, the stop rule,
// the clamped update and its refusals, on tiny grids.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "errors.h"
#include "imageio.h"
#include "output_paths.h"
#include "rawSuperResolution.h"
#include "sr_scenes.h"
#include "test_support.h"

namespace {

struct SrRun {
  std::string console, log;
  cv::Mat estimate;
};

SrRun run_sr(const Geometry& g, int outer, int inner, cv::Mat estimate, const TestViews& e,
           cv::Mat depth, const std::string& root, bool joint = true) {
  Output out(root);
  if (outer > 0) out.make_dirs(paths::sr_dir(3.0, true) + paths::depth_subdir);
  rawSuperResolution sr(outer, inner, 3.0, 1.0, g, &out);
  testing::internal::CaptureStdout();
  sr.raw_super_resolution(estimate, e.views.data(), e.masks.data(), depth, joint, true);
  SrRun r;
  r.console = testing::internal::GetCapturedStdout();
  r.log = read_text_file(root + "/" + paths::sr_log(3.0, true));
  r.estimate = estimate;
  return r;
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A fresh temporary directory, removed with everything in it at the end of the test.
struct TempDir {
  explicit TempDir(const std::string& tag) : path(make_temp_dir(tag)) {}
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  const std::string path;
};

}  // namespace

TEST(Iteration, ZeroCurvatureStopAtFirstStepThenLogLayout) {
  // Reproduced samples and split variables equal to the differences: the first direction is
  // zero, so the first step stops; the shrinkage then moves the split variables and the
  // second outer iteration descends.
  const Geometry g = unit_geometry();
  const cv::Mat u = random_integers(g, 41, 20, 230);
  const cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  const TestViews e = reproduced_exposure(g, u, depth);
  const TempDir dir("sr-log");
  const std::string& root = dir.path;
  const SrRun r = run_sr(g, 2, 2, u.clone(), e, depth, root);
  const auto con = lines(r.console), logl = lines(r.log);
  ASSERT_GE(con.size(), 7u);
  EXPECT_EQ(con[0], "iteration : 0");
  EXPECT_EQ(con[1], "0");
  EXPECT_EQ(con[2], "norm error = 0");
  EXPECT_EQ(con[3], "alpha = 0");
  EXPECT_EQ(con[4], "L_SR = 0");
  EXPECT_EQ(con[5], "iteration : 1");  // no E_SR line: the last step was not reached
  ASSERT_GE(logl.size(), 5u);
  EXPECT_EQ(logl[0], "--------- norm error ------------");
  EXPECT_EQ(logl[1], "ite\t0");
  EXPECT_EQ(logl[2].substr(0, 10), "0\t0\t\tE_SR\t");
  EXPECT_NE(logl[2].find("\tRegular\t\t"), std::string::npos);
  EXPECT_EQ(logl[3], "stop\tzero curvature");
  EXPECT_EQ(logl[4], "ite\t1");
  // Every step line has eight fields; its numbers are the console's.
  std::string e_sr;
  for (size_t i = 5; i < logl.size(); ++i) {
    char k[8], E[32], tag1[8], esr[32], tag2[16], reg[32];
    ASSERT_EQ(std::sscanf(logl[i].c_str(), "%7[^\t]\t%31[^\t]\t\t%7[^\t]\t%31[^\t]\t%15[^\t]\t\t%31s",
                          k, E, tag1, esr, tag2, reg),
              6)
        << logl[i];
    EXPECT_EQ(std::string(tag1), "E_SR");
    EXPECT_EQ(std::string(tag2), "Regular");
    EXPECT_NE(r.console.find("norm error = " + std::string(E) + "\n"), std::string::npos);
    e_sr = esr;
  }
  // The second outer iteration takes both steps; the last one closes with the console's E_SR.
  ASSERT_EQ(logl.size(), 7u);
  EXPECT_EQ(logl[6].substr(0, 2), "1\t");
  EXPECT_NE(r.console.find("E_SR = " + e_sr + "\n"), std::string::npos);
  // Outer 0 left the estimate alone: sr00 is the input; the descent stays within 0..255.
  cv::Mat sr00 = cv::imread(root + "/" + paths::sr_result(3.0, true, 0), cv::IMREAD_UNCHANGED);
  cv::Mat u8;
  u.convertTo(u8, CV_8UC3);
  EXPECT_TRUE(same_bytes(sr00, u8));
  EXPECT_TRUE(exists(root + "/" + paths::sr_result(3.0, true, 1)));
  EXPECT_TRUE(exists(root + "/" + paths::sr_depth(3.0, true, 1)));
  double lo, hi;
  cv::minMaxLoc(r.estimate.reshape(1), &lo, &hi);
  EXPECT_GE(lo, 0.0);
  EXPECT_LE(hi, 255.0);
  // A run without inner steps appends nothing.
  const SrRun again = run_sr(g, 1, 0, u.clone(), e, depth, root);
  EXPECT_EQ(again.log, r.log);  // no inner step: nothing appended
}

// Step lines ("k\tE\t\tE_SR...") in a log.
int step_lines(const std::string& log) {
  int n = 0;
  for (const std::string& l : lines(log)) n += l.find("\tE_SR\t") != std::string::npos;
  return n;
}

// The mean update per full-resolution pixel, all channels summed: when nothing clamps, alpha
// times the gradient's L1 norm over the pixel count, which a step must reach (0.01) to be
// taken and to be followed by the next one.
double mean_update(const cv::Mat& before, const cv::Mat& after, const Geometry& g) {
  return cv::norm(after, before, cv::NORM_L1) / g.full_pixels();
}

TEST(Iteration, AppliedUpdateClampsAndStopRuleHolds) {
  // An estimate reaching outside 0..255 ends inside it after one step.
  {
    const Geometry g = small_geometry(8, 7);
    const TestViews e = random_views(g, 51);
    const cv::Mat depth = level_depth(g, 53, 3);
    const TempDir dir("sr-clamp");
    const SrRun r = run_sr(g, 1, 1, random_float(g, 52, -40, 300), e, depth, dir.path);
    ASSERT_EQ(lines(r.log).size(), 3u);
    EXPECT_NE(r.console.find("E_SR = "), std::string::npos);
    double lo, hi;
    cv::minMaxLoc(r.estimate.reshape(1), &lo, &hi);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 255.0);
  }
  // Far from the samples the first step moves a lot and the second one follows.
  {
    const Geometry g = small_geometry(8, 7);
    const TestViews e = random_views(g, 54);
    const cv::Mat depth = level_depth(g, 55, 3);
    const cv::Mat u = random_float(g, 56, 60, 190);
    const TempDir dir("sr-far");
    const SrRun one = run_sr(g, 1, 1, u.clone(), e, depth, dir.path + "/1");
    ASSERT_GT(mean_update(u, one.estimate, g), 0.02);
    const SrRun two = run_sr(g, 1, 2, u.clone(), e, depth, dir.path + "/2");
    EXPECT_EQ(step_lines(two.log), 2);
    EXPECT_NE(two.console.find("E_SR = "), std::string::npos);
  }
  // Next to the samples (they reproduce the truth exactly, the estimate is off by 0.05 in one
  // sample) the step would move the estimate by far less than the threshold: it is not
  // applied, and it ends the outer iteration without a zero-curvature stop or a closing E_SR.
  {
    const Geometry g = unit_geometry();
    const cv::Mat truth = random_integers(g, 57, 60, 190);
    const cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
    const TestViews e = reproduced_exposure(g, truth, depth);
    cv::Mat u = truth.clone();
    u.at<cv::Vec3f>(3, 4)[1] += 0.05f;
    const TempDir dir("sr-near");
    const SrRun r = run_sr(g, 1, 3, u.clone(), e, depth, dir.path);
    EXPECT_TRUE(same_bytes(r.estimate, u));
    EXPECT_EQ(step_lines(r.log), 1);
    EXPECT_EQ(r.log.find("stop"), std::string::npos);
    EXPECT_NE(r.console.find("alpha = "), std::string::npos);
    EXPECT_EQ(r.console.find("E_SR = "), std::string::npos);
  }
}

TEST(Iteration, NoInnerOrNoOuterIterations) {
  const Geometry g = small_geometry(4, 4);
  const TestViews e = random_views(g, 61);
  const cv::Mat u = random_float(g, 62, 0, 255);
  const cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  const TempDir dir("sr-none");
  const std::string& root = dir.path;
  SrRun r = run_sr(g, 0, 3, u.clone(), e, depth, root);
  EXPECT_EQ(r.console, "");
  EXPECT_FALSE(exists(root + "/bigSR"));
  EXPECT_TRUE(same_bytes(r.estimate, u));
  r = run_sr(g, 2, 0, u.clone(), e, depth, root);
  EXPECT_EQ(r.console, "iteration : 0\niteration : 1\n");
  EXPECT_EQ(r.log, "");
  EXPECT_TRUE(same_bytes(r.estimate, u));
  EXPECT_TRUE(exists(root + "/" + paths::sr_result(3.0, true, 1)));
}

TEST(Iteration, BadInputsAndFailedWritesAreReported) {
  const Geometry g = small_geometry(4, 4);
  const TestViews e = random_views(g, 71);
  cv::Mat depth = cv::Mat::zeros(g.high_y, g.high_x, CV_32F);
  rawSuperResolution sr(1, 1, 3.0, 1.0, g);
  cv::Mat wrong(g.high_y + 1, g.high_x, CV_32FC3, cv::Scalar(0));
  EXPECT_THROW(sr.raw_super_resolution(wrong, e.views.data(), e.masks.data(), depth, false, true),
               RunError);
  cv::Mat u = random_float(g, 72, 0, 255);
  cv::Mat depth64(g.high_y, g.high_x, CV_64F, cv::Scalar(0));
  EXPECT_THROW(sr.raw_super_resolution(u, e.views.data(), e.masks.data(), depth64, false, true),
               RunError);
  std::vector<cv::Mat> masks = e.masks;
  masks[80] = cv::Mat(g.low_y, g.low_x - 1, CV_8UC1, cv::Scalar(3));
  EXPECT_THROW(sr.raw_super_resolution(u, e.views.data(), masks.data(), depth, false, true),
               RunError);
  // An output tree that does not exist: the first log line fails loudly.
  const TempDir dir("sr-missing");
  Output missing(dir.path + "/absent/");
  rawSuperResolution loud(1, 1, 3.0, 1.0, g, &missing);
  testing::internal::CaptureStdout();
  EXPECT_THROW(loud.raw_super_resolution(u, e.views.data(), e.masks.data(), depth, true, true),
               RunError);
  testing::internal::GetCapturedStdout();
}
