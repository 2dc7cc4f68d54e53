#pragma once

// Vanishing-point and 3D-line geometry of the Manhattan-world calibration.
//
// A segment is a cv::Vec4f (x1, y1, x2, y2) in image pixels. The homogeneous
// line through it is l = (x1, y1, 1) x (x2, y2, 1)
//                      = (y1 - y2, x2 - x1, x1*y2 - x2*y1);
// a point (x, y) lies on it when l . (x, y, 1) = 0.
//
// Both vanishing-point estimates solve for the homogeneous point v with
// l_i . v = 0 and only then divide by its third coordinate. Where that
// coordinate vanishes (segments parallel in the image: the point lies at
// infinity) or the point lies beyond kFarVanishingPoint pixels, the returned
// point stands for it at kFarVanishingPoint pixels from the centroid of the
// segments' midpoints, along the point's direction; so the result and its RMS
// are always finite, and K^-1 (x, y, 1) still gives the direction of the
// vanishing point to within 1e-7 rad for images of a few thousand pixels.
// The RMS is sqrt(sum(d_i^2) / N) over all N segments, d_i the distance in
// pixels from the returned point to the line of segment i.
//
// Both estimates work in double on the lines in conditioned coordinates
// (origin at the centroid of the segments' midpoints, mean distance of the
// end points from it sqrt(2)), so that the coefficients of a line are of one
// order and a segment much shorter than the others keeps its direction; the
// point is then taken back to pixels. Neither depends on which way a segment
// is drawn.
//
// Errors (cv::Exception, the RMS left as it was): StsBadArg for a segment
// with a non-finite coordinate, StsBadSize for fewer than two segments of
// positive length (zero-length segments carry no direction and are left out
// of the estimate; they still count in the RMS with their distance to their
// one point).

#include <opencv2/core.hpp>

#include <vector>

constexpr double kFarVanishingPoint = 1e8;

// Distance in pixels from point p to the infinite line through segment s
// (not to the segment). For a zero-length segment: the distance to its one
// point.
float pointLineDistance(const cv::Point2f& p, const cv::Vec4f& s);

// Vanishing point of a cluster of segments by fitting a 3-D line through
// their homogeneous lines (not normalised), which all lie in the plane of
// line space whose normal is the vanishing point; that normal is the fitted
// direction x the fitted point. The lines are first oriented consistently
// (as orientSegmentsConsistently does): lines of both signs put the fitted
// point near the origin of line space, where the cross product loses the
// vanishing point by degrees. Segments that all lie on one line give the
// point at infinity along it. distType is an OpenCV distance type: DIST_L2
// (the centroid and the principal direction of the lines) is computed in
// double, the others with cv::fitLine in single precision. rms receives the
// RMS distance of the segments' lines from the point.
cv::Point2f vanishingPointFitLine(std::vector<cv::Vec4f> segments, float& rms, int distType);

// Vanishing point of a cluster of segments by length-weighted least squares:
// the unit vector v minimising sum (length_i * l_i . v)^2 over the unit-norm
// homogeneous lines l_i, from the singular value decomposition of the 3x3
// matrix sum length_i^2 l_i l_i^T (memory independent of the number of
// segments). rms as for vanishingPointFitLine.
cv::Point2f vanishingPointSvd(std::vector<cv::Vec4f> segments, float& rms);

// Closest points of two lines in space, the first through p1 and p2, the
// second through p3 and p4 (any unit, e.g. mm): pa on the first line and pb
// on the second, with pb - pa perpendicular to both. Returns false, leaving
// pa and pb untouched, when a line's two points are closer than 1e-6, when
// the lines are parallel (|d21.d21 * d43.d43 - (d43.d21)^2| below 1e-6), or
// when the input is not finite.
bool closestPointsOfLines(const cv::Point3d& p1, const cv::Point3d& p2, const cv::Point3d& p3,
                          const cv::Point3d& p4, cv::Point3d& pa, cv::Point3d& pb);

// Swaps the end points of segments so that their homogeneous lines
// (x1, y1, 1) x (x2, y2, 1) all lie on one side of the cluster's main line
// direction (the leading eigenvector of the sum of l l^T over the unit
// lines). The result does not depend on which way the input segments point.
std::vector<cv::Vec4f> orientSegmentsConsistently(std::vector<cv::Vec4f> segments);

// Vanishing point of one cluster of segments: vanishingPointFitLine (L2) or,
// with `weighted`, vanishingPointSvd. Zero-length segments carry no direction
// and are left out. Segments that point well away from the length-weighted
// estimate (more than three times the median angle and over 0.1 degree; one
// at a time, at least three kept) are left out of the fit as well: a segment
// can fit two vanishing points within the clustering threshold and pull the
// fit by degrees. rms: RMS distance in pixels of the point from the lines of
// all the cluster's segments (a zero-length segment: from its point).
// Errors as above: StsBadArg for a non-finite coordinate, StsBadSize for
// fewer than two segments of positive length.
cv::Point2f clusterVanishingPoint(const std::vector<cv::Vec4f>& cluster, float& rms, bool weighted = false);
