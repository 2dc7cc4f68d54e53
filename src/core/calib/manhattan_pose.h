#pragma once

// The computations of the Manhattan-world calibration: vanishing points from
// clusters of line segments, the choice of three near-orthogonal ones, their
// assignment to the world axes X, Y, Z, and the camera pose from those axes
// and a segment OP of known length along one of them.
//
// Pixels: OpenCV's convention (integral coordinates at pixel centres). K is a
// 3x3 camera matrix (any depth, read as double). A vanishing point's
// direction is K^-1 (x, y, 1) normalised; fx and fy both count.
//
// Pose: R_cam_world (3x3 CV_64F, column i = world axis i in camera
// coordinates) and t_cam_world (3x1 CV_64F, mm: the origin O in camera
// coordinates), so x_cam = R x_world + t.

#include "core/geometry/vanishing_points.h"

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

class VPSample;
class VPCluster;

// One world axis: the vanishing point it points to (index into the list of
// vanishing points), whether it points away from it, and its unit direction
// in camera coordinates.
struct AxisAssignment {
    int vpIndex = -1;
    bool inverted = false;
    cv::Vec3d direction;
};

// Unit direction K^-1 (x, y, 1) / |...| of a vanishing point.
cv::Vec3d vanishingDirection(const cv::Matx33d& K, const cv::Point2f& vp);

// ----- clustering -------------------------------------------------------------

struct SegmentClusters {
    int found = 0;                                // clusters J-Linkage found
    std::vector<std::vector<cv::Vec4f>> clusters; // the min(found, N) largest, largest first
    std::vector<cv::Vec4f> outliers;              // segments of the other clusters, in segment order
};

// Clusters the segments by vanishing point with J-Linkage: 5000 hypotheses
// drawn among near segments (sampling type 3, k 10, near 0.8, far 0.2),
// threshold 2 px, all pairs. The runners report progress through their own
// signals. Fewer than three segments give no hypotheses and no clusters
// (found 0, every segment an outlier).
SegmentClusters clusterSegmentsJLinkage(const std::vector<cv::Vec4f>& segments, int N, VPSample& sampler,
                                        VPCluster& clusterer);

// The vanishing point of d1 x d2 (the third orthogonal direction); a point at
// infinity is represented 1e8 px from the principal point along its direction.
cv::Point2f thirdVanishingPoint(const cv::Matx33d& K, const cv::Point2f& vp1, const cv::Point2f& vp2);

// Among all ordered triples of the vanishing points, the first one whose
// directions are closest to orthogonal (smallest 1 - |det[dk dl dm]|, strictly
// below 1). false when every triple is degenerate (fewer than three points,
// or all directions in one plane).
bool bestOrthogonalTriple(const cv::Matx33d& K, const std::vector<cv::Point2f>& vps, int& k, int& l, int& m);

// Angle in degrees between two directions.
double angleDeg(const cv::Vec3d& a, const cv::Vec3d& b);

// Clockwise order on the screen around the principal point c: points left of
// c first (bottom to top), then the others (top to bottom); points on one ray
// nearest first.
bool compareByAngleAroundPrincipalPoint(const cv::Point2f& c, const cv::Point2f& a, const cv::Point2f& b);

// Assigns three vanishing points to X, Y, Z in the order of
// compareByAngleAroundPrincipalPoint around (cx, cy). The frame is made
// right-handed: when det[X Y Z] < 0, Z is inverted and *flipped is set.
std::vector<AxisAssignment> assignAxes(const cv::Matx33d& K, const std::vector<cv::Point2f>& vps,
                                       bool* flipped);

// Toggles axis i and axis (i + 1) mod 3 together (the frame keeps its
// handedness). Nothing for an i outside 0..2 or outside the vanishing points
// (vpCount), or without three axes.
void invertAxis(std::vector<AxisAssignment>& axes, int i, int vpCount);

// The axes holding vanishing points a and b exchange their records; the axis
// that now holds a is inverted (handedness kept). Nothing unless both are
// valid vanishing points held by axes.
void assignVanishingPointToAxis(std::vector<AxisAssignment>& axes, int a, int b, int vpCount);

// Vanishing point of an axis as drawn: mirrored through the principal point
// when the axis is inverted.
cv::Point2f axisImagePoint(const cv::Matx33d& K, const std::vector<cv::Point2f>& vps,
                           const AxisAssignment& axis);

// ----- pose -----------------------------------------------------------------

struct ManhattanPoseInput {
    cv::Mat K;                        // 3x3
    std::vector<AxisAssignment> axes; // X, Y, Z
    std::vector<cv::Point2f> vanishingPoints;
    cv::Point2f O{-1.f, -1.f}, P{-1.f, -1.f}; // pixels; (-1, -1) unset
    double length = 0;                        // |OP| in mm
};

enum class ManhattanPoseError {
    None,
    NoIntrinsics, // K empty or not a valid camera matrix
    PointsUnset,  // O or P unset
    NoLength,     // length not positive (or not finite)
    MissingAxes,  // not three axes with valid vanishing points
    SamePoints,   // O equal to P
    Degenerate    // the segment line and the ray of P are parallel
};

struct ManhattanPoseResult {
    ManhattanPoseError error = ManhattanPoseError::None;
    std::string message;               // for an error
    cv::Mat R;                         // 3x3 CV_64F, R_cam_world
    cv::Mat t;                         // 3x1 CV_64F, t_cam_world, mm
    int nearestAxis = -1;              // axis along OP (0 X, 1 Y, 2 Z)
    double vpDistance = 0;             // pixels from that axis's vanishing point to the line OP
    double distance = 0;               // camera centre to O, mm
    std::vector<cv::Vec3d> directions; // the columns of R, to store back in the axes
    bool flippedDeterminant = false;   // the axes were left-handed; the rotation's last column was negated
};

// Camera pose from the Manhattan frame: R = the axis directions as columns,
// orthonormalised (nearest rotation by SVD, determinant +1). OP runs along
// the axis whose vanishing point the image line OP points at most directly
// (smallest angle at O between OP and the direction to the vanishing point;
// robust also for vanishing points near infinity). With rays rO = K^-1 O and
// rP = K^-1 P and d that axis's direction, the closest points pa (on the
// line rO + s d) and pb (on the ray of P) give m = (pa + pb) / 2 and the
// scale s = length / |rO - m|: O lies at s rO, so t = s rO.
ManhattanPoseResult manhattanCameraPose(const ManhattanPoseInput& input);
