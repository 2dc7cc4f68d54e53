#include "core/calib/intrinsic_calibration.h"

#include "core/calib/reprojection.h"
#include "core/geometry/camera_checks.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <utility>

namespace {

bool allFinite(const cv::Mat& m)
{
    return m.empty() || cv::checkRange(m);
}

// Ends the run with an error: the result keeps what it knows of the images
// but no parameters and no fits.
IntrinsicCalibrationResult failed(IntrinsicCalibrationResult result, IntrinsicCalibrationError error,
                                  std::string message)
{
    result.error = error;
    result.message = std::move(message);
    result.K.release();
    result.kc.release();
    result.stdDevIntrinsics.release();
    result.rms = 0;
    for (IntrinsicView& view : result.views)
        view.fit.reset();
    return result;
}

// The detection pass over the selected images whose corners do not stand in
// for them. Fills each image's detection and board; false when a callback
// stopped the pass.
bool findBoards(const IntrinsicCalibrationInput& input, DetectionCache& cache,
                const DetectionProgress& progress, std::vector<IntrinsicView>& views)
{
    const std::vector<cv::Point3f> board =
        chessboardObjectPoints(input.board.patternSize, input.board.squareWidth, input.board.squareHeight);
    std::vector<DetectionRequest> requests(input.images.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        const IntrinsicImage& image = input.images[i];
        requests[i].path = image.path;
        requests[i].selected = image.selected && !image.corners;
        requests[i].mirror = input.mirror;
    }

    auto tell = [&](size_t i, const std::optional<BoardDetection>& detection, bool reused) {
        const IntrinsicImage& image = input.images[i];
        IntrinsicView& view = views[i];
        if (image.selected && image.corners) {
            view.corners = image.corners;
            BoardDetection given;
            given.outcome = BoardDetection::Outcome::Found;
            given.corners = image.corners->imagePoints;
            return !progress || progress(i, given, false);
        }
        if (detection) {
            view.detection = detection;
            view.reused = reused;
            if (detection->found())
                view.corners = BoardCorners{detection->corners, board};
        }
        return !progress || progress(i, detection, reused);
    };
    return !detectBoards(requests, input.board, cache, tell).aborted;
}

// The boards of the images that are not selected, as far as they are known
// without detecting: their stand-in corners or the cache's detection.
void knownBoardsOfUnselected(const IntrinsicCalibrationInput& input, const DetectionCache& cache,
                             std::vector<IntrinsicView>& views)
{
    const std::vector<cv::Point3f> board =
        chessboardObjectPoints(input.board.patternSize, input.board.squareWidth, input.board.squareHeight);
    for (size_t i = 0; i < input.images.size(); ++i) {
        const IntrinsicImage& image = input.images[i];
        if (image.selected)
            continue;
        if (image.corners) {
            views[i].corners = image.corners;
            continue;
        }
        DetectionRequest request;
        request.path = image.path;
        request.mirror = input.mirror;
        const std::optional<BoardDetection> cached = cache.find(request, input.board);
        if (cached && cached->found())
            views[i].corners = BoardCorners{cached->corners, board};
    }
}

// The image size of the run: that of the first used image, known from its
// detection or read from its file. Throws cv::Exception when OpenCV cannot
// read the file; (0, 0) when it is not an image.
cv::Size imageSizeOf(const IntrinsicView& view, const std::string& path)
{
    if (view.detection && view.detection->readable())
        return view.detection->imageSize;
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    return image.size();
}

// How well the calibration explains one view, and its corners without the
// outliers above the threshold (a negative threshold lists none).
IntrinsicViewFit fitOf(const BoardCorners& corners, const cv::Mat& rvec, const cv::Mat& tvec,
                       double viewError, const cv::Mat& K, const cv::Mat& kc, double threshold)
{
    IntrinsicViewFit fit;
    rvec.convertTo(fit.rvec, CV_64F);
    tvec.convertTo(fit.tvec, CV_64F);
    fit.rvec = fit.rvec.reshape(1, 3);
    fit.tvec = fit.tvec.reshape(1, 3);
    fit.reprojError = viewError;
    const ViewReprojection view =
        reprojectView(corners.objectPoints, corners.imagePoints, fit.rvec, fit.tvec, K, kc, threshold);
    fit.smallest = view.smallest;
    fit.largest = view.largest;
    fit.outliers = view.outliers;
    for (size_t j = 0, next = 0; j < corners.imagePoints.size(); ++j) {
        if (next < view.outliers.size() && view.outliers[next] == j) {
            ++next;
            continue;
        }
        fit.kept.imagePoints.push_back(corners.imagePoints[j]);
        fit.kept.objectPoints.push_back(corners.objectPoints[j]);
        fit.reprojectedPoints.push_back(view.projected[j]);
        fit.reprojErrors.push_back(view.errors[j]);
    }
    return fit;
}

} // namespace

bool IntrinsicCalibrationResult::hasOutliers() const
{
    for (const IntrinsicView& view : views)
        if (view.fit && !view.fit->outliers.empty())
            return true;
    return false;
}

IntrinsicCalibrationResult calibrateIntrinsics(const IntrinsicCalibrationInput& input, DetectionCache& cache,
                                               const IntrinsicRunProgress& progress)
{
    using Error = IntrinsicCalibrationError;
    IntrinsicCalibrationResult result;
    result.board = input.board;
    result.views.resize(input.images.size());
    if (!findBoards(input, cache, progress.image, result.views))
        return failed(std::move(result), Error::Aborted, "the calibration was aborted");
    knownBoardsOfUnselected(input, cache, result.views);

    // The views to calibrate with: every selected image with a board.
    std::vector<size_t> used;
    std::vector<std::vector<cv::Point2f>> imagePoints;
    std::vector<std::vector<cv::Point3f>> objectPoints;
    for (size_t i = 0; i < input.images.size(); ++i) {
        const std::optional<BoardCorners>& corners = result.views[i].corners;
        if (!input.images[i].selected || !corners || corners->imagePoints.empty() ||
            corners->objectPoints.empty())
            continue;
        result.views[i].used = true;
        used.push_back(i);
        imagePoints.push_back(corners->imagePoints);
        objectPoints.push_back(corners->objectPoints);
    }
    if (used.empty())
        return failed(std::move(result), Error::NoViews, "no selected image has a board");

    try {
        result.imageSize = imageSizeOf(result.views[used.front()], input.images[used.front()].path);
    } catch (const cv::Exception& e) {
        return failed(std::move(result), Error::OpenCvError, e.what());
    }
    if (result.imageSize.area() <= 0)
        return failed(std::move(result), Error::ImageUnreadable, input.images[used.front()].path);
    for (size_t k = 0; k < used.size(); ++k) {
        std::string why;
        if (!imagePointsWithinBound(imagePoints[k], result.imageSize, why)) {
            result.refusedImage = used[k];
            return failed(std::move(result), Error::PointsOutOfBounds, why);
        }
    }
    if (progress.beforeCalibration && !progress.beforeCalibration())
        return failed(std::move(result), Error::Aborted, "the calibration was aborted");
    if (objectPoints.front().front().z != 0.f && input.K.empty())
        return failed(std::move(result), Error::NonPlanarNeedsK,
                      "a non-planar target needs initial intrinsic parameters (fx, fy, cx, cy)");

    result.K = input.K.clone();
    result.kc = input.kc.clone();
    std::vector<cv::Mat> rvecs, tvecs;
    cv::Mat stdDevExtrinsics, viewErrors;
    try {
        result.rms = cv::calibrateCamera(objectPoints, imagePoints, result.imageSize, result.K, result.kc,
                                         rvecs, tvecs, result.stdDevIntrinsics, stdDevExtrinsics, viewErrors,
                                         input.flags, input.criteria);
    } catch (const cv::Exception& e) {
        return failed(std::move(result), Error::OpenCvError, e.what());
    }
    const size_t n = used.size();
    if (!std::isfinite(result.rms) || result.K.empty() || !allFinite(result.K) || !allFinite(result.kc) ||
        rvecs.size() != n || tvecs.size() != n || viewErrors.total() != n)
        return failed(std::move(result), Error::NotFinite, "the calibration gave no finite result");
    if (!isCameraMatrix(result.K)) {
        std::string why = focalLengthsText(result.K);
        return failed(std::move(result), Error::NonPositiveFocalLength, std::move(why));
    }

    cv::Mat errors64;
    viewErrors.convertTo(errors64, CV_64F);
    try {
        for (size_t k = 0; k < n; ++k) {
            IntrinsicView& view = result.views[used[k]];
            view.fit = fitOf(*view.corners, rvecs[k], tvecs[k], errors64.ptr<double>()[k], result.K,
                             result.kc, input.outlierThreshold);
        }
    } catch (const cv::Exception& e) {
        return failed(std::move(result), Error::OpenCvError, e.what());
    }
    return result;
}
