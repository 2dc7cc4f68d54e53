#include "core/calib/target_pose.h"

#include "core/calib/reprojection.h"
#include "core/geometry/camera_checks.h"

#include <opencv2/calib3d.hpp>

#include <utility>

namespace {

TargetPoseResult failed(TargetPoseResult result, TargetPoseError error, std::string message)
{
    result.error = error;
    result.message = std::move(message);
    result.rvec.release();
    result.tvec.release();
    result.R.release();
    return result;
}

// The board's four outer corners, once round the board: corner 0, the last
// of the first row, the last, and the first of the last row.
template <class Point> std::vector<Point> outerCorners(const std::vector<Point>& points, cv::Size pattern)
{
    const int w = pattern.width, h = pattern.height;
    const size_t outer[4] = {0, static_cast<size_t>(w - 1), points.size() - 1,
                             static_cast<size_t>(w * (h - 1))};
    std::vector<Point> four;
    for (const size_t k : outer)
        four.push_back(points[k]);
    return four;
}

// Solves the pose with the chosen method; P3P works on the four outer corners
// and replaces the points with them. OpenCV's errors propagate.
bool solvePose(const TargetPoseInput& input, std::vector<cv::Point2f>& imagePoints,
               std::vector<cv::Point3f>& objectPoints, bool ransac, cv::Mat& rvec, cv::Mat& tvec,
               std::vector<int>& inliers)
{
    if (input.method == PnpMethod::P3P) {
        imagePoints = outerCorners(imagePoints, input.patternSize);
        objectPoints = outerCorners(objectPoints, input.patternSize);
        return cv::solvePnP(objectPoints, imagePoints, input.K, input.kc, rvec, tvec, false,
                            cv::SOLVEPNP_P3P);
    }
    const int method = input.method == PnpMethod::EPnP ? cv::SOLVEPNP_EPNP : cv::SOLVEPNP_ITERATIVE;
    if (ransac)
        return cv::solvePnPRansac(objectPoints, imagePoints, input.K, input.kc, rvec, tvec, false,
                                  input.ransacIterations, static_cast<float>(input.ransacMaxError),
                                  input.ransacConfidence / 100.0, inliers, method);
    return cv::solvePnP(objectPoints, imagePoints, input.K, input.kc, rvec, tvec, false, method);
}

// Keeps the RANSAC inliers, in the order of the inlier list.
void keepInliers(const std::vector<int>& inliers, std::vector<cv::Point2f>& imagePoints,
                 std::vector<cv::Point3f>& objectPoints)
{
    if (inliers.size() >= imagePoints.size())
        return;
    std::vector<cv::Point2f> keptImage;
    std::vector<cv::Point3f> keptObject;
    for (const int k : inliers) {
        if (k < 0 || static_cast<size_t>(k) >= imagePoints.size())
            continue;
        keptImage.push_back(imagePoints[static_cast<size_t>(k)]);
        keptObject.push_back(objectPoints[static_cast<size_t>(k)]);
    }
    imagePoints = std::move(keptImage);
    objectPoints = std::move(keptObject);
}

} // namespace

TargetPoseResult estimateTargetPose(const TargetPoseInput& input)
{
    TargetPoseResult result;
    std::vector<cv::Point2f> imagePoints = input.imagePoints;
    if (imagePoints.empty()) {
        ChessboardOptions detection = input.detection;
        detection.patternSize = input.patternSize;
        detection.squareWidth = input.squareWidth;
        detection.squareHeight = input.squareHeight;
        try {
            if (!detectChessboard(input.image, detection, imagePoints))
                return failed(std::move(result), TargetPoseError::BoardNotFound, "no board in the image");
        } catch (const cv::Exception& e) {
            return failed(std::move(result), TargetPoseError::DetectionError, e.what());
        }
    }

    std::vector<cv::Point3f> objectPoints =
        chessboardObjectPoints(input.patternSize, input.squareWidth, input.squareHeight);
    if (objectPoints.size() < 4 || imagePoints.size() != objectPoints.size())
        return failed(std::move(result), TargetPoseError::BadInput,
                      "the corners do not match the board's pattern");
    if (!isCameraMatrix(input.K))
        return failed(std::move(result), TargetPoseError::BadInput,
                      "K is not a 3x3 camera matrix with positive focal lengths");

    result.ransacUsed = input.ransac && input.method != PnpMethod::P3P;
    cv::Mat rvec, tvec;
    std::vector<int> inliers;
    bool solved = false;
    try {
        solved = solvePose(input, imagePoints, objectPoints, result.ransacUsed, rvec, tvec, inliers);
    } catch (const cv::Exception& e) {
        return failed(std::move(result), TargetPoseError::OpenCvError, e.what());
    }
    if (!solved || rvec.empty() || tvec.empty() || !cv::checkRange(rvec) || !cv::checkRange(tvec))
        return failed(std::move(result), TargetPoseError::NoSolution, "no pose was found");

    if (result.ransacUsed) {
        result.inliers = static_cast<int>(inliers.size());
        keepInliers(inliers, imagePoints, objectPoints);
        if (imagePoints.size() < 4)
            return failed(std::move(result), TargetPoseError::TooFewInliers, "fewer than 4 inliers are left");
    }

    rvec.convertTo(result.rvec, CV_64F);
    tvec.convertTo(result.tvec, CV_64F);
    result.rvec = result.rvec.reshape(1, 3);
    result.tvec = result.tvec.reshape(1, 3);
    cv::Rodrigues(result.rvec, result.R);

    try {
        ViewReprojection view =
            reprojectView(objectPoints, imagePoints, result.rvec, result.tvec, input.K, input.kc);
        result.projected = std::move(view.projected);
        result.errors = std::move(view.errors);
        result.rms = view.rms;
        result.smallest = view.smallest;
        result.largest = view.largest;
    } catch (const cv::Exception& e) {
        return failed(std::move(result), TargetPoseError::OpenCvError, e.what());
    }
    result.imagePoints = std::move(imagePoints);
    result.objectPoints = std::move(objectPoints);
    return result;
}
