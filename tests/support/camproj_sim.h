#pragma once

// Simulated camera-projector rig with exact ground truth, for the structured
// light tests and benchmarks: a projector shows the white, black and Gray code
// stripe images on a chessboard (and a wall behind it); a camera photographs
// each one. The captures are rendered from the scene's geometry, so the truth
// (which projector pixel lit each camera pixel, where the board corners lie in
// camera and projector) does not depend on any decoder.
//
// Conventions as in synthetic.h: pixel centres at integral coordinates, board
// poses map board -> camera in millimetres. The rig's pose maps camera
// coordinates into projector coordinates: x_proj = R_proj_cam * x_cam + t_proj_cam.
//
// Light model of one capture, per camera pixel with surface albedo a and
// projector irradiance I (gain * (black + (1 - black) * pattern), the pattern
// of sharp square projector pixels averaged over the camera pixel's
// footprint, 0 where the projector does not reach):
//   grey = a * ((1 - scatter) * I + scatter * blur(I, scatterSigma) + interreflection * mean(I) + ambient)
// then a lens blur and Gaussian noise. The short-range scattering term washes
// out the finest stripes (it attacks the least significant Gray code bits),
// the interreflection term adds global light to every pixel.

#include "synthetic.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace synth {

// ---- Gray code patterns as the projector shows them ----------------------
// Written here from the pattern definition alone, so that tests check the
// program's generator and decoder against an independent copy.

// Bits that code n projector columns (or rows): 1 for n <= 2, otherwise the
// smallest c >= 2 with 2^c >= n.
int grayBits(int n);
// Offset that centres the code range on the projector: (2^bits - n) / 2.
int grayOffset(int n);
// Number of images of a sequence: 2 + 2 * (column bits + row bits).
int grayPatternCount(cv::Size projector);
// Image `number` of the sequence for a projector of the given size, 8-bit,
// one channel, projector.height x projector.width: 0 white, 1 black, then for
// every column bit from the most significant down a stripe image and its
// inverse, then the same for the row bits. Column c carries the reflected
// Gray code of c + column offset, row r that of r + row offset; a pixel is 255
// where the bit is 1. Throws std::out_of_range for a number outside the sequence.
cv::Mat grayPattern(cv::Size projector, int number);

// ---- Rig, scene and light -------------------------------------------------

struct CamProjRig {
    Camera camera;
    Camera projector; // K, kc and size of the projector seen as an inverse camera
    cv::Matx33d R_proj_cam;
    cv::Vec3d t_proj_cam;    // mm
    double baseline() const; // distance between the two centres, mm
};

// A camera of cameraSize (focal length cameraFocal x its width, barrel
// distortion) and a projector of projectorSize (focal length 1.45 x its width,
// principal point low in the image so that it throws upwards like a table
// projector, slight distortion), the projector `baselineMm` to the right of the
// camera, turned towards the camera's axis so that both views cross about
// 1000 mm in front of the camera. On a board there,
// a projector pixel covers about 1.3 camera pixels of a 1280 pixels wide camera
// (more with a longer cameraFocal: finer decoding, a weaker camera calibration).
CamProjRig makeCamProjRig(cv::Size cameraSize = {1280, 960}, cv::Size projectorSize = {1024, 768},
                          double baselineMm = 220, double cameraFocal = 1.5);

struct CamProjLight {
    double gain = 235;             // grey level of white projector light on albedo 1
    double projectorBlack = 0.02;  // light of a black projector pixel as a share of a white one
    double ambient = 6;            // grey levels on albedo 1, independent of the projector
    double scatter = 0.6;          // share of the projected light scattered under the surface (short range)
    double scatterSigmaMm = 0.8;   // its spread on the surface, mm (a projector pixel is about 0.7 mm)
    double interreflection = 0.08; // share of the image's mean projected light added to every pixel
    double blurSigma = 0.5;        // camera lens blur, camera pixels
    double noiseSigma = 1.5;       // Gaussian noise, grey levels
};

struct CamProjScene {
    cv::Size pattern{9, 6}; // inner corners
    double square = 30;     // mm
    double albedoBlack = 0.12;
    double albedoWhite = 0.9; // white squares and the board's border
    double albedoWall = 0.55;
    double borderSquares = 0.5;   // white border around the squares, in squares
    double wallDistanceMm = 1600; // a wall facing the camera, this far along its axis
    int supersample = 3;          // samples per pixel along each axis for the board's albedo
    int lightSamples =
        3; // samples per pixel along each axis for the projector's light (odd; even counts are raised by one)
    CamProjLight light;
    std::uint64_t seed = 1; // noise seed
};

// Truth of one set (one board pose).
struct CamProjSetTruth {
    View view;                                 // board -> camera
    std::vector<cv::Point3f> objectPoints;     // board corners, mm, row by row
    std::vector<cv::Point2f> cameraCorners;    // exact, camera pixels
    std::vector<cv::Point2f> projectorCorners; // exact, projector pixels
    // CV_32FC2 of the camera size: projector (x, y) of the surface point seen
    // at each pixel centre, NaN where the projector does not light it (outside
    // the projector's image, in the board's shadow, or behind). The projector
    // pixel that lit the pixel centre is (round(x), round(y)).
    cv::Mat projectorCoords;
    // CV_8U of the camera size: 255 where the pixel centre sees the board
    // (squares or border) lit by the projector, 0 elsewhere.
    cv::Mat boardMask;
};

struct CamProjTruth {
    CamProjRig rig;
    CamProjScene scene;
    std::vector<std::string> setFolders; // one per set, in set order
    std::vector<CamProjSetTruth> sets;
};

// n board poses, reproducible from seed, in which the whole board with its
// border lies inside both the camera and the projector image (margin in pixels
// of each) and faces both.
std::vector<View> camProjViews(const CamProjRig& rig, const CamProjScene& scene, int n, std::uint64_t seed,
                               int marginPx = 20);

// Geometry of one pose without rendering: projector coordinates, board mask
// and corners.
CamProjSetTruth camProjTruth(const CamProjRig& rig, const CamProjScene& scene, const View& view);

// The captures of one set in memory: one 8-bit one-channel camera image per
// projector image, in the given order. `projected` are the projector's images
// (8-bit, one channel, projector size); empty means the Gray code sequence of
// grayPattern. truth, when given, receives the pose's truth.
std::vector<cv::Mat> renderCamProjSet(const CamProjRig& rig, const CamProjScene& scene, const View& view,
                                      CamProjSetTruth* truth = nullptr,
                                      const std::vector<cv::Mat>& projected = {});

// Writes one subfolder per view into `folder` (created when missing), named
// "pose00", "pose01", ..., each holding the captures of the Gray code sequence
// as "00.png", "01.png", ... in sequence order. Returns the truth.
// Throws std::runtime_error when a folder or file cannot be written.
CamProjTruth writeCamProjSets(const std::string& folder, const CamProjRig& rig, const CamProjScene& scene,
                              const std::vector<View>& views);

} // namespace synth
