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
#include "core/jlinkage/vanishing_point_search.h"

#include <opencv2/core.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

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

// ----- the vanishing-point run ---------------------------------------------

// A vanishing point that an axis can take, with the number that names it in
// the log and in the thumbnails (VP1, d1, ...): the rank of its cluster plus
// 1; a third point estimated from two takes the number 3.
struct NumberedVanishingPoint {
    cv::Point2f point; // px
    int number = 0;
};

struct ManhattanAxesInput {
    VanishingPointSearchInput search; // the segments and the search's options
    cv::Mat K; // 3x3 camera matrix of the segments' image; empty: the points are not made axes
};

enum class ManhattanAxesError {
    None,
    Search,           // the search failed; search.error and search.message say why
    NoVanishingPoint, // no kept cluster gave a vanishing point
    NoCamera,         // K is empty or not a camera matrix (or gives no finite directions): no axes
    OnlyOne,          // one vanishing point: no frame
    Coplanar          // more than three whose directions all lie in one plane: no triple
};

// How the three vanishing points of the axes were chosen.
enum class AxesSelection {
    None,
    FromTwo,   // two were found; the third is d1 x d2
    Three,     // three were found
    BestTriple // more than three: the triple nearest to orthogonal (bestOrthogonalTriple)
};

struct ManhattanAxesResult {
    ManhattanAxesError error = ManhattanAxesError::None;
    std::string message; // the reason when error is not None
    VanishingPointSearchResult search;
    // The kept clusters' points, largest cluster first; once three are chosen
    // (selection not None), those three, in the order of the axes' vpIndex.
    std::vector<NumberedVanishingPoint> vanishingPoints;
    AxesSelection selection = AxesSelection::None;
    // Degrees between the directions of the chosen points 0-1, 0-2 and 1-2;
    // FromTwo: only [0], between the two that were found.
    std::array<double, 3> angles{};
    std::vector<AxisAssignment> axes; // X, Y, Z (assignAxes), when selection is not None
    bool flipped = false;             // Z was inverted to make the frame right-handed
    bool ok() const { return error == ManhattanAxesError::None; }
};

// The vanishing-point run: the search, then with a camera matrix the choice
// of three vanishing points (the third from two, the three found, or the best
// triple of more) and their assignment to the axes. The points stay in the
// result as far as the run got. Never throws for the failures listed in
// ManhattanAxesError.
ManhattanAxesResult findManhattanAxes(const ManhattanAxesInput& input, const SearchProgress& progress = {});

std::vector<cv::Point2f> pointsOf(const std::vector<NumberedVanishingPoint>& vps);

// ----- pose -----------------------------------------------------------------

struct ManhattanPoseInput {
    cv::Mat K;                        // 3x3
    std::vector<AxisAssignment> axes; // X, Y, Z
    std::vector<cv::Point2f> vanishingPoints;
    cv::Point2f O{-1.f, -1.f}, P{-1.f, -1.f}; // pixels; (-1, -1) unset
    double length = 0;                        // |OP| in mm
};

// Largest departure in degrees from a right angle that the pose run accepts
// between two of the three axis directions. Vanishing points that are not
// the directions of one orthogonal frame (a wrong cluster, a wrong camera
// matrix) would otherwise give the nearest rotation to a frame that is not
// one, with no sign of it in the pose.
constexpr double kOrthogonalityToleranceDeg = 5.0;

// Two axes (0 X, 1 Y, 2 Z) and the angle in degrees between their directions.
struct AxisPairAngle {
    int first = -1, second = -1;
    double angleDeg = 0;
};

// Of the pairs X-Y, X-Z and Y-Z, in this order, the one whose angle departs
// most from 90 degrees (the first on ties). The directions need not be unit.
AxisPairAngle leastOrthogonalPair(const std::array<cv::Vec3d, 3>& directions);

enum class ManhattanPoseError {
    None,
    NoIntrinsics,  // K empty or not a valid camera matrix
    PointsUnset,   // O or P unset
    InvalidPoints, // O or P has a coordinate that is not finite
    NoLength,      // length not positive (or not finite)
    MissingAxes,   // not three axes with finite, non-zero directions and finite vanishing points
    NotOrthogonal, // two axis directions depart from a right angle by more than kOrthogonalityToleranceDeg
    SamePoints,    // O equal to P
    Degenerate,    // the segment line and the ray of P are parallel
    NotFinite      // the translation came out beyond the range of double
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
    AxisPairAngle leastOrthogonal; // the pair of axes farthest from a right angle (when the axes are valid)
};

// Camera pose from the Manhattan frame. The axis directions are normalised
// and must be orthogonal within kOrthogonalityToleranceDeg (else
// NotOrthogonal, with the pair in leastOrthogonal). R = the directions as
// columns, orthonormalised (nearest rotation by SVD, determinant +1). OP runs along
// the axis whose vanishing point the image line OP points at most directly
// (smallest angle at O between OP and the direction to the vanishing point;
// robust also for vanishing points near infinity). With rays rO = K^-1 O and
// rP = K^-1 P and d that axis's direction, the closest points pa (on the
// line rO + s d) and pb (on the ray of P) give m = (pa + pb) / 2 and the
// scale s = length / |rO - m|: O lies at s rO, so t = s rO. Never throws
// for the failures listed in ManhattanPoseError; on failure R and t are
// empty.
ManhattanPoseResult manhattanCameraPose(const ManhattanPoseInput& input);
