// White-exposure calibration: anchor one micro-image near the sensor centre, then measure
// and fit the grid over growing regions, so that a unit whose grid is turned or stretched
// against the start still has every prediction well inside its micro-image.
#include "calibration.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <opencv2/imgproc.hpp>

#include "errors.h"
#include "execution.h"
#include "micro_centres.h"

namespace {

// Radii, raw pixels around the anchor, of the regions measured and fitted in turn.
const double stage_radii[] = {500, 1500, 1e9};
// Lenslets beyond the grid on each side that may still show on the sensor.
constexpr int beyond = 2;
// Clipped (cat's-eye) micro-images are longer one way than the other. A micro-image is used
// when the median elongation of its neighbourhood (half-width in lenslets) exceeds that of
// the centre's micro-images by no more than the tolerance, and its own by no more than the
// outlier tolerance.
constexpr int elongation_reach = 3;
constexpr double elongation_tolerance = 0.004;
constexpr double elongation_outlier = 0.05;
// Robust refits: centres farther from the fit than this many times the median residual
// (and at least the floor) are dropped.
constexpr int refits = 3;
constexpr double residual_factor = 5.0;
constexpr double residual_floor = 0.03;
// What a white exposure shows: contrast between micro-images and gaps (share of the white
// level), a tight fit, enough micro-images, and micro-images of even brightness locally.
constexpr double min_contrast = 0.15;
constexpr double max_rms = 0.1;
constexpr double min_used_share = 0.05;
constexpr double max_mass_spread = 0.05;

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  const size_t k = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

RunError not_white(const std::string& path, const std::string& why) {
  return input_error(path, "not a white exposure: " + why);
}

// Lenslet whose micro-image centre (in the grid g) is nearest (y, x).
void nearest_lenslet(const Geometry& g, double y, double x, int& r, int& c) {
  const int r0 = static_cast<int>(std::lround((y - g.centre_row(0, 0)) / g.pitch_y));
  double best = 1e300;
  for (int rr = r0 - 2; rr <= r0 + 2; ++rr) {
    const int c0 = static_cast<int>(std::lround((x - g.centre_col(rr, 0)) / g.pitch_x));
    for (int cc = c0 - 2; cc <= c0 + 2; ++cc) {
      const double d = std::hypot(g.centre_row(rr, cc) - y, g.centre_col(rr, cc) - x);
      if (d < best) best = d, r = rr, c = cc;
    }
  }
}

// The start grid moved so that one of its micro-images sits on the frame's micro-image
// nearest the sensor centre.
Geometry anchor_grid(const cv::Mat& flat, const Geometry& start, double window, double& ay, double& ax,
                     const std::string& path) {
  int r, c;
  nearest_lenslet(start, flat.rows / 2.0, flat.cols / 2.0, r, c);
  const double py = start.centre_row(r, c), px = start.centre_col(r, c);
  // Blurred, a micro-image peaks at its centre; the brightest peak within a pitch of the
  // prediction is a micro-image of this unit.
  const int half = static_cast<int>(std::ceil(2 * start.pitch_x));
  const cv::Rect box(static_cast<int>(px) - half, static_cast<int>(py) - half, 2 * half + 1, 2 * half + 1);
  cv::Mat blurred;
  cv::GaussianBlur(flat(box), blurred, cv::Size(), start.pitch_x / 6);
  cv::Mat near(blurred.size(), CV_8U, cv::Scalar(0));
  cv::circle(near, cv::Point(half, half), static_cast<int>(start.pitch_x * 0.6), cv::Scalar(255), -1);
  cv::Point peak;
  cv::minMaxLoc(blurred, nullptr, nullptr, nullptr, &peak, near);
  const MicroImage m = measure_micro_image(flat, box.y + peak.y, box.x + peak.x, window);
  if (!m.ok) throw not_white(path, "no micro-image at the sensor centre");
  int rr, cc;
  nearest_lenslet(start, m.y, m.x, rr, cc);
  Geometry g = start;
  g.origin_y += m.y - start.centre_row(rr, cc);
  g.origin_x += m.x - start.centre_col(rr, cc);
  ay = m.y;
  ax = m.x;
  return g;
}

// Median of the finite values of the (2 reach + 1)^2 neighbourhood of every grid cell.
cv::Mat local_median(const cv::Mat& values, int reach) {
  cv::Mat out(values.size(), CV_64F, cv::Scalar(NAN));
  parallel_bands(values.rows, [&](int begin, int end) {
    std::vector<double> v;
    for (int i = begin; i < end; ++i)
      for (int j = 0; j < values.cols; ++j) {
        if (!std::isfinite(values.at<double>(i, j))) continue;
        v.clear();
        for (int a = std::max(0, i - reach); a <= std::min(values.rows - 1, i + reach); ++a)
          for (int b = std::max(0, j - reach); b <= std::min(values.cols - 1, j + reach); ++b)
            if (std::isfinite(values.at<double>(a, b))) v.push_back(values.at<double>(a, b));
        out.at<double>(i, j) = median(v);
      }
  });
  return out;
}

}  // namespace

Calibration calibrate_white(const cv::Mat& frame, const std::string& path, const Geometry& camera) {
  if (frame.type() != CV_8UC1 && frame.type() != CV_16UC1)
    throw input_error(path, "expected a one-channel 8-bit or 16-bit raw white exposure, found " +
                                std::to_string(frame.channels()) + " channel(s) of " +
                                std::to_string(8 * static_cast<int>(frame.elemSize1())) + "-bit samples");
  if (frame.size() != camera.sensor_size())
    throw input_error(path, "expected a " + std::to_string(camera.sensor_cols) + " x " +
                                std::to_string(camera.sensor_rows) + " white exposure, found " +
                                std::to_string(frame.cols) + " x " + std::to_string(frame.rows));
  const MosaicLevels levels = mosaic_levels(frame);
  double top = 0;
  cv::minMaxLoc(frame, nullptr, &top);
  for (int pos = 0; pos < 4; ++pos) {
    if (levels.black[pos] >= top && top > 0) throw not_white(path, "the frame is saturated");
    if (levels.white[pos] - levels.black[pos] < std::max(2.0, min_contrast * levels.white[pos]))
      throw not_white(path, "the frame is blank (no dark gaps between bright micro-images)");
  }

  Calibration cal;
  cal.flat = flatten_mosaic(frame, levels);
  const double spacing = std::min(camera.pitch_x, 2 * camera.pitch_y / std::sqrt(3.0));
  even_out_brightness(cal.flat, spacing);
  const double window = spacing / 2;
  double ay = 0, ax = 0;
  Geometry g = anchor_grid(cal.flat, camera, window, ay, ax, path);

  const int rows = camera.lens_rows + 2 * beyond, cols = camera.lens_cols + 2 * beyond;
  std::vector<MicroImage> found(static_cast<size_t>(rows) * cols);
  std::vector<CentreMeasure> fit_set;
  double base_elongation = 0;
  // The grid's formula is not quite a lattice (odd rows move half a pitch along the columns
  // only), so which rows count as odd matters: every stage ends by numbering the lenslets
  // from the one nearest the start's origin, and the whole frame is measured and fitted
  // again until that numbering holds.
  std::vector<double> radii(std::begin(stage_radii), std::end(stage_radii));
  for (size_t stage = 0; stage < radii.size(); ++stage) {
    const double radius = radii[stage];
    // Measure every lenslet of the region at the current grid's prediction.
    parallel_bands(rows, [&](int begin, int end) {
      for (int i = begin; i < end; ++i)
        for (int j = 0; j < cols; ++j) {
          const int r = i - beyond, c = j - beyond;
          const double y = g.centre_row(r, c), x = g.centre_col(r, c);
          MicroImage& m = found[static_cast<size_t>(i) * cols + j];
          m = MicroImage();
          if (std::hypot(y - ay, x - ax) <= radius) m = measure_micro_image(cal.flat, y, x, window);
        }
    });
    cv::Mat elong(rows, cols, CV_64F, cv::Scalar(NAN));
    std::vector<double> central;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const MicroImage& m = found[static_cast<size_t>(i) * cols + j];
        if (!m.ok) continue;
        elong.at<double>(i, j) = m.elongation;
        if (std::hypot(m.y - ay, m.x - ax) <= stage_radii[0]) central.push_back(m.elongation);
      }
    if (central.empty()) throw not_white(path, "no micro-images at the sensor centre");
    base_elongation = median(central);
    const cv::Mat neighbourhood = local_median(elong, elongation_reach);

    cal.centres.clear();
    fit_set.clear();
    std::vector<size_t> whole;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const MicroImage& m = found[static_cast<size_t>(i) * cols + j];
        if (!m.ok) continue;
        cal.centres.push_back({i - beyond, j - beyond, m.y, m.x});
        if (neighbourhood.at<double>(i, j) <= base_elongation + elongation_tolerance &&
            m.elongation <= base_elongation + elongation_outlier) {
          whole.push_back(cal.centres.size() - 1);
          fit_set.push_back(cal.centres.back());
        }
      }
    if (fit_set.size() < 10) throw not_white(path, "too few even micro-images");
    g = fit_lattice(fit_set, g);
    // Robust refits: drop centres far off the grid (dust, defects, partly clipped ones).
    for (int k = 0; k < refits; ++k) {
      const std::vector<double> res = lattice_residuals(fit_set, g);
      const double limit = std::max(residual_floor, residual_factor * median(res));
      std::vector<CentreMeasure> kept;
      for (size_t n = 0; n < fit_set.size(); ++n)
        if (res[n] <= limit) kept.push_back(fit_set[n]);
      if (kept.size() < 10) throw not_white(path, "the micro-images do not form a regular grid");
      fit_set.swap(kept);
      g = fit_lattice(fit_set, g);
    }
    // Which of all centres the last fit kept.
    const std::vector<double> res = lattice_residuals(fit_set, g);
    const double limit = std::max(residual_floor, residual_factor * median(res));
    cal.used.assign(cal.centres.size(), false);
    for (size_t n : whole) {
      const CentreMeasure& m = cal.centres[n];
      cal.used[n] = std::hypot(m.y - g.centre_row(m.r, m.c), m.x - g.centre_col(m.r, m.c)) <= limit;
    }
    const Geometry numbered = renumber_nearest(g, camera.origin_y, camera.origin_x);
    const bool renumbered = std::fabs(numbered.origin_y - g.origin_y) > 1 ||
                            std::fabs(numbered.origin_x - g.origin_x) > 1;
    if (stage + 1 == radii.size() && renumbered && radii.size() < std::size(stage_radii) + 2)
      radii.push_back(radii.back());
    if (stage + 1 < radii.size()) g = numbered;
  }

  const std::vector<double> res = lattice_residuals(fit_set, g);
  double sum2 = 0;
  for (double d : res) sum2 += d * d, cal.max_residual = std::max(cal.max_residual, d);
  cal.used_count = static_cast<int>(fit_set.size());
  cal.rms = std::sqrt(sum2 / std::max<size_t>(1, res.size()));

  // A white exposure: a tight grid over much of the sensor, neighbours equally bright.
  if (cal.rms > max_rms)
    throw not_white(path, "the micro-images do not form a regular grid (residual " +
                              std::to_string(cal.rms) + " px)");
  if (cal.used_count < min_used_share * camera.lens_rows * camera.lens_cols)
    throw not_white(path, "too few even micro-images (" + std::to_string(cal.used_count) + ")");
  {
    cv::Mat mass(rows, cols, CV_64F, cv::Scalar(NAN));
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const MicroImage& m = found[static_cast<size_t>(i) * cols + j];
        if (m.ok) mass.at<double>(i, j) = m.mass;
      }
    const cv::Mat local = local_median(mass, 1);
    std::vector<double> spread;
    for (int i = 0; i < rows; i += 3)
      for (int j = 0; j < cols; j += 3)
        if (std::isfinite(mass.at<double>(i, j)) && local.at<double>(i, j) > 0)
          spread.push_back(std::fabs(mass.at<double>(i, j) / local.at<double>(i, j) - 1));
    if (median(spread) > max_mass_spread)
      throw not_white(path, "the micro-images differ in brightness like a scene's");
  }
  cal.geometry = renumber_nearest(g, camera.origin_y, camera.origin_x);
  return cal;
}
