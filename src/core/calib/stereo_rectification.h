#pragma once

// Rectification of a calibrated camera pair: the rotations and projections
// that make both image planes coplanar with aligned rows (or columns, for
// cameras above each other), the remap tables, the "rectification.yml" file
// and the reduced project of the two rectified cameras
// (runStereoRectification does all of it), and rectified copies of images.

#include "core/io/project_file.h"

#include <opencv2/core.hpp>

#include <array>
#include <string>

struct StereoRectifyInput {
    std::array<cv::Mat, 2> K;  // 3x3 CV_64F camera matrices of the primary and the secondary camera
    std::array<cv::Mat, 2> kc; // their distortion coefficients (one row, or empty for none)
    cv::Size imageSize;        // primary image size the calibration used, px
    cv::Mat R, T;              // x_secondary = R x_primary + T (3x3, 3x1, mm)
    bool zeroDisparity = true; // CALIB_ZERO_DISPARITY: equal principal points
    double alpha = 0;          // free scaling: 0 crops to valid pixels, 1 keeps all source pixels
    cv::Size newImageSize;     // size of the rectified images, px
};

struct StereoRectification {
    cv::Size imageSize, newImageSize;
    double alpha = 0;
    int flags = 0;                     // 1024 (CALIB_ZERO_DISPARITY) or 0
    cv::Mat R0, R1;                    // 3x3: each camera's frame into the common rectified frame
    cv::Mat P0, P1;                    // 3x4 projections of the rectified cameras
    cv::Mat Q;                         // 4x4 disparity-to-depth matrix
    std::array<cv::Mat, 2> map1, map2; // remap tables (CV_16SC2, CV_16UC1) of newImageSize

    // Cameras above each other: the rectified images are turned by 90 degrees
    // to show horizontal epipolar lines.
    bool vertical() const { return !P1.empty() && P1.at<double>(0, 3) == 0.0; }
    bool hasMaps() const
    {
        return !map1[0].empty() && !map2[0].empty() && !map1[1].empty() && !map2[1].empty();
    }
};

// Rectifies the pair with cv::stereoRectify and builds both remap tables.
// Returns false, with the reason, and leaves `out` untouched when an input is
// missing or malformed (sizes below 1, a camera matrix that is not 3x3, no
// pose), OpenCV fails, the rectified cameras come out with a focal length
// that is not positive (OpenCV's region fit for strongly converging pairs),
// or the result does not rectify: the two rectified frames not parallel, or
// the baseline not along their x or y axis (OpenCV's construction breaks down
// without an error for a baseline along the viewing direction or one too long
// to square in double precision); an empty kc counts as no distortion.
bool rectifyStereo(const StereoRectifyInput& input, StereoRectification& out, std::string& error);

// Writes "rectification.yml": "imgageSize" (the spelling stored files and
// their readers rely on), "newImageSize", "alpha", "flags", "R0", "R1", "P0",
// "P1", "Q". Returns false with the reason when it cannot be written.
bool writeRectificationFile(const std::string& path, const StereoRectification& rect, std::string& error);

// The two rectified cameras as sensor records: names primary + "_rect" and
// secondary + "_rect", K the left 3x3 blocks of P0 and P1, the primary at the
// origin and the secondary at -P1(:, 3) / P1(0, 0) in the primary's frame
// with the same orientation.
std::vector<Sensor> rectifiedCameras(const StereoRectification& rect, const std::string& primaryName,
                                     const std::string& secondaryName);

// Writes the reduced project of the rectified cameras, with the primary as
// the world, to basePath + ".yml" and basePath + ".json".
ProjectSaveResult saveRectifiedProject(const std::string& basePath, const StereoRectification& rect,
                                       const std::string& primaryName, const std::string& secondaryName,
                                       const std::string& isoDate);

// A rectification with its files.
struct StereoRectifyRun {
    StereoRectifyInput input;
    std::string rectificationFile; // path of "rectification.yml"
    std::string projectBasePath;   // the project of the rectified cameras: + ".yml" and + ".json"
    std::string primaryName, secondaryName;
    std::string isoDate; // the project's "ISODate"
};

struct StereoRectifyRunResult {
    bool ok = false;   // the rectification itself; the files are written only when it succeeded
    std::string error; // why it failed (OpenCV's text for an OpenCV error)
    StereoRectification rectification;
    bool fileWritten = false;
    std::string fileError;
    ProjectSaveResult project;
};

// Rectifies the pair (rectifyStereo), then writes "rectification.yml" and
// the project of the rectified cameras. Never throws.
StereoRectifyRunResult runStereoRectification(const StereoRectifyRun& run);

// A rectified copy of one image file: read in colour, flipped left-right when
// mirror is set (as the calibration read it), remapped with the tables of its
// camera (0 primary, 1 secondary) and written to target.
struct RectifiedCopy {
    std::string source, target;
    int camera = 0;
    bool mirror = false;
};
enum class RectifiedCopyStatus { Written, Unreadable, NotWritten, Error };
// Never throws: an OpenCV error is an Error with its text in `error`; an
// image that cannot be read is Unreadable, a copy that cv::imwrite declines
// is NotWritten.
RectifiedCopyStatus writeRectifiedCopy(const RectifiedCopy& copy, const StereoRectification& rect,
                                       std::string& error);

// The name of an image's rectified copy: "rect_" and the image's file name, in
// the image's folder.
std::string rectifiedCopyPath(const std::string& imagePath);

// An image of camera 0 (primary) or 1 (secondary) remapped with its tables
// (bilinear, black border). Raises cv::Exception when the tables are missing.
cv::Mat rectifyImage(const cv::Mat& image, const StereoRectification& rect, int camera);
