#pragma once

// The per-image corner file: measured corners that stand in for detection.
// It lies next to its image, named after the image's base name with ".yml",
// and is an OpenCV FileStorage (YAML or XML) with two keys:
//   "corners"  matrix of 32-bit floats x0, y0, x1, y1, ... (image points, px)
//   "obj"      matrix of 32-bit floats X0, Y0, Z0, X1, ... (object points, mm)
// Any matrix shape is accepted; the values are read in memory order. Both
// must describe the same number of points, and every value must be finite.
// Whether the image points lie within reach of their image is for the run
// that uses them to decide (imagePointsWithinBound), once it knows the size.

#include <QString>

#include <opencv2/core.hpp>

#include <vector>

// Outcome of reading the corner file of one image.
enum class CornerFileStatus {
    Missing, // no file, or it cannot be opened: the image is detected as usual
    Loaded,  // image and object points read
    Invalid  // the file exists but cannot be parsed or does not fit; the reason is given
};

// Path of the corner file of an image: the image's folder, "/", its base name
// (the file name up to its last '.') and ".yml".
QString cornerFilePath(const QString& imagePath);

// Reads the corner file of an image. The element type, the element counts
// and the number of points are checked; on Missing and Invalid the outputs
// are empty, and on Invalid `error` says why (otherwise it is cleared).
CornerFileStatus readCornerFile(const QString& imagePath, std::vector<cv::Point2f>& imagePoints,
                                std::vector<cv::Point3f>& objectPoints, QString& error);
