#include "core/calib/intrinsic_calibration.h"

#include <opencv2/calib3d.hpp>

#include <cmath>

namespace {

bool allFinite(const cv::Mat& m)
{
    return m.empty() || cv::checkRange(m);
}

IntrinsicCalibrationResult failure(IntrinsicCalibrationError error, std::string message)
{
    IntrinsicCalibrationResult result;
    result.error = error;
    result.message = std::move(message);
    return result;
}

} // namespace

IntrinsicCalibrationResult calibrateIntrinsics(const IntrinsicCalibrationInput& input,
                                               const std::function<bool()>& shouldAbort)
{
    if (input.imagePoints.empty() || input.objectPoints.size() != input.imagePoints.size() ||
        input.objectPoints.front().empty())
        return failure(IntrinsicCalibrationError::NoViews, "no view to calibrate with");
    if (input.objectPoints.front().front().z != 0.f && input.K.empty())
        return failure(IntrinsicCalibrationError::NonPlanarNeedsK,
                       "a non-planar target needs initial intrinsic parameters (fx, fy, cx, cy)");
    if (shouldAbort && shouldAbort())
        return failure(IntrinsicCalibrationError::Aborted, "the calibration was aborted");

    IntrinsicCalibrationResult result;
    result.K = input.K.clone();
    result.kc = input.kc.clone();
    cv::Mat stdDevExtrinsics, viewErrors;
    try {
        result.rms = cv::calibrateCamera(input.objectPoints, input.imagePoints, input.imageSize, result.K,
                                         result.kc, result.rvecs, result.tvecs, result.stdDevIntrinsics,
                                         stdDevExtrinsics, viewErrors, input.flags, input.criteria);
    } catch (const cv::Exception& e) {
        return failure(IntrinsicCalibrationError::OpenCvError, e.what());
    }
    const size_t n = input.imagePoints.size();
    if (!std::isfinite(result.rms) || result.K.empty() || !allFinite(result.K) || !allFinite(result.kc) ||
        result.rvecs.size() != n || result.tvecs.size() != n || viewErrors.total() != n)
        return failure(IntrinsicCalibrationError::NotFinite, "the calibration gave no finite result");
    cv::Mat errors64;
    viewErrors.convertTo(errors64, CV_64F);
    result.viewErrors.assign(errors64.ptr<double>(), errors64.ptr<double>() + n);
    return result;
}
