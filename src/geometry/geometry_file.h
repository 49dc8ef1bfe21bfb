// The geometry file: the lenslet grid of one camera unit as a JSON object of numbers, read
// and written with the image library's file storage. The five grid keys make a complete
// file; the sizes are optional and default to the built-in camera's.
#pragma once

#include <string>

#include "geometry.h"

// Largest grid tilt a file may give, radians: far beyond any unit of the camera.
constexpr double max_rotation = 0.05;

// Reads a geometry file. Throws RunError(exit_usage) with one line naming the file and the
// key when the file is missing or unreadable, is not a JSON object, holds an unknown or
// repeated key, a value that is not a finite number (or not a whole one for a size), or a
// grid out of sense: a pitch not positive, |rotation| above max_rotation, or lenslets that
// do not cover the sensor.
Geometry read_geometry_file(const std::string& path);

// The file's text for g: the five grid keys with every digit of each double, then each size
// that differs from the built-in camera's.
std::string geometry_json(const Geometry& g);

// Writes geometry_json(g) to path atomically; throws RunError(exit_output) naming the file.
void write_geometry_file(const std::string& path, const Geometry& g);
