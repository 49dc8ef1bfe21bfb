// plenosr-calibrate: estimates a camera unit's lenslet grid from a raw white exposure and
// writes it as a geometry file, with a picture for checking it beside the file.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "errors.h"
#include "geometry_file.h"
#include "imageio.h"
#include "lib/calibration.h"
#include "lib/calibration_picture.h"
#include "textformat.h"

namespace {

// FILE.json -> FILE.png; any other name gets .png appended.
std::string picture_path(const std::string& json) {
  const std::string ext = ".json";
  if (json.size() > ext.size() && json.compare(json.size() - ext.size(), ext.size(), ext) == 0)
    return json.substr(0, json.size() - ext.size()) + ".png";
  return json + ".png";
}

cv::Mat read_white(const std::string& path) {
  // Either depth is fine; read_image checks the file and names it.
  try {
    return read_image(path, CV_8UC1, "raw white exposure");
  } catch (const RunError&) {
  }
  try {
    return read_image(path, CV_16UC1, "raw white exposure");
  } catch (const RunError& e) {
    // A readable image of another type: say which types are taken.
    const std::string what = e.what();
    const size_t found = what.find(", found ");
    if (what.find("expected an ") == std::string::npos || found == std::string::npos) throw;
    throw input_error(path, "expected a one-channel 8-bit or 16-bit raw white exposure" + what.substr(found));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string white_path, json_path;
  CLI::App app{
      "plenosr-calibrate: estimates the lenslet grid of a camera unit from a raw white (flat-field)\n"
      "exposure (one channel, 8-bit or 16-bit, the sensor's size) and writes it as a geometry\n"
      "file for plenosr --geometry, with FILE.png beside it: crops of the centre and the corners\n"
      "with the fitted micro-image centres drawn over the exposure.\n"
      "Exit status: 0 done; 2 bad option; 3 not a white exposure (nothing written); 4 output\n"
      "not writable.",
      "plenosr-calibrate"};
  app.add_option("WHITE", white_path, "raw white exposure (TIFF)")->required();
  app.add_option("-o,--output", json_path, "geometry file to write (JSON)")->required()->type_name("FILE");
  std::string truth_path;
  app.add_option("--truth", truth_path, "true geometry file: also print how far every reference point is from it")
      ->type_name("FILE");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << "plenosr-calibrate: " << e.what() << " (see --help)" << std::endl;
    return exit_usage;
  }

  try {
    const auto start = std::chrono::steady_clock::now();
    const Geometry truth = truth_path.empty() ? Geometry() : read_geometry_file(truth_path);
    const cv::Mat frame = read_white(white_path);
    const Calibration cal = calibrate_white(frame, white_path);
    // Both files are encoded before either is written.
    std::vector<uchar> picture;
    cv::imencode(".png", calibration_picture(cal), picture);
    write_geometry_file(json_path, cal.geometry);
    write_file_atomic(picture_path(json_path), picture);
    const Geometry& g = cal.geometry;
    std::cout << strformat("pitch_x %.8f px, pitch_y %.8f px, rotation %.10f rad\n", g.pitch_x, g.pitch_y, g.theta)
              << strformat("origin_x %.6f px, origin_y %.6f px\n", g.origin_x, g.origin_y)
              << strformat("micro-images used %d of %zu measured; residual %.4f px RMS, %.4f px max\n",
                           cal.used_count, cal.centres.size(), cal.rms, cal.max_residual)
              << (truth_path.empty() ? std::string()
                                     : strformat("reference points off the truth by %.4f px RMS, %.4f px max\n",
                                                 grid_distance(g, truth).rms, grid_distance(g, truth).max))
              << "wrote " << json_path << " and " << picture_path(json_path) << "\n"
              << strformat("done in %.2f s",
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
              << std::endl;
    return exit_ok;
  } catch (const RunError& e) {
    std::cerr << "plenosr-calibrate: " << e.what() << std::endl;
    return e.status();
  } catch (const cv::Exception& e) {
    std::cerr << "plenosr-calibrate: internal error in the image library: " << e.err << std::endl;
    return exit_internal;
  } catch (const std::exception& e) {
    std::cerr << "plenosr-calibrate: internal error: " << e.what() << std::endl;
    return exit_internal;
  }
}
