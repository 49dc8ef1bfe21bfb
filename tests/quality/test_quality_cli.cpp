// The quality mode from the command line, on a small lenslet grid: the mode option, the
// output layout beside an exact run in one root, and the same bytes for any thread count.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <opencv2/imgcodecs.hpp>

#include "geometry_file.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string shq(const std::string& s) { return "'" + s + "'"; }

// Every regular file below root (relative path) with its bytes.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) files[e.path().string().substr(root.size())] = read_text_file(e.path().string());
  return files;
}

// A small camera unit and a random exposure for it: the arguments that select them.
const std::string& small_inputs() {
  static const std::string args = [] {
    const std::string dir = make_temp_dir("quality-inputs");
    Geometry g = small_geometry(26, 22);
    const cv::Size raw = raw_size_for(g);
    g.sensor_rows = raw.height;
    g.sensor_cols = raw.width;
    write_geometry_file(dir + "/unit.json", g);
    const std::vector<int> plain = {cv::IMWRITE_TIFF_COMPRESSION, 1};
    cv::imwrite(dir + "/rgb.tiff", random_image(raw, CV_8UC3, 5), plain);
    cv::imwrite(dir + "/raw.tiff", random_image(raw, CV_8UC1, 6), plain);
    return "--geometry " + shq(dir + "/unit.json") + " --rgb " + shq(dir + "/rgb.tiff") + " --raw " +
           shq(dir + "/raw.tiff");
  }();
  return args;
}

const std::string quick_quality =
    " --mode quality --q-outer 2 --q-steps 2 --q-final-steps 2 --q-disparity-step 0.5 ";

}  // namespace

TEST(QualityCli, BadModeAndTuningValuesAreRefused) {
  const std::string dir = make_temp_dir("quality-bad");
  struct Case {
    std::string args, message;
  };
  const std::vector<Case> cases = {
      {"--mode bogus", "--mode: expected exact or quality, found 'bogus'"},
      {"--mode ''", "--mode: expected exact or quality, found ''"},
      {"--mode quality --q-window 0", "--q-window: expected a whole number from 1 to 50, found '0'"},
      {"--mode quality --q-steps 1.5", "--q-steps: expected a whole number"},
      {"--mode quality --q-tv abc", "--q-tv: expected a number, found 'abc'"},
      {"--mode quality --q-disparity-step nan", "--q-disparity-step: expected a number, found 'nan'"},
  };
  for (const Case& c : cases) {
    std::string so, se;
    const int status = run_command(PLENOSR_BIN " --no-wait " + c.args + " " + small_inputs() + " -o " +
                                       shq(dir + "/r"), &so, &se);
    EXPECT_EQ(status, 2) << c.args;
    EXPECT_NE(se.find(c.message), std::string::npos) << c.args << ": " << se;
    EXPECT_FALSE(fs::exists(dir + "/r")) << c.args;
  }
  fs::remove_all(dir);
}

// An exact run and a quality run share one root: the quality run adds its own files below
// bigSR/view081/quality/ and leaves every exact file as it was.
TEST(QualityCli, SharesARootWithTheExactMode) {
  const std::string dir = make_temp_dir("quality-layout"), root = dir + "/r/";
  std::string so, se;
  ASSERT_EQ(run_command(PLENOSR_BIN " --no-wait -q --outer 1 --inner 1 --float-depth " + small_inputs() +
                            " -o " + shq(root), &so, &se), 0) << se;
  const auto exact = snapshot(root);
  ASSERT_TRUE(exact.count("bicubic.ppm"));
  ASSERT_EQ(run_command(PLENOSR_BIN " --no-wait --png --float-depth" + quick_quality + small_inputs() +
                            " -o " + shq(root), &so, &se), 0) << se;
  const auto both = snapshot(root);
  for (const auto& [name, bytes] : exact) {
    ASSERT_TRUE(both.count(name)) << name;
    EXPECT_TRUE(both.at(name) == bytes) << name << " changed";
  }
  const std::string q = "bigSR/view081/quality/";
  for (const std::string f : {"bicubic.ppm", "bicubic.png", "depthmapbig.pgm", "depthmapbig.pfm",
                              "sr00.ppm", "sr01.ppm", "sr01.png", "depth/depth00.pgm",
                              "depth/depth01.pgm", "depth/depth01.pfm", "normerror.txt"})
    EXPECT_TRUE(both.count(q + f)) << f;
  for (const auto& [name, bytes] : both)
    EXPECT_TRUE(exact.count(name) || name.rfind(q, 0) == 0) << name << " written outside " << q;
  EXPECT_FALSE(both.count(q + "sr02.ppm"));
  EXPECT_NE(so.find("iteration : 1\n"), std::string::npos) << so;
  EXPECT_NE(so.find("finish\nduration = "), std::string::npos) << so;
  EXPECT_NE(se.find("results in"), std::string::npos) << se;
  const cv::Mat sr = cv::imread(root + q + "sr01.ppm", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(sr.type(), CV_8UC3);
  EXPECT_EQ(sr.size(), cv::imread(root + "bicubic.ppm").size());
  // The float depth map is in the exact mode's unit, within the searched disparity range
  // (-1..1 view columns per view step, times 2.2601476) also after the narrow re-estimations.
  const cv::Mat d = cv::imread(root + q + "depth/depth01.pfm", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(d.type(), CV_32F);
  double lo, hi;
  cv::minMaxLoc(d, &lo, &hi);
  EXPECT_GE(lo, -2.27);
  EXPECT_LE(hi, 2.27);
  fs::remove_all(dir);
}

TEST(QualityCli, SameBytesForOneAndTwoThreads) {
  const std::string dir = make_temp_dir("quality-threads");
  std::map<std::string, std::string> runs[2];
  for (int threads : {1, 2}) {
    const std::string root = dir + "/t" + std::to_string(threads) + "/";
    std::string se;
    ASSERT_EQ(run_command(PLENOSR_BIN " --no-wait -q --float-depth --threads " + std::to_string(threads) +
                              quick_quality + small_inputs() + " -o " + shq(root), nullptr, &se), 0) << se;
    runs[threads - 1] = snapshot(root);
  }
  ASSERT_FALSE(runs[0].empty());
  ASSERT_EQ(runs[0].size(), runs[1].size());
  for (const auto& [name, bytes] : runs[0]) {
    if (name.find("normerror") != std::string::npos) continue;
    EXPECT_TRUE(runs[1][name] == bytes) << name << " differs with 2 threads";
  }
  EXPECT_EQ(runs[0]["bigSR/view081/quality/normerror.txt"], runs[1]["bigSR/view081/quality/normerror.txt"]);
  fs::remove_all(dir);
}
