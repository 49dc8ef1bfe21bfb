// Grid calibration from white exposures of several camera units (bit depths, black levels,
// noise, cat's-eye corners): every lenslet's reference point lands within a fiftieth of a
// pixel of the truth; frames that are not white exposures are refused and nothing is written.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "geometry_file.h"
#include "lib/calibration.h"
#include "lib/white.h"
#include "test_support.h"

namespace {

// A sensor a quarter of the camera's each way, filled with lenslets like the camera's.
Geometry small_camera() {
  Geometry g;
  g.sensor_rows = 1600;
  g.sensor_cols = 2000;
  g.lens_rows = 130;
  g.lens_cols = 141;
  return g;
}

Geometry unit_of(double pitch_x, double pitch_y, double rotation, double origin_x, double origin_y) {
  Geometry g = small_camera();
  g.pitch_x = pitch_x;
  g.pitch_y = pitch_y;
  g.theta = rotation;
  g.origin_x = origin_x;
  g.origin_y = origin_y;
  return g;
}

int refusal_status(const cv::Mat& frame, std::string* message = nullptr) {
  try {
    calibrate_white(frame, "frame.tiff", small_camera());
  } catch (const RunError& e) {
    if (message) *message = e.what();
    return e.status();
  }
  return 0;
}

}  // namespace

TEST(Calibrate, ReferencePointsOfRenderedUnitsWithinAFiftiethOfAPixel) {
  struct Case {
    const char* name;
    Geometry truth;
    int bits;
    double black, noise, cats_eye;
    double aperture = 0.9, blur = 0;
  };
  const Geometry builtin = small_camera();
  const Case cases[] = {
      {"built-in, 8 bit", builtin, 8, 0, 2, 0.35},
      {"stretched, turned back, 10 bit", unit_of(14.2886, 12.3650, -0.0014, 5.5, 8.0), 10, 64, 2, 0.35},
      {"shrunk, turned, 8 bit, deep cat's eyes", unit_of(14.2760, 12.3760, 0.0015, -3.0, 15.5), 8, 0, 3, 0.5},
      {"16 bit, origin near half a pitch off", unit_of(14.2810, 12.3712, 0.0003, -5.3, 13.8), 16, 2000, 1, 0.35},
      {"touching, blurred micro-images", unit_of(14.2850, 12.3690, 0.0010, 3.0, 9.0), 8, 0, 2, 0.35, 1.0, 1.5},
  };
  for (const Case& c : cases) {
    WhiteOptions o;
    o.bits = c.bits;
    o.black = c.black;
    o.noise = c.noise;
    o.cats_eye = c.cats_eye;
    o.aperture = c.aperture;
    o.blur = c.blur;
    o.seed = 5;
    const cv::Mat frame = render_white(c.truth, o);
    const Calibration cal = calibrate_white(frame, "white.tiff", builtin);
    const GridDistance d = grid_distance(cal.geometry, c.truth);
    std::printf("%-42s rms %.4f px, max %.4f px, %d micro-images, residual %.4f px\n", c.name, d.rms, d.max,
                cal.used_count, cal.rms);
    EXPECT_LT(d.rms, 0.02) << c.name;
    EXPECT_LT(d.max, 0.05) << c.name;
    // The picture shows the exposure's centre and corners.
    EXPECT_GT(cal.used_count, 1000) << c.name;
  }
}

TEST(Calibrate, FramesThatAreNotWhiteExposuresAreRefused) {
  std::string message;
  // Blank and saturated frames, with a little noise.
  cv::Mat blank(1600, 2000, CV_8UC1), saturated(1600, 2000, CV_16UC1, cv::Scalar(1023));
  cv::randn(blank, 120, 2);
  EXPECT_EQ(refusal_status(blank, &message), exit_input);
  EXPECT_NE(message.find("frame.tiff: not a white exposure: the frame is blank"), std::string::npos) << message;
  EXPECT_EQ(refusal_status(saturated, &message), exit_input);
  EXPECT_NE(message.find("saturated"), std::string::npos) << message;

  // A scene: the white exposure's micro-images shaded by texture of about their own size.
  WhiteOptions o;
  const cv::Mat white = render_white(small_camera(), o);
  cv::Mat texture(160, 200, CV_32F), shade, scene;
  cv::randu(texture, 0.1, 1.0);
  cv::resize(texture, shade, white.size(), 0, 0, cv::INTER_CUBIC);
  white.convertTo(scene, CV_32F);
  scene = scene.mul(shade);
  scene.convertTo(scene, CV_8U);
  EXPECT_EQ(refusal_status(scene, &message), exit_input);
  EXPECT_NE(message.find("not a white exposure"), std::string::npos) << message;

  // The wrong size or kind.
  EXPECT_EQ(refusal_status(white(cv::Rect(0, 0, 1000, 1600)), &message), exit_input);
  EXPECT_NE(message.find("expected a 2000 x 1600 white exposure, found 1000 x 1600"), std::string::npos) << message;
  EXPECT_EQ(refusal_status(cv::Mat(1600, 2000, CV_8UC3, cv::Scalar(9, 9, 9)), &message), exit_input);
}

TEST(Calibrate, ProgramWritesTheGridAndItsPictureOrNothing) {
  const std::string dir = make_temp_dir("calibrate_cli");
  const std::string tools = PLENOSR_TOOLS_DIR;
  Geometry truth;
  truth.pitch_x = 14.2886;
  truth.pitch_y = 12.3650;
  truth.theta = -0.0014;
  truth.origin_x = 5.5;
  truth.origin_y = 8.0;
  write_geometry_file(dir + "/unit.json", truth);
  std::string out, err;
  ASSERT_EQ(run_command(tools + "/plenosr-synth --white --geometry " + dir + "/unit.json --bits 10 --black 64 --noise 2 " +
                            dir + "/sample",
                        &out, &err),
            0)
      << err;
  ASSERT_EQ(run_command(tools + "/plenosr-calibrate " + dir + "/sample/raw/white.tiff -o " + dir + "/est.json", &out, &err), 0)
      << err;
  EXPECT_NE(out.find("micro-images used"), std::string::npos) << out;
  EXPECT_NE(out.find("residual"), std::string::npos) << out;
  EXPECT_LT(grid_distance(read_geometry_file(dir + "/est.json"), truth).rms, 0.02);
  // Against the true file the program reports the same distance itself.
  ASSERT_EQ(run_command(tools + "/plenosr-calibrate " + dir + "/sample/raw/white.tiff -o " + dir + "/again.json --truth " +
                            dir + "/sample/gt/geometry.json",
                        &out, &err),
            0)
      << err;
  EXPECT_NE(out.find("reference points off the truth by"), std::string::npos) << out;
  const cv::Mat picture = cv::imread(dir + "/est.png");
  EXPECT_FALSE(picture.empty());

  // The wrong size: one line, status 3, no file.
  cv::imwrite(dir + "/small.tiff", cv::Mat(100, 120, CV_8UC1, cv::Scalar(50)));
  EXPECT_EQ(run_command(tools + "/plenosr-calibrate " + dir + "/small.tiff -o " + dir + "/bad.json", &out, &err), exit_input);
  EXPECT_NE(err.find("small.tiff: expected a 7728 x 5368 white exposure"), std::string::npos) << err;
  EXPECT_NE(run_command("test -e " + dir + "/bad.json -o -e " + dir + "/bad.png"), 0);
}
