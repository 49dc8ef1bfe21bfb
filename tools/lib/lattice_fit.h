// Least-squares fit of the lenslet grid (pitches, tilt, origin) to measured micro-image
// centres, in the grid's own convention: odd lenslet rows half a pitch to the left, the
// reference point one row below and six columns left of the micro-image centre.
#pragma once

#include <vector>

#include "geometry.h"

// A measured micro-image centre of lenslet (r, c), raw (row, column).
struct CentreMeasure {
  int r, c;
  double y, x;
};

// The geometry (sizes of start, grid fitted) whose micro-image centres best match the
// measures; start gives the first guess. Needs at least three measures not on one line.
Geometry fit_lattice(const std::vector<CentreMeasure>& measures, const Geometry& start);

// Distance of each measure from the fitted centre of its lenslet.
std::vector<double> lattice_residuals(const std::vector<CentreMeasure>& measures, const Geometry& g);

// The same grid numbered so that lenslet (0, 0) is the one whose reference point lies
// nearest the reference origin (the grid repeats, so many numberings describe it).
Geometry renumber_nearest(const Geometry& g, double origin_y, double origin_x);

// How far apart two grids put the lenslets: RMS and largest distance between the reference
// points of every lenslet of a, pixels.
struct GridDistance {
  double rms = 0, max = 0;
};
GridDistance grid_distance(const Geometry& a, const Geometry& b);
