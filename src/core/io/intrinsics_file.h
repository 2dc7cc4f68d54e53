#pragma once

// The intrinsics file of one camera, written by the intrinsic calibration
// next to its images as "<sensor>_intr.yml" and read by the sensor tree's
// import. An OpenCV FileStorage (YAML) with the keys
//   "imgSize"       [width, height] of the calibration images, px
//   "K"             3x3 CV_64F camera matrix (px)
//   "kc"            1xN CV_64F distortion coefficients in OpenCV's order
//                   (N = 4, 5, 8, 12 or 14)
//   "reprojErrRMS"  RMS reprojection error of the calibration, px
// A reader takes whichever of "imgSize", "K" and "kc" are present and usable
// (at least one must be); "reprojErrRMS" is not read back.

#include <QString>

#include <opencv2/core.hpp>

// The file name for a sensor: its name made safe for a file name, then
// "_intr.yml".
QString intrinsicsFileName(const QString& sensorName);

enum class IntrinsicsFileStatus {
    Ok,
    CannotOpen,      // the file cannot be opened (for reading or writing)
    EmptyAfterWrite, // written, but nothing reached the disk
    NoKeys,          // none of "K", "kc" and "imgSize", or only an unusable "imgSize"
    BadCameraMatrix, // "K" is not a 3x3 camera matrix with positive focal lengths
    BadDistortion,   // "kc" is not one row or column of 4, 5, 8, 12 or 14 finite numbers
    Unreadable,      // the parser refused the file; the error text says why
    WriteFailed      // OpenCV refused to write the values; the error text says why
};

// Writes the keys above. K and kc are written as they are given. On failure
// `error` holds a short reason (for CannotOpen "the file cannot be opened for
// writing", for EmptyAfterWrite "the file is empty after writing", otherwise
// OpenCV's message); on Ok it is cleared.
IntrinsicsFileStatus writeIntrinsicsFile(const QString& path, const cv::Size& imageSize, const cv::Mat& K,
                                         const cv::Mat& kc, double rms, QString& error);

// What an intrinsics file holds. Each part is empty (imageSize 0x0) when the
// file does not have it or, for the image size, when it is not two positive
// numbers below 1e9.
struct IntrinsicsData {
    cv::Size imageSize{0, 0};
    cv::Mat K;  // 3x3 CV_64F
    cv::Mat kc; // 1xN CV_64F
};

// Reads and checks the whole file before returning; on anything but Ok the
// data stays empty, and Ok always brings a camera matrix, coefficients or an
// image size. `error` holds the parser's message for Unreadable and a short
// English reason for the other failures, saying which key is missing or
// unusable (empty for CannotOpen).
IntrinsicsFileStatus readIntrinsicsFile(const QString& path, IntrinsicsData& data, QString& error);
