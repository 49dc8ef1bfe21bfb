// Picture of a calibration a person can check: crops of the white exposure at the centre and
// the four corners, enlarged, with the fitted micro-image centres drawn over them.
#pragma once

#include <opencv2/core.hpp>

#include "calibration.h"

// BGR image: the five crops in a 3 x 3 layout (corners at the corners), each labelled. A
// green cross marks the fitted centre of a micro-image the fit used, an orange one that of a
// micro-image it left out (clipped or off the grid); unmeasured lenslets get a grey dot.
cv::Mat calibration_picture(const Calibration& cal);
