#pragma once

// A synthetic box room with known truth, for the line detector, the
// vanishing points and the Manhattan-world pose.
//
// The room is the axis-aligned box [0, X] x [0, Y] x [0, Z] of the world
// frame, in millimetres, with Z pointing up; the floor is z = 0. Each of its
// six faces has a uniform grey and carries non-overlapping axis-aligned
// rectangular panels of other greys, so that every straight texture edge
// (panel outlines and the twelve room edges) runs along one world axis.
//
// A calibrated camera inside the room sees it from one of two poses:
//   - Corner: looking down into the floor corner at the world origin, so the
//     vanishing points of all three axes are finite;
//   - Level: optical axis (nearly) horizontal, so the vanishing point of Z
//     lies near infinity (at infinity for a pitch of 0).
// The image is rendered by supersampling (anti-aliased), optionally through
// lens distortion with known coefficients, with Gaussian noise.
//
// Conventions: pixel centres at integral coordinates (OpenCV's); the camera
// pose maps world into camera coordinates, x_cam = R_cam_world x_world +
// t_cam_world (mm); camera x right, y down, z forward.

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace synth {

enum class RoomView { Corner, Level };

struct BoxRoomOptions {
    cv::Size size{640, 480}; // image size
    RoomView view = RoomView::Corner;
    double focalOverWidth = 0.8; // fx = focalOverWidth * width
    double fyOverFx = 1.0;       // fy = fyOverFx * fx
    double levelPitchDeg = 0.2;  // downward pitch of the Level view (0: vertical vanishing point at infinity)
    bool distorted = false;      // render through the distortion `distortion` below
    std::array<double, 5> distortion{-0.2, 0.05, 0.0008, -0.0006, 0.0}; // k1 k2 p1 p2 k3
    int supersample = 4;                                                // samples per pixel along each axis
    double noiseSigma = 2.0; // additive Gaussian noise, grey levels
    std::uint64_t seed = 1;  // seed of the wall textures and of the noise
};

// A straight edge of the room's texture, along world axis `axis` (0 X, 1 Y, 2 Z).
struct RoomEdge {
    cv::Point3d a, b;
    int axis;
};

// A panel of one face: the rectangle [u0, u1] x [v0, v1] in the face's two
// in-plane world coordinates (in increasing axis order), with its grey.
struct RoomPanel {
    double u0, v0, u1, v1;
    double grey;
};

struct BoxRoom {
    cv::Vec3d extent{4000, 5000, 3000}; // room size along X, Y, Z, mm
    // faces in the order x = 0, x = X, y = 0, y = Y, z = 0 (floor), z = Z (ceiling)
    std::array<double, 6> faceGrey{};
    std::array<std::vector<RoomPanel>, 6> panels;
    std::array<double, 6> cellU{}, cellV{}; // panel grid cell size of each face (one panel per cell at most)
    std::array<int, 6> cellsU{}, cellsV{};
    std::array<std::vector<int>, 6>
        cellPanel; // panel index of each cell, -1 for none (cell = iv * cellsU + iu)
};

// The room with textures drawn from `seed`.
BoxRoom makeBoxRoom(std::uint64_t seed);

// Grey level of the room's surface seen at a world point on a face.
double roomGrey(const BoxRoom& room, int face, const cv::Point3d& p);

struct BoxRoomScene {
    BoxRoom room;
    cv::Mat image;    // CV_8UC1, options.size
    cv::Matx33d K;    // camera matrix of the rendered camera
    cv::Mat kc;       // 1x5 CV_64F (k1 k2 p1 p2 k3): zeros unless rendered distorted
    cv::Matx33d R;    // R_cam_world
    cv::Vec3d t;      // t_cam_world, mm
    cv::Vec3d centre; // camera centre in the world, mm

    // world axes X, Y, Z in camera coordinates (the columns of R): the
    // vanishing directions
    std::array<cv::Vec3d, 3> directions;
    // vanishing points of X, Y, Z as homogeneous pixels K * direction (unit norm),
    // in the undistorted image of K
    std::array<cv::Vec3d, 3> vanishingHomogeneous;
    std::array<bool, 3> vanishingFinite;        // third coordinate not (numerically) zero
    std::array<cv::Point2d, 3> vanishingPoints; // pixels where finite, else (NaN, NaN)

    std::vector<cv::Point3d> corners;   // the 8 room corners; corners[0] is the world origin
    std::vector<RoomEdge> roomEdges;    // the 12 room edges
    std::vector<RoomEdge> textureEdges; // every straight texture edge: panel outlines and room edges

    // the visible part of every texture edge, as image segments (x1, y1, x2, y2)
    // in the undistorted image of K, with the world axis each runs along
    std::vector<cv::Vec4f> segments;
    std::vector<int> segmentAxes;
    RoomView view;
};

// Renders the room seen from the pose `options.view`, with its truth.
BoxRoomScene renderBoxRoom(const BoxRoomOptions& options = {});

// Camera pose of a view for an image of `size` (the same room and poses at every size).
void boxRoomPose(RoomView view, double levelPitchDeg, cv::Matx33d& R_cam_world, cv::Vec3d& t_cam_world);

// Pixel of a world point in the image of a pinhole camera K with pose (R, t),
// no distortion. Returns false when the point is not in front of the camera.
bool projectIdeal(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& t, const cv::Point3d& world,
                  cv::Point2d& pixel);

// Pixel of a world point in the rendered (possibly distorted) image of a scene.
cv::Point2d projectToImage(const BoxRoomScene& scene, const cv::Point3d& world);

// The visible parts of the given 3D edges in the image (0..w-1, 0..h-1) of a
// pinhole camera K with pose (R, t), clipped in front of the camera and to the
// image; parts shorter than minLength pixels are left out. axes receives the
// axis of each returned segment when not null.
std::vector<cv::Vec4f> visibleSegments(const std::vector<RoomEdge>& edges, const cv::Matx33d& K,
                                       const cv::Matx33d& R, const cv::Vec3d& t, cv::Size size,
                                       std::vector<int>* axes = nullptr, double minLength = 2.0);

// Fraction of the total length of the true segments that the detected
// segments cover: a point of a true segment (sampled every 0.5 px) is covered
// when a detected segment within maxAngleDeg of its direction passes within
// maxDistPx of it, the point projecting onto that segment (extended by
// maxDistPx at both ends). 0 when there is no true length.
double segmentRecall(const std::vector<cv::Vec4f>& truth, const std::vector<cv::Vec4f>& detected,
                     double maxDistPx = 1.5, double maxAngleDeg = 2.0);

// The scene's true segments of at least minLength pixels, end points moved
// by Gaussian noise of sigma pixels, half of them reversed (seeded). axes
// receives the world axis of each returned segment when not null.
std::vector<cv::Vec4f> noisySegments(const BoxRoomScene& scene, double sigma, unsigned seed,
                                     std::vector<int>* axes = nullptr, double minLength = 50);

// Angle in degrees between a direction and the line of another (sign-free).
double lineAngleDeg(const cv::Vec3d& a, const cv::Vec3d& b);

// A hand-made scene for small detector tests: the grey level grey(x, y) at
// every image point (x = column, y = row, pixel centres at integers),
// averaged over supersample x supersample samples per pixel, rounded to 8 bits.
cv::Mat renderGreyFunction(cv::Size size, const std::function<double(double x, double y)>& grey,
                           int supersample = 8);

} // namespace synth
