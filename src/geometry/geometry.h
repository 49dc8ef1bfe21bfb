// Shared geometry of the lenslet camera: sensor and grid sizes, scales between the view grid
// and the full-resolution grid, the hexagonal lenslet grid, the colour-filter mosaic, view
// indices, view footprints and disparity shifts. Every stage takes its sizes from a Geometry;
// the default one is the built-in camera unit, and a geometry file describes any other.
#pragma once

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

// Constants of the calibrated camera (internal linkage: every source file has its own copy).
constexpr int high_y = 1634;  // rows of the full-resolution grid
constexpr int high_x = 2450;  // columns of the full-resolution grid
constexpr int low_y = 433;    // rows of a sub-aperture view (one per lenslet row)
constexpr int low_x = 1084;   // columns of a sub-aperture view (two per lenslet of a row)
constexpr double xscale = static_cast<double>(high_x) / low_x;  // 2.2601476014760147
constexpr double yscale = static_cast<double>(high_y) / low_y;  // 3.7736720554272516
constexpr int sensor_y = 5368;  // rows of the raw exposure
constexpr int sensor_x = 7728;  // columns of the raw exposure

constexpr int view_grid = 9;                       // 9 x 9 viewpoints
constexpr int view_count = view_grid * view_grid;  // 81
constexpr int center_view = 40;
constexpr int no_sample = 3;  // mask value of a view pixel without a raw sample

// Divisor of the vertical disparity shift: the literal, not the full-precision sqrt(3).
constexpr double vertical_divisor = 1.73205080757;

// Sizes, scales and lenslet calibration. The default holds exactly the constants above;
// tests build smaller ones so the same code runs on tiny grids.
struct Geometry {
  int sensor_rows = ::sensor_y;
  int sensor_cols = ::sensor_x;
  int high_y = ::high_y;
  int high_x = ::high_x;
  int low_y = ::low_y;
  int low_x = ::low_x;

  // Lenslet grid: rows of lenslets (= low_y) and lenslets per row (= low_x / 2).
  int lens_rows = ::low_y;
  int lens_cols = ::low_x / 2;
  double pitch_y = 12.37046396;   // distance between lenslet rows, raw pixels
  double pitch_x = 14.28239569;   // distance between lenslets of a row, raw pixels
  double theta = 0.0008988660784; // tilt of the lenslet grid, radians
  double origin_y = 11.77484499;  // raw row of lenslet (0, 0)
  double origin_x = 1.084513694;  // raw column of lenslet (0, 0)

  // Full-resolution columns (rows) per view column (row).
  double xscale() const { return static_cast<double>(high_x) / low_x; }
  double yscale() const { return static_cast<double>(high_y) / low_y; }
  // xscale in single precision, as the disparity ladder and the depth grey scale use it.
  float xscale_f() const { return static_cast<float>(xscale()); }

  double skew_y() const { return std::tan(theta) * pitch_x; }   // row shift per lenslet step
  double skew_x() const { return std::tan(-theta) * pitch_y; }  // column shift per lenslet row

  // Reference point of lenslet c in lenslet row r, raw (row, column); odd rows sit half a
  // pitch to the left. The additions are grouped exactly as calibrated.
  double lenslet_row(int r, int c) const { return (origin_y + r * pitch_y) + c * skew_y(); }
  double lenslet_col(int r, int c) const {
    const double start = (r % 2 == 0) ? origin_x : origin_x - pitch_x / 2.0;
    return (start + c * pitch_x) + r * skew_x();
  }
  // View column that lenslet c of row r fills.
  static int lenslet_view_col(int r, int c) { return (r % 2 == 0) ? 2 * c + 1 : 2 * c; }

  // Centre of the micro-image of lenslet (r, c), raw (row, column): one row above and six
  // columns right of the reference point, the middle of the 9 x 9 sampling block.
  double centre_row(int r, int c) const;
  double centre_col(int r, int c) const;

  cv::Size sensor_size() const { return cv::Size(sensor_cols, sensor_rows); }
  // Smallest raw exposure the grid can be cut from: no reference point more than one pitch
  // beyond its last row or column (never more than the sensor).
  cv::Size min_exposure_size() const;
  // The lenslets reach every part of the sensor, up to covered_margin pitches at its edges.
  bool covers_sensor() const;

  int full_pixels() const { return high_y * high_x; }
  bool operator==(const Geometry& o) const;
};

inline bool Geometry::operator==(const Geometry& o) const {
  return sensor_rows == o.sensor_rows && sensor_cols == o.sensor_cols && high_y == o.high_y &&
         high_x == o.high_x && low_y == o.low_y && low_x == o.low_x &&
         lens_rows == o.lens_rows && lens_cols == o.lens_cols && pitch_y == o.pitch_y &&
         pitch_x == o.pitch_x && theta == o.theta && origin_y == o.origin_y &&
         origin_x == o.origin_x;
}

// Sampling offset of view i under a lenslet, raw rows and columns from the rounded
// reference point: dy in -5..3, dx in 2..10.
inline int view_sample_dy(int i) { return i / view_grid - 5; }
inline int view_sample_dx(int i) { return i % view_grid + 2; }

inline double Geometry::centre_row(int r, int c) const {
  return lenslet_row(r, c) + view_sample_dy(center_view);
}
inline double Geometry::centre_col(int r, int c) const {
  return lenslet_col(r, c) + view_sample_dx(center_view);
}

inline cv::Size Geometry::min_exposure_size() const {
  // The farthest lenslet reference points, in raw rows and columns.
  double max_row = -1e300, max_col = -1e300;
  for (int r = 0; r < lens_rows; ++r) {
    for (int c : {0, lens_cols - 1}) {
      max_row = std::max(max_row, lenslet_row(r, c));
      max_col = std::max(max_col, lenslet_col(r, c));
    }
  }
  const int need_rows = static_cast<int>(std::ceil(max_row + 1 - pitch_y));
  const int need_cols = static_cast<int>(std::ceil(max_col + 1 - pitch_x));
  return cv::Size(std::min(need_cols, sensor_cols), std::min(need_rows, sensor_rows));
}

// Pitches of sensor edge a grid may leave uncovered: a unit's grid drifts by up to about two
// from the built-in one (tilt and offset), and the lenslets beyond the sensor are not read.
constexpr double covered_margin = 3.0;

inline bool Geometry::covers_sensor() const {
  const int last_r = lens_rows - 1, last_c = lens_cols - 1;
  // The outermost reference points of each side, wherever the tilt puts them.
  const double top = std::max(lenslet_row(0, 0), lenslet_row(0, last_c));
  const double bottom = std::min(lenslet_row(last_r, 0), lenslet_row(last_r, last_c));
  double left = -1e300, right = 1e300;
  for (int r : {0, 1, last_r - 1, last_r}) {
    left = std::max(left, lenslet_col(r, 0));
    right = std::min(right, lenslet_col(r, last_c));
  }
  const double my = covered_margin * pitch_y, mx = covered_margin * pitch_x;
  return top <= my && left <= mx && bottom >= sensor_rows - 1 - my &&
         right >= sensor_cols - 1 - mx;
}

// Colour-filter channel of a raw pixel by the parity of its row and column:
// (even, even) green 1, (even, odd) red 2, (odd, even) blue 0, (odd, odd) green 1.
inline int mosaic_channel(int row, int col) {
  if ((row & 1) == 0) return (col & 1) == 0 ? 1 : 2;
  return (col & 1) == 0 ? 0 : 1;
}

// Where view pixel (k, n) lands on the full grid: the footprint's top-left pixel and the
// single-precision fractions towards its right and lower neighbours.
struct Footprint {
  int iy, ix;
  float wy, wx;
};
inline Footprint view_footprint(int k, int n, double ys, double xs) {
  const double fy = k * ys, fx = n * xs;
  const int iy = static_cast<int>(fy), ix = static_cast<int>(fx);
  return {iy, ix, static_cast<float>(fy) - static_cast<float>(iy),
          static_cast<float>(fx) - static_cast<float>(ix)};
}
// The footprint's 2 x 2 pixels lie inside a grid of rows x cols.
inline bool footprint_inside(const Footprint& f, int rows, int cols) {
  return f.iy >= 0 && f.iy <= rows - 2 && f.ix >= 0 && f.ix <= cols - 2;
}

// View offset of view i from the centre view, in view-grid steps: (4 - i div 9, 4 - i mod 9).
inline int view_offset_y(int i) { return 4 - i / view_grid; }
inline int view_offset_x(int i) { return 4 - i % view_grid; }

// Disparity shift of a pixel with disparity d in a view with offset (vy, vx): rows, then
// columns. Double precision, the vertical one strictly left to right; cvRound halves to even.
inline int disparity_shift_rows(double d, int vy, const Geometry& g) {
  return cvRound(d * vy / vertical_divisor * g.yscale() / g.xscale());
}
inline int disparity_shift_cols(double d, int vx) { return cvRound(d * vx); }
