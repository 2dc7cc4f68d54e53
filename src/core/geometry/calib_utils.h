#pragma once

// The calibration utilities the dialogs share, one module per topic: pose
// helpers, adaptive corner refinement, rotation checks, error colours and
// vanishing-point geometry. Include the topic's own header where only one is
// needed; the stereo calibration of two devices is core/calib/stereo_calib.h.

#include "core/geometry/corner_refinement.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/pose_helpers.h"
#include "core/geometry/rotation_checks.h"
#include "core/geometry/vanishing_points.h"
