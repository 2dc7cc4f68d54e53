#pragma once

// Synthetic calibration data with exact ground truth: chessboard corners
// projected by a known camera, random board poses, and chessboard images
// rendered with anti-aliasing (supersampling), lens distortion, blur, noise
// and uneven light. Every random choice comes from a caller-given seed.
//
// Conventions: image coordinates in pixels with integral values at pixel
// centres (OpenCV's); a board pose (rvec, tvec) maps board coordinates into
// camera coordinates, x_cam = R(rvec) x_board + tvec, in millimetres.

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <vector>

namespace synth {

struct Camera {
    cv::Matx33d K;
    cv::Mat kc; // 1xN CV_64F distortion coefficients in OpenCV's order (may be empty)
    cv::Size size;
};

struct View {
    cv::Vec3d rvec; // board -> camera rotation (Rodrigues)
    cv::Vec3d tvec; // board -> camera translation, mm
};

// Inner corners of a chessboard with pattern.width x pattern.height inner
// corners, row by row (x along the width), z = 0, in millimetres.
std::vector<cv::Point3f> boardPoints(cv::Size pattern, double square);

// Exact image positions of the inner corners seen in a view.
std::vector<cv::Point2f> projectBoard(const Camera& cam, cv::Size pattern, double square, const View& view);

struct ViewOptions {
    double maxTiltDeg = 40;     // largest tilt of the board out of the image plane
    double minFill = 0.35;      // board width as a fraction of the image width: smallest ...
    double maxFill = 0.7;       // ... and largest
    int marginPx = 12;          // every corner and the board's outer edge stay this far inside the image
    double borderSquares = 0.5; // white border around the squares, in squares (kept inside the image too)
};

// n random views in which the whole board (with its border) is inside the image.
std::vector<View> boardViews(const Camera& cam, cv::Size pattern, double square, int n, std::uint64_t seed,
                             const ViewOptions& options = {});

// A view of the board centred in the image: its centre on the optical axis,
// the board turned by rollDeg about the optical axis (clockwise in the
// image: at no tilt its x axis turns towards the image's y axis), then
// tilted about the camera's x axis by tiltXDeg and its y axis by tiltYDeg,
// at the distance at which its diagonal (with one square of border) spans
// `fill` of the shorter image side. At no roll and no tilt the board's x and
// y axes run along the image's; its z axis points away from the camera.
View centredView(const Camera& cam, cv::Size pattern, double square, double rollDeg, double tiltXDeg,
                 double tiltYDeg, double fill);

struct RenderOptions {
    int supersample = 4;        // samples per pixel along each axis
    double blurSigma = 0;       // Gaussian blur after sampling, pixels
    double noiseSigma = 0;      // additive Gaussian noise, grey levels
    double lightGradient = 0;   // brightness changes by +-this fraction from left to right
    double black = 30;          // grey level of black squares
    double white = 220;         // grey level of white squares and the border
    double background = 110;    // grey level outside the board
    double borderSquares = 0.5; // white border around the squares, in squares
    bool colour = false;        // return a 3-channel BGR image instead of a grey one
    std::uint64_t seed = 1;     // noise seed
};

// The board of `pattern` inner corners seen in `view`, as an 8-bit image of
// cam.size. The square touching the first inner corner on its upper left
// (board x < 0, y < 0) is black.
cv::Mat renderChessboard(const Camera& cam, cv::Size pattern, double square, const View& view,
                         const RenderOptions& options = {});

// A plausible camera for tests: fx = fy = f, principal point near the centre.
Camera makeCamera(cv::Size size, double f, const std::vector<double>& kc = {});

// The smallest board a calibration takes: a square of four points with
// 60 mm sides (mm).
std::vector<cv::Point3f> squarePoints();

// Four views of squarePoints() by a 640x480 camera of 500 px focal length
// with its principal point in the middle, px. The camera may be moved from
// the first one of a rig: x_camera = R(rvec_camera_first) x_first +
// t_camera_first (mm).
std::vector<std::vector<cv::Point2f>> squareViews(const cv::Vec3d& rvec_camera_first = {},
                                                  const cv::Vec3d& t_camera_first = {});

// Four "views" of squarePoints() whose points lie inside a 640x480 image
// but belong to no camera: OpenCV's cv::calibrateCamera, with
// CALIB_FIX_ASPECT_RATIO, CALIB_FIX_K3 and CALIB_ZERO_TANGENT_DIST and at
// most 100 iterations, fits them with fx = fy = -266.033 px.
std::vector<std::vector<cv::Point2f>> scatteredSquareViews();

// Four pairs of such "views" for the two devices of a rig, both 640x480: a
// joint calibration of the two (stereoCalibrateDual) with those flags and at
// most 100 iterations gives the first device a negative focal length.
std::array<std::vector<std::vector<cv::Point2f>>, 2> scatteredSquareViewPairs();

} // namespace synth
