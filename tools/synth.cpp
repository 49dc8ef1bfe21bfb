// plenosr-synth: writes a synthetic lenslet exposure (colour and raw TIFF) of a named scene
// with its ground truth (centre image and disparity), the project's sample and test data;
// or a white exposure of the camera unit for calibrating its lenslet grid.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>

#include "errors.h"
#include "geometry_file.h"
#include "imageio.h"
#include "lib/render.h"
#include "lib/scene.h"
#include "lib/truth_files.h"
#include "lib/white.h"
#include "textformat.h"

int main(int argc, char** argv) {
  std::string outdir, scene_name = scene_names().front();
  unsigned long long seed = 1;
  double noise = 0;
  std::string names;
  for (const std::string& n : scene_names()) names += (names.empty() ? "" : ", ") + n;

  CLI::App app{
      "plenosr-synth: renders a synthetic plenoptic exposure with ground truth.\n"
      "Writes OUTDIR/raw/watch1RGB_WB.tiff and OUTDIR/raw/watch1_WB.tiff (7728 x 5368) and\n"
      "OUTDIR/gt/ with centre.png/.pfm (the ideal 2450 x 1634 image) and disparity.pfm/.png.",
      "plenosr-synth"};
  app.add_option("OUTDIR", outdir, "directory to write into (created if missing)")->required();
  app.add_option("--scene", scene_name, "scene: " + names)->capture_default_str();
  app.add_option("--seed", seed, "seed of the textures and of the noise")->capture_default_str();
  app.add_option("--noise", noise, "standard deviation of Gaussian noise, 8-bit units")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 255.0));
  bool draft = false;
  app.add_flag("--draft", draft,
               "coarser box integration (2 x 2 samples per view pixel, 1 per truth pixel) for quick tests");
  std::string geometry_path;
  app.add_option("--geometry", geometry_path, "lenslet grid of the camera unit (JSON geometry file)")
      ->type_name("FILE");
  bool white = false;
  WhiteOptions wo;
  app.add_flag("--white", white,
               "render a white exposure instead: OUTDIR/raw/white.tiff and the true grid OUTDIR/gt/geometry.json");
  app.add_option("--bits", wo.bits, "white exposure: bits per sample (8: 8-bit file; 9 to 16: 16-bit file)")
      ->capture_default_str()
      ->check(CLI::Range(8, 16));
  app.add_option("--black", wo.black, "white exposure: black level, in sample units")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 4096.0));
  app.add_option("--cats-eye", wo.cats_eye,
                 "white exposure: share of a corner micro-image's diameter clipped by the second aperture")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 0.8));
  app.add_option("--corner-level", wo.corner_level, "white exposure: corner brightness, share of the centre's")
      ->capture_default_str()
      ->check(CLI::Range(0.05, 1.0));
  app.add_option("--aperture", wo.aperture, "white exposure: micro-image diameter, share of the lenslet spacing")
      ->capture_default_str()
      ->check(CLI::Range(0.3, 1.0));
  app.add_option("--blur", wo.blur, "white exposure: standard deviation of the optics' blur, pixels")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 5.0));
  CLI11_PARSE(app, argc, argv);

  try {
    const auto start = std::chrono::steady_clock::now();
    const Geometry g = geometry_path.empty() ? Geometry() : read_geometry_file(geometry_path);
    if (white) {
      wo.noise = noise;
      wo.seed = seed;
      if (wo.black >= std::ldexp(1.0, wo.bits) - 1) throw RunError(exit_usage, "--black: expected a level below the largest sample");
      const cv::Mat frame = render_white(g, wo);
      const Output out(outdir);
      out.make_dirs("raw/");
      out.make_dirs("gt/");
      out.write_image("raw/white.tiff", frame);
      write_geometry_file(out.path("gt/geometry.json"), g);
      std::cout << "wrote " << out.path("raw/white.tiff") << "\nwrote " << out.path("gt/geometry.json") << "\n"
                << strformat("done in %.1f s", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
                << std::endl;
      return exit_ok;
    }
    Scene scene = [&] {
      try {
        return make_scene(scene_name, seed, g);
      } catch (const std::invalid_argument& e) {
        throw RunError(exit_usage, std::string("--scene: ") + e.what() + "; expected one of " + names);
      }
    }();
    RenderOptions o;
    o.raw_size = g.sensor_size();
    o.seed = seed;
    o.noise_sigma = noise;
    if (draft) o.set_draft();
    std::cout << "rendering scene '" << scene_name << "' (seed " << seed << ", noise " << noise
              << ")" << std::endl;
    const Exposure e = render_exposure(scene, g, o);
    const double render_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const Output out(outdir);
    out.make_dirs("raw/");
    out.make_dirs("gt/");
    out.write_image("raw/watch1RGB_WB.tiff", e.rgb);
    out.write_image("raw/watch1_WB.tiff", e.raw);
    out.write_image(std::string("gt/") + truth_colour_pfm, e.truth_colour);
    cv::Mat colour8;
    e.truth_colour.convertTo(colour8, CV_8UC3);
    out.write_image(std::string("gt/") + truth_colour_png, colour8);
    out.write_image(std::string("gt/") + truth_disparity_pfm, e.truth_disparity);
    out.write_image(std::string("gt/") + truth_disparity_png, colour_disparity(e.truth_disparity));
    const std::string info = strformat("scene\t%s\nseed\t%llu\nnoise\t%g\n", scene_name.c_str(), seed, noise);
    write_file_atomic(out.path(std::string("gt/") + truth_info_txt),
                      std::vector<uchar>(info.begin(), info.end()));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const std::string& f : out.written()) std::cout << "wrote " << f << std::endl;
    std::cout << strformat("done in %.1f s (rendering %.1f s, writing %.1f s)", seconds, render_seconds,
                           seconds - render_seconds)
              << std::endl;
    return exit_ok;
  } catch (const RunError& e) {
    std::cerr << "plenosr-synth: " << e.what() << std::endl;
    return e.status();
  } catch (const cv::Exception& e) {
    std::cerr << "plenosr-synth: image library: " << e.err << std::endl;
    return exit_internal;
  } catch (const std::exception& e) {
    std::cerr << "plenosr-synth: internal error: " << e.what() << std::endl;
    return exit_internal;
  }
}
