// The geometry file: the built-in grid survives writing and reading bit for bit, every kind
// of bad file is refused with status 2 naming the file and the key, and the sensor coverage
// and exposure size checks follow the file's grid.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "errors.h"
#include "geometry_file.h"
#include "test_support.h"
#include "viewCreate.h"

namespace {

const char* builtin_text =
    "{ \"pitch_x\": 14.28239569, \"pitch_y\": 12.37046396, \"rotation\": 0.0008988660784,\n"
    "  \"origin_x\": 1.084513694, \"origin_y\": 11.77484499 }\n";

// The refusal of a file: status and message.
RunError refusal_of(const std::string& path) {
  try {
    read_geometry_file(path);
  } catch (const RunError& e) {
    return e;
  }
  return RunError(0, "accepted");
}

}  // namespace

TEST(GeometryFile, BuiltInValuesReadAndWriteBackExactly) {
  const std::string dir = make_temp_dir("geometry_roundtrip");
  EXPECT_TRUE(read_geometry_file(write_text_file(dir + "/builtin.json", builtin_text)) == Geometry());
  // Written with every digit, read back equal; the sizes are left out when built-in.
  const std::string written = dir + "/written.json";
  write_geometry_file(written, Geometry());
  EXPECT_TRUE(read_geometry_file(written) == Geometry());
  EXPECT_EQ(read_text_file(written).find("sensor"), std::string::npos);

  Geometry unit;
  unit.pitch_x = 14.2886;
  unit.theta = -0.0014;
  unit.origin_y = 8.0;
  unit.sensor_cols = 7740;
  write_geometry_file(written, unit);
  const Geometry back = read_geometry_file(written);
  EXPECT_TRUE(back == unit);
  EXPECT_NE(read_text_file(written).find("\"sensor_width\": 7740"), std::string::npos);
}

TEST(GeometryFile, OptionalSizesSetTheViewGrid) {
  const std::string dir = make_temp_dir("geometry_sizes");
  const Geometry g = read_geometry_file(write_text_file(
      dir + "/sizes.json",
      "{\"pitch_x\": 14.28239569, \"pitch_y\": 12.37046396, \"rotation\": 0, \"origin_x\": 1, \"origin_y\": 11,"
      " \"sensor_width\": 1450, \"sensor_height\": 1250, \"lenslet_rows\": 100, \"lenslets_per_row\": 101,"
      " \"output_width\": 457, \"output_height\": 377}"));
  EXPECT_EQ(g.sensor_size(), cv::Size(1450, 1250));
  EXPECT_EQ(g.lens_rows, 100);
  EXPECT_EQ(g.low_y, 100);
  EXPECT_EQ(g.low_x, 202);
  EXPECT_EQ(g.high_x, 457);
  EXPECT_EQ(g.high_y, 377);
}

TEST(GeometryFile, EveryBadFileIsRefusedNamingFileAndKey) {
  const std::string dir = make_temp_dir("geometry_bad");
  struct Case {
    const char* name;
    std::string text;  // empty: the file does not exist
    const char* expect;  // in the message besides the file name
  };
  const std::string grid = "\"pitch_x\": 14.28, \"pitch_y\": 12.37, \"rotation\": 0.0009, \"origin_x\": 1, \"origin_y\": 11";
  const std::vector<Case> cases = {
      {"missing.json", "", "not found"},
      {"malformed.json", "{\"pitch_x\": 14.28,", "not valid JSON"},
      {"array.json", "[1, 2]", "not a JSON object"},
      {"yaml.json", "%YAML:1.0\npitch_x: 14.3\n", "not a JSON object"},
      {"unknown.json", "{" + grid + ", \"pitch_z\": 3}", "key 'pitch_z': unknown key"},
      {"repeated.json", "{" + grid + ", \"pitch_x\": 14.3}", "key 'pitch_x': given more than once"},
      {"text.json", "{\"pitch_x\": \"wide\"}", "key 'pitch_x': expected a number"},
      {"infinite.json", "{\"rotation\": 1e999}", "key 'rotation': expected a finite number"},
      {"zero_pitch.json", "{\"pitch_y\": 0}", "key 'pitch_y': expected a positive pitch"},
      {"negative_pitch.json", "{\"pitch_x\": -14.28}", "key 'pitch_x': expected a positive pitch"},
      {"rotation.json", "{\"rotation\": -0.06}", "key 'rotation': expected at most 0.05"},
      {"fraction.json", "{\"sensor_width\": 7728.5}", "key 'sensor_width': expected a whole number"},
      {"tiny.json", "{\"lenslet_rows\": 1}", "key 'lenslet_rows': expected a whole number"},
      // A grid that stops far short of the sensor's edges, or starts far inside it.
      {"short.json", "{\"pitch_x\": 10}", "does not cover the 7728 x 5368 sensor"},
      {"shifted.json", "{\"origin_y\": 300}", "does not cover"},
      {"few.json", "{\"lenslets_per_row\": 400}", "lenslets_per_row"},
      {"many.json", "{\"lenslet_rows\": 900}", "key 'lenslet_rows': more lenslet rows than the sensor holds"},
  };
  for (const Case& c : cases) {
    const std::string path = c.text.empty() ? dir + "/" + c.name : write_text_file(dir + "/" + c.name, c.text);
    const RunError e = refusal_of(path);
    EXPECT_EQ(e.status(), exit_usage) << c.name;
    const std::string what = e.what();
    EXPECT_NE(what.find(path), std::string::npos) << what;
    EXPECT_NE(what.find(c.expect), std::string::npos) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << what;
  }
}

TEST(GeometryFile, ProgramRefusesABadFileBeforeReadingImages) {
  const std::string dir = make_temp_dir("geometry_cli");
  const std::string bad = write_text_file(dir + "/bad.json", "{\"rotation\": 0.2}");
  std::string out, err;
  // The inputs do not exist: the geometry is refused first, and nothing is written.
  const int status = run_command(std::string(PLENOSR_BIN) + " --no-wait --geometry " + bad + " --raw " + dir +
                                     "/none.tiff --rgb " + dir + "/none.tiff -o " + dir + "/out",
                                 &out, &err);
  EXPECT_EQ(status, exit_usage);
  EXPECT_NE(err.find(bad + ": key 'rotation'"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(run_command("test -e " + dir + "/out"), 0);
}

TEST(GeometryFile, BuiltInFileCutsTheSameViews) {
  const std::string dir = make_temp_dir("geometry_views");
  const Geometry from_file = read_geometry_file(write_text_file(dir + "/builtin.json", builtin_text));
  const cv::Mat raw = random_image(cv::Size(sensor_x, sensor_y), CV_8UC1, 11);
  std::vector<cv::Mat> v1(view_count), m1(view_count), v2(view_count), m2(view_count);
  viewCreate(cv::Mat(), raw, Geometry()).extract_viewandmask(raw, v1.data(), m1.data());
  viewCreate(cv::Mat(), raw, from_file).extract_viewandmask(raw, v2.data(), m2.data());
  for (int i = 0; i < view_count; ++i) {
    EXPECT_TRUE(same_bytes(v1[i], v2[i])) << i;
    EXPECT_TRUE(same_bytes(m1[i], m2[i])) << i;
  }
}

TEST(GeometryFile, ExposureSizeAndCoverageFollowTheGrid) {
  // The built-in grid needs the sizes it always needed; a unit whose grid runs past the
  // sensor's far edges still takes a sensor-sized exposure.
  EXPECT_EQ(Geometry().min_exposure_size(), cv::Size(7715, 5352));
  EXPECT_TRUE(Geometry().covers_sensor());
  Geometry unit;
  unit.pitch_x *= 1.0005;
  unit.pitch_y *= 1.0005;
  unit.theta = 0.0015;
  unit.origin_x += 7;
  EXPECT_TRUE(unit.covers_sensor());
  EXPECT_LE(unit.min_exposure_size().height, sensor_y);
  EXPECT_LE(unit.min_exposure_size().width, sensor_x);
  unit.theta = -0.0015;
  unit.origin_x -= 14;
  unit.origin_y -= 6;
  unit.pitch_x /= 1.001;
  unit.pitch_y /= 1.001;
  EXPECT_TRUE(unit.covers_sensor());
  EXPECT_LE(unit.min_exposure_size().width, sensor_x);
  // A grid reaching two pitches past the bottom still needs no more than the sensor.
  Geometry low;
  low.origin_y = 30;
  EXPECT_TRUE(low.covers_sensor());
  EXPECT_EQ(low.min_exposure_size().height, sensor_y);
}
