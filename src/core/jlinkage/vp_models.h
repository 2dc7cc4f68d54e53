#pragma once

// The meaning of J-Linkage's points and models for vanishing points.
//
// Point: a line segment (x1, y1, x2, y2) in image pixels.
// Model: a vanishing point in homogeneous image coordinates, 3 floats of
// unit length; a third component of 0 is a direction (a point at infinity).

#include "core/jlinkage/HypothesisSampler.h"

#include <vector>

// Vanishing point of the first two segments of the set: the cross product of
// their homogeneous lines, normalised. Two segments on one line give no
// finite model (NaN components), which no segment prefers.
std::vector<float> vpFromSegments(const std::vector<SamplerPoint>& points, const std::vector<unsigned>& set);

// Distance in pixels of the segment's end points from the line through its
// midpoint and the vanishing point (the same for both ends, whichever way
// the segment points).
float vpSegmentResidual(const std::vector<float>& model, const std::vector<float>& segment);
