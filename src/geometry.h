// Shared geometry of the lenslet camera: grid sizes, scales between the view grid and the
// full-resolution grid, the hexagonal lenslet calibration, view indices and disparity shifts.
// Every stage takes its sizes from a Geometry; the default one is the calibrated camera.
#pragma once

#include <cmath>
#include <opencv2/core.hpp>

// Constants of the calibrated camera (internal linkage: every source file has its own copy).
constexpr int high_y = 1634;  // rows of the full-resolution grid
constexpr int high_x = 2450;  // columns of the full-resolution grid
constexpr int low_y = 433;    // rows of a sub-aperture view (one per lenslet row)
constexpr int low_x = 1084;   // columns of a sub-aperture view (two per lenslet of a row)
constexpr double xscale = static_cast<double>(high_x) / low_x;  // 2.2601476014760147
constexpr double yscale = static_cast<double>(high_y) / low_y;  // 3.7736720554272516

constexpr int view_grid = 9;                       // 9 x 9 viewpoints
constexpr int view_count = view_grid * view_grid;  // 81
constexpr int center_view = 40;
constexpr int no_sample = 3;  // mask value of a view pixel without a raw sample

// Divisor of the vertical disparity shift: the literal, not the full-precision sqrt(3).
constexpr double vertical_divisor = 1.73205080757;

// Sizes, scales and lenslet calibration. The default holds exactly the constants above;
// tests build smaller ones so the same code runs on tiny grids.
struct Geometry {
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

  int full_pixels() const { return high_y * high_x; }
  int view_pixels() const { return low_y * low_x; }
  bool operator==(const Geometry& o) const;
};

inline bool Geometry::operator==(const Geometry& o) const {
  return high_y == o.high_y && high_x == o.high_x && low_y == o.low_y && low_x == o.low_x &&
         lens_rows == o.lens_rows && lens_cols == o.lens_cols && pitch_y == o.pitch_y &&
         pitch_x == o.pitch_x && theta == o.theta && origin_y == o.origin_y &&
         origin_x == o.origin_x;
}

// Sampling offset of view i under a lenslet, raw rows and columns from the rounded
// reference point: dy in -5..3, dx in 2..10.
inline int view_sample_dy(int i) { return i / view_grid - 5; }
inline int view_sample_dx(int i) { return i % view_grid + 2; }

// View offset of view i from the centre view, in view-grid steps: (4 - i div 9, 4 - i mod 9).
inline int view_offset_y(int i) { return 4 - i / view_grid; }
inline int view_offset_x(int i) { return 4 - i % view_grid; }

// Disparity shift of a pixel with disparity d in a view with offset (vy, vx): rows, then
// columns. Double precision, the vertical one strictly left to right; cvRound halves to even.
inline int disparity_shift_rows(double d, int vy, const Geometry& g) {
  return cvRound(d * vy / vertical_divisor * g.yscale() / g.xscale());
}
inline int disparity_shift_cols(double d, int vx) { return cvRound(d * vx); }
