// Output writing: extra PNG and float depth forms, and that failed writes keep old files.
#include <fstream>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "execution.h"
#include "imageio.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

bool has_temp_files(const std::string& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind(".tmp-", 0) == 0) return true;
  return false;
}

TEST(Output, PngHasThePixelsOfThePpmForFloatImages) {
  const std::string dir = make_temp_dir("png");
  Output out(dir);
  out.set_png(true);
  // Values that need rounding (halves included) and saturation.
  cv::Mat img(3, 4, CV_32FC3);
  const float values[] = {-3.f, 0.5f, 1.5f, 2.5f, 127.49f, 254.5f, 255.5f, 300.f, 1e9f, -0.5f, 7.7f, 128.5f};
  for (int i = 0; i < 36; ++i) reinterpret_cast<float*>(img.data)[i] = values[i % 12];
  out.write_image("a.ppm", img);
  const cv::Mat ppm = cv::imread(dir + "/a.ppm", cv::IMREAD_UNCHANGED);
  const cv::Mat png = cv::imread(dir + "/a.png", cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(ppm.empty());
  EXPECT_TRUE(same_bytes(ppm, png));
  EXPECT_EQ(out.written().size(), 2u);
  // The file holds what the library's encoder makes of the float image itself, also after
  // an image of another kind went through the reused buffers.
  out.write_image("b.pgm", cv::Mat(5, 2, CV_32FC1, cv::Scalar(77.5)));
  out.write_image("a.ppm", img);
  std::vector<uchar> expected;
  ASSERT_TRUE(cv::imencode(".ppm", img, expected));
  std::ifstream in(dir + "/a.ppm", std::ios::binary);
  const std::vector<uchar> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(file, expected);
  // An image tall enough to be converted in bands by several threads.
  cv::Mat tall(300, 70, CV_32FC3);
  for (size_t i = 0; i < tall.total() * 3; ++i)
    reinterpret_cast<float*>(tall.data)[i] = values[i % 12] + static_cast<float>(i % 7);
  execution().threads = 2;
  out.write_image("tall.ppm", tall);
  execution().threads = 0;
  ASSERT_TRUE(cv::imencode(".ppm", tall, expected));
  std::ifstream tall_in(dir + "/tall.ppm", std::ios::binary);
  EXPECT_EQ(std::vector<uchar>((std::istreambuf_iterator<char>(tall_in)), std::istreambuf_iterator<char>()),
            expected);
  fs::remove_all(dir);
}

TEST(Output, FloatDepthIsLosslessAndOnlyWhenAsked) {
  const std::string dir = make_temp_dir("pfm");
  const cv::Mat depth = (cv::Mat_<float>(2, 3) << -2.2601476f, 0.f, 1e-7f, 2.4898524f, -0.3f, 7.f);
  Output off(dir);
  off.write_depth_float("/d/depth03.pgm", depth, -2.26, 2.26);
  EXPECT_TRUE(fs::is_empty(dir));
  fs::create_directories(dir + "/d");
  Output on(dir);
  on.set_float_depth(true);
  on.write_depth_float("/d/depth03.pgm", depth, -2.26, 2.26);
  const cv::Mat back = cv::imread(dir + "/d/depth03.pfm", cv::IMREAD_UNCHANGED);
  EXPECT_TRUE(same_bytes(back, depth));
  const cv::Mat colour = cv::imread(dir + "/d/depth03-colour.png", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(colour.type(), CV_8UC3);
  EXPECT_EQ(colour.size(), depth.size());
  fs::remove_all(dir);
}

TEST(Output, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  const std::string dir = make_temp_dir("fail");
  // A directory where the file should go: the final rename fails.
  fs::create_directories(dir + "/x.ppm/inside");
  Output out(dir);
  try {
    out.write_image("x.ppm", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(1)));
    FAIL() << "write into a directory name succeeded";
  } catch (const RunError& e) {
    EXPECT_EQ(e.status(), exit_output);
    EXPECT_NE(std::string(e.what()).find("x.ppm: cannot write"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::is_directory(dir + "/x.ppm/inside"));
  EXPECT_FALSE(has_temp_files(dir));
  fs::remove_all(dir);
}

std::vector<uchar> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uchar>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Images written behind the caller: each file ends with the last image given for it, in
// the order asked, and a failed write stops the writing and is reported.
TEST(Output, ImagesWrittenBehindArriveWholeAndAFailureIsReported) {
  const std::string dir = make_temp_dir("behind");
  {
    Output out(dir);
    cv::Mat img(40, 30, CV_32FC3);
    for (int round = 0; round < 6; ++round) {
      img.setTo(cv::Scalar(round * 10.5, 3.0, 300.0 - round));
      out.write_image_behind("a.ppm", img);
      out.write_image_behind(round % 2 ? "b.ppm" : "c.ppm", img);
      out.write_image("d.ppm", img);  // waits for the files before it
      EXPECT_EQ(file_bytes(dir + "/d.ppm"), file_bytes(dir + (round % 2 ? "/b.ppm" : "/c.ppm")));
    }
    out.flush();
    std::vector<uchar> expected;
    ASSERT_TRUE(cv::imencode(".ppm", img, expected));
    EXPECT_EQ(file_bytes(dir + "/a.ppm"), expected);
    EXPECT_EQ(file_bytes(dir + "/b.ppm"), expected);
    EXPECT_EQ(out.written().size(), 18u);

    fs::create_directories(dir + "/x.ppm/inside");  // the rename of x.ppm fails
    out.write_image_behind("x.ppm", img);
    try {
      out.write_image_behind("y.ppm", img);  // reports the failure if it came first
    } catch (const RunError&) {
    }
    try {
      out.flush();
      FAIL() << "a failed write was not reported";
    } catch (const RunError& e) {
      EXPECT_EQ(e.status(), exit_output);
      EXPECT_NE(std::string(e.what()).find("x.ppm: cannot write"), std::string::npos) << e.what();
    }
    EXPECT_THROW(out.append_text("log.txt", "line\n"), RunError);
  }
  EXPECT_FALSE(fs::exists(dir + "/y.ppm"));
  EXPECT_FALSE(fs::exists(dir + "/log.txt"));
  EXPECT_FALSE(has_temp_files(dir));
  fs::remove_all(dir);
}

#ifdef PLENOSR_FAULT_INJECTION
TEST(Output, FailedAppendLeavesNoHalfLine) {
  const std::string dir = make_temp_dir("log");
  Output out(dir);
  out.append_text("log.txt", "first line\n");
  ::setenv("PLENOSR_FAIL_WRITE_AFTER", "0", 1);
  EXPECT_THROW(out.append_text("log.txt", "second line, lost on a full disk\n"), RunError);
  EXPECT_THROW(out.write_image("b.pgm", cv::Mat(4, 4, CV_8UC1, cv::Scalar(3))), RunError);
  ::unsetenv("PLENOSR_FAIL_WRITE_AFTER");
  EXPECT_EQ(read_text_file(dir + "/log.txt"), "first line\n");
  EXPECT_FALSE(fs::exists(dir + "/b.pgm"));
  EXPECT_FALSE(has_temp_files(dir));
  fs::remove_all(dir);
}
#endif

}  // namespace
