#pragma once

#include <opencv2/core.hpp>
#include <string>

// One sensor of the scene: a camera, a projector or a robot base.
//
// Pose convention, used everywhere in the program:
//   x_sensor = R * x_ref + t        (lengths in millimetres)
// R and t map coordinates of the scene's reference frame (the frame of the
// sensor in row 0 of the sensor tree) into this sensor's frame. As a 4x4
// rigid transform T = [R t; 0 0 0 1]; the pose of sensor b relative to
// sensor a is T_b * T_a^-1. What the user sees of a pose is its inverse
// [R^T | -R^T t]: the position of the sensor's origin in the other frame and
// yaw, pitch, roll of R^T (see rotationMatrixToEulerAngles).
//
// A sensor's index is its current row in the sensor tree; the record does not
// remember it.
struct Sensor {
    std::string name; // tree label, dialog lists, project file
    cv::Mat K;        // 3x3 CV_64F camera matrix; empty while not calibrated
    cv::Mat kc;       // CV_64F distortion coefficients (OpenCV order); empty while unknown
    cv::Mat R;        // 3x3 CV_64F rotation, reference -> sensor
    cv::Mat t;        // 3x1 CV_64F translation, reference -> sensor, mm
    cv::Size imgSize; // image size in pixels; (0, 0) while unknown
};
