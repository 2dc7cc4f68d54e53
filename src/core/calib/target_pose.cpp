#include "core/calib/target_pose.h"

#include "core/calib/reprojection.h"
#include "core/chessboard/chessboard_detection.h"
#include "core/geometry/camera_checks.h"

#include <opencv2/calib3d.hpp>

TargetPoseResult estimateTargetPose(const TargetPoseInput& input)
{
    TargetPoseResult result;
    auto fail = [&result](TargetPoseError error, std::string message) {
        result.error = error;
        result.message = std::move(message);
        result.rvec.release();
        result.tvec.release();
        result.R.release();
        return result;
    };

    std::vector<cv::Point2f> imagePoints = input.imagePoints;
    std::vector<cv::Point3f> objectPoints =
        chessboardObjectPoints(input.patternSize, input.squareWidth, input.squareHeight);
    if (objectPoints.size() < 4 || imagePoints.size() != objectPoints.size())
        return fail(TargetPoseError::BadInput, "the corners do not match the board's pattern");
    if (!isCameraMatrix(input.K))
        return fail(TargetPoseError::BadInput, "K is not a 3x3 camera matrix with positive focal lengths");

    const bool p3p = input.method == PnpMethod::P3P;
    result.ransacUsed = input.ransac && !p3p;
    cv::Mat rvec, tvec;
    std::vector<int> inliers;
    bool solved = false;
    try {
        if (p3p) {
            // The board's four outer corners, once round the board.
            const int w = input.patternSize.width, h = input.patternSize.height;
            const size_t outer[4] = {0, static_cast<size_t>(w - 1), imagePoints.size() - 1,
                                     static_cast<size_t>(w * (h - 1))};
            std::vector<cv::Point2f> image4;
            std::vector<cv::Point3f> object4;
            for (const size_t k : outer) {
                image4.push_back(imagePoints[k]);
                object4.push_back(objectPoints[k]);
            }
            imagePoints = image4;
            objectPoints = object4;
            solved = cv::solvePnP(objectPoints, imagePoints, input.K, input.kc, rvec, tvec, false,
                                  cv::SOLVEPNP_P3P);
        } else {
            const int method = input.method == PnpMethod::EPnP ? cv::SOLVEPNP_EPNP : cv::SOLVEPNP_ITERATIVE;
            if (result.ransacUsed)
                solved = cv::solvePnPRansac(objectPoints, imagePoints, input.K, input.kc, rvec, tvec, false,
                                            input.ransacIterations, static_cast<float>(input.ransacMaxError),
                                            input.ransacConfidence / 100.0, inliers, method);
            else
                solved =
                    cv::solvePnP(objectPoints, imagePoints, input.K, input.kc, rvec, tvec, false, method);
        }
    } catch (const cv::Exception& e) {
        return fail(TargetPoseError::OpenCvError, e.what());
    }
    if (!solved || rvec.empty() || tvec.empty() || !cv::checkRange(rvec) || !cv::checkRange(tvec))
        return fail(TargetPoseError::NoSolution, "no pose was found");

    if (result.ransacUsed) {
        result.inliers = static_cast<int>(inliers.size());
        if (inliers.size() < imagePoints.size()) {
            std::vector<cv::Point2f> keptImage;
            std::vector<cv::Point3f> keptObject;
            for (const int k : inliers) {
                if (k < 0 || static_cast<size_t>(k) >= imagePoints.size())
                    continue;
                keptImage.push_back(imagePoints[static_cast<size_t>(k)]);
                keptObject.push_back(objectPoints[static_cast<size_t>(k)]);
            }
            imagePoints = keptImage;
            objectPoints = keptObject;
            if (imagePoints.size() < 4)
                return fail(TargetPoseError::TooFewInliers, "fewer than 4 inliers are left");
        }
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
        return fail(TargetPoseError::OpenCvError, e.what());
    }
    result.imagePoints = std::move(imagePoints);
    result.objectPoints = std::move(objectPoints);
    return result;
}
