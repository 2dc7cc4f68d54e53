#include "core/calib/stereo_run.h"

#include "core/calib/reprojection.h"
#include "core/calib/stereo_calib.h"
#include "core/geometry/camera_checks.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>

int stereoCalibrationFlags(const StereoCameraOptions& o)
{
    const int start = o.sameFocalLength ? cv::CALIB_SAME_FOCAL_LENGTH : 0;
    int flags = start;
    if (o.fixIntrinsic)
        flags = cv::CALIB_FIX_INTRINSIC | start;
    if (o.useIntrinsicGuess)
        flags |= cv::CALIB_USE_INTRINSIC_GUESS;
    if (o.fixFocalLength)
        flags |= cv::CALIB_FIX_FOCAL_LENGTH;
    if (o.fixPrincipalPoint)
        flags |= cv::CALIB_FIX_PRINCIPAL_POINT;
    if (o.fixAspectRatio)
        flags |= cv::CALIB_FIX_ASPECT_RATIO;
    if (o.fixK1)
        flags |= cv::CALIB_FIX_K1;
    if (o.fixK2)
        flags |= cv::CALIB_FIX_K2;
    if (o.fixK3)
        flags |= cv::CALIB_FIX_K3;
    if (!o.tangentialDistortion)
        flags |= cv::CALIB_ZERO_TANGENT_DIST;
    if (!o.radialDistortion) {
        flags |= cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3 | cv::CALIB_ZERO_TANGENT_DIST;
    } else if (o.rationalModel) {
        flags |= cv::CALIB_RATIONAL_MODEL;
        if (o.fixK4)
            flags |= cv::CALIB_FIX_K4;
        if (o.fixK5)
            flags |= cv::CALIB_FIX_K5;
        if (o.fixK6)
            flags |= cv::CALIB_FIX_K6;
    }
    return flags;
}

namespace {

bool finite(const cv::Mat& m)
{
    return !m.empty() && cv::checkRange(m);
}

} // namespace

StereoCalibration calibrateStereoViews(const StereoViewsInput& in)
{
    StereoCalibration result;
    const size_t n = in.objectPoints.size();
    if (n == 0) {
        result.error = "no view to calibrate with";
        return result;
    }
    for (int c = 0; c < 2; ++c)
        if (in.cameras[c].corners.size() != n) {
            result.error = "the two cameras have different numbers of views";
            return result;
        }
    for (size_t v = 0; v < n; ++v) {
        const size_t points = in.objectPoints[v].size();
        if (in.cameras[0].corners[v].size() != points || in.cameras[1].corners[v].size() != points) {
            result.error = "view " + std::to_string(v) + " has " + std::to_string(points) +
                           " board points but " + std::to_string(in.cameras[0].corners[v].size()) + " and " +
                           std::to_string(in.cameras[1].corners[v].size()) + " corners in the two cameras";
            return result;
        }
        if (points < 4) {
            result.error = "view " + std::to_string(v) + " has fewer than 4 points";
            return result;
        }
    }

    std::array<cv::Mat, 2> K, kc;
    for (int c = 0; c < 2; ++c) {
        K[c] = in.cameras[c].K.clone();
        kc[c] = in.cameras[c].kc.clone();
    }
    cv::Mat R, T, E, F, perView;
    std::array<std::vector<cv::Mat>, 2> rvecs, tvecs;
    StereoRefinementReport refinement;
    std::array<CoefficientCut, 2> startCut;
    double rms = 0;
    try {
        for (int c = 0; c < 2; ++c)
            startCut[c] = startCoefficientCut(in.cameras[c].kc, in.cameras[c].flags);
        rms =
            stereoCalibrateDual(in.objectPoints, in.cameras[0].corners, in.cameras[1].corners, K[0], kc[0],
                                K[1], kc[1], in.cameras[0].imageSize, in.cameras[1].imageSize, R, T, E, F,
                                perView, in.cameras[0].flags, in.cameras[1].flags, in.criteria, &refinement);
        // Each view's board pose with the calibrated model as it is.
        for (int c = 0; c < 2; ++c)
            for (size_t v = 0; v < n; ++v) {
                cv::Mat rvec, tvec;
                cv::solvePnP(in.objectPoints[v], in.cameras[c].corners[v], K[c], kc[c], rvec, tvec, false,
                             cv::SOLVEPNP_ITERATIVE);
                rvec.convertTo(rvec, CV_64F);
                tvec.convertTo(tvec, CV_64F);
                rvecs[c].push_back(rvec.reshape(1, 3));
                tvecs[c].push_back(tvec.reshape(1, 3));
            }
    } catch (const cv::Exception& e) {
        result.error = e.what();
        return result;
    }

    bool allFinite = std::isfinite(rms) && finite(K[0]) && finite(K[1]) && finite(kc[0]) && finite(kc[1]) &&
                     finite(R) && finite(T) && finite(F);
    for (int c = 0; c < 2 && allFinite; ++c)
        for (size_t v = 0; v < n && allFinite; ++v)
            allFinite = finite(rvecs[c][v]) && finite(tvecs[c][v]);
    if (!allFinite) {
        result.error = "the calibration gave no finite result";
        return result;
    }
    for (int c = 0; c < 2; ++c)
        if (!isCameraMatrix(K[c])) {
            result.nonPositiveFocalLength = true;
            result.error = (c == 0 ? "primary camera: " : "secondary camera: ") + focalLengthsText(K[c]);
            return result;
        }

    result.ok = true;
    result.rms = rms;
    for (int c = 0; c < 2; ++c) {
        result.K[c] = K[c];
        result.kc[c] = kc[c].reshape(1, 1);
    }
    result.startCut = startCut;
    result.R = R;
    result.T = T;
    result.E = E;
    result.F = F;
    result.perViewErrors = perView;
    result.rvecs = rvecs;
    result.tvecs = tvecs;
    result.refinement = refinement;
    return result;
}

StereoPairErrors
stereoPairErrors(const std::vector<cv::Point3f>& objectPoints, const std::vector<cv::Point2f>& primaryCorners,
                 const std::vector<cv::Point2f>& secondaryCorners, const cv::Mat& primaryRvec,
                 const cv::Mat& primaryTvec, const cv::Mat& secondaryRvec, const cv::Mat& secondaryTvec,
                 const std::array<cv::Mat, 2>& K, const std::array<cv::Mat, 2>& kc, const cv::Mat& F)
{
    const size_t n = objectPoints.size();
    if (primaryCorners.size() != n || secondaryCorners.size() != n)
        CV_Error(cv::Error::StsBadSize, "the corners of a pair must match its board points one to one");

    StereoPairErrors e;
    if (n == 0)
        return e;
    const std::vector<cv::Point2f>* corners[2] = {&primaryCorners, &secondaryCorners};
    const cv::Mat* rvec[2] = {&primaryRvec, &secondaryRvec};
    const cv::Mat* tvec[2] = {&primaryTvec, &secondaryTvec};
    for (int c = 0; c < 2; ++c) {
        ViewReprojection v = reprojectView(objectPoints, *corners[c], *rvec[c], *tvec[c], K[c], kc[c]);
        e.reprojected[c] = std::move(v.projected);
        e.pointErrors[c] = std::move(v.errors);
        e.minMax[c] = cv::Vec2d(v.smallest, v.largest);
    }

    // Epipolar distances on undistorted pixel positions, both ways.
    std::vector<cv::Point2f> undistorted[2];
    for (int c = 0; c < 2; ++c)
        cv::undistortPoints(*corners[c], undistorted[c], K[c], kc[c], cv::noArray(), K[c]);
    std::vector<cv::Vec3f> linesInSecondary, linesInPrimary;
    cv::computeCorrespondEpilines(undistorted[0], 1, F, linesInSecondary);
    cv::computeCorrespondEpilines(undistorted[1], 2, F, linesInPrimary);
    e.epipolarErrors.resize(n);
    double sum = 0;
    for (size_t j = 0; j < n; ++j) {
        const cv::Vec3f& l2 = linesInSecondary[j];
        const cv::Vec3f& l1 = linesInPrimary[j];
        const cv::Point2f& p1 = undistorted[0][j];
        const cv::Point2f& p2 = undistorted[1][j];
        const float err =
            std::abs(l2[0] * p2.x + l2[1] * p2.y + l2[2]) + std::abs(l1[0] * p1.x + l1[1] * p1.y + l1[2]);
        e.epipolarErrors[j] = err;
        e.epipolarMinMax[0] = std::min(e.epipolarMinMax[0], double(err));
        e.epipolarMinMax[1] = std::max(e.epipolarMinMax[1], double(err));
        sum += double(err) * err;
    }
    e.epipolarRms = std::sqrt(sum / double(n));
    return e;
}

std::vector<size_t> stereoOutliers(const StereoPairErrors& e, const StereoOutlierThresholds& t)
{
    std::vector<size_t> out;
    for (size_t j = 0; j < e.epipolarErrors.size(); ++j)
        if (e.pointErrors[0][j] > t.primary || e.pointErrors[1][j] > t.secondary ||
            e.epipolarErrors[j] > t.epipolar)
            out.push_back(j);
    return out;
}

void eraseStereoPoints(const std::vector<size_t>& indices, std::vector<cv::Point2f>& primaryCorners,
                       std::vector<cv::Point2f>& secondaryCorners, std::vector<cv::Point3f>& objectPoints)
{
    for (auto it = indices.rbegin(); it != indices.rend(); ++it) {
        const auto j = static_cast<std::ptrdiff_t>(*it);
        if (*it < primaryCorners.size())
            primaryCorners.erase(primaryCorners.begin() + j);
        if (*it < secondaryCorners.size())
            secondaryCorners.erase(secondaryCorners.begin() + j);
        if (*it < objectPoints.size())
            objectPoints.erase(objectPoints.begin() + j);
    }
}

// ------------------------------------------------------------- the whole run

namespace {

// Size of an image whose points come from its corner file; (0, 0) when it
// cannot be read.
cv::Size imageSizeOf(const std::string& path)
{
    try {
        return cv::imread(path, cv::IMREAD_GRAYSCALE).size();
    } catch (const cv::Exception&) {
        return cv::Size();
    }
}

// Two requests per pair, primary then secondary, in pair order. Nothing is
// read of a pair that is not selected, nor of an image with a corner file.
std::vector<DetectionRequest> detectionRequests(const StereoRunInput& in)
{
    const size_t n = in.cameras[0].images.size();
    std::vector<DetectionRequest> requests(2 * n);
    for (size_t i = 0; i < n; ++i) {
        const bool both = in.cameras[0].images[i].checked && in.cameras[1].images[i].checked;
        for (int c = 0; c < 2; ++c) {
            const StereoImage& image = in.cameras[c].images[i];
            DetectionRequest& request = requests[2 * i + size_t(c)];
            request.path = image.path;
            request.mirror = in.cameras[c].mirror;
            request.selected = both && !image.cornerFile;
        }
    }
    return requests;
}

// Builds the record of each pair from what the detection pass found in its
// two images, in pair order (the first image read of each camera sets the
// size of that camera's images).
class PairAssembler {
public:
    explicit PairAssembler(const StereoRunInput& in)
        : in(in),
          board(chessboardObjectPoints(in.board.patternSize, in.board.squareWidth, in.board.squareHeight))
    {
    }

    StereoPair assemble(size_t i, const std::array<std::optional<BoardDetection>, 2>& detections,
                        const std::array<bool, 2>& reused)
    {
        StereoPair pair;
        if (!in.cameras[0].images[i].checked || !in.cameras[1].images[i].checked) {
            pair.status = StereoPair::Status::NotSelected;
            return pair;
        }
        std::array<bool, 2> found{};
        for (int c = 0; c < 2; ++c)
            if (!takeImage(pair, i, c, detections[c], reused[c], found[c]))
                return pair;
        if (!found[0] || !found[1])
            return failed(pair, StereoPair::Status::NotFound);
        // Detected corners belong to the board's grid; only a pair measured
        // in both images brings its own object points.
        const bool measured = pair.fromCornerFile[0] && pair.fromCornerFile[1];
        pair.objectPoints = measured ? in.cameras[0].images[i].cornerFile->objectPoints : board;
        if (pair.imagePoints[0].size() != pair.objectPoints.size() ||
            pair.imagePoints[1].size() != pair.objectPoints.size()) {
            pair.status = StereoPair::Status::PointCountMismatch;
            return pair;
        }
        leaveOutEarlierOutliers(pair, i);
        pair.status = StereoPair::Status::Ready;
        return pair;
    }

private:
    static StereoPair& failed(StereoPair& pair, StereoPair::Status status, int camera = -1)
    {
        pair.status = status;
        pair.camera = camera;
        pair.imagePoints = {};
        return pair;
    }

    // One image of the pair: its points and its size. False when the pair
    // fails on it.
    bool takeImage(StereoPair& pair, size_t i, int c, const std::optional<BoardDetection>& detection,
                   bool reused, bool& found)
    {
        const StereoImage& image = in.cameras[c].images[i];
        if (image.cornerFile) {
            pair.fromCornerFile[c] = true;
            pair.imageSize[c] = imageSizeOf(image.path);
            pair.imagePoints[c] = image.cornerFile->imagePoints;
            found = true;
        } else if (detection && detection->outcome == BoardDetection::Outcome::Error) {
            pair.error = detection->error;
            failed(pair, StereoPair::Status::DetectorError, c);
            return false;
        } else if (detection) {
            pair.imageSize[c] = detection->imageSize;
            pair.reused[c] = reused;
            found = detection->found();
            if (found)
                pair.imagePoints[c] = detection->corners;
        }
        if (pair.imageSize[c].area() == 0) {
            failed(pair, StereoPair::Status::Unreadable, c);
            return false;
        }
        if (firstSize[c].area() == 0)
            firstSize[c] = pair.imageSize[c];
        if (pair.imageSize[c] != firstSize[c]) {
            pair.expectedSize = firstSize[c];
            failed(pair, StereoPair::Status::SizeMismatch, c);
            return false;
        }
        return true;
    }

    // The outliers an earlier run removed stay out while the pair's points
    // are the ones they were found on, and while at least 4 points remain.
    void leaveOutEarlierOutliers(StereoPair& pair, size_t i) const
    {
        const size_t count = pair.objectPoints.size();
        pair.pointIndices.resize(count);
        for (size_t j = 0; j < count; ++j)
            pair.pointIndices[j] = j;
        if (i >= in.excludedPoints.size() || in.excludedPoints[i].empty())
            return;
        const bool sameAsBefore =
            (pair.reused[0] || pair.fromCornerFile[0]) && (pair.reused[1] || pair.fromCornerFile[1]);
        std::vector<size_t> excluded = in.excludedPoints[i];
        std::sort(excluded.begin(), excluded.end());
        excluded.erase(std::unique(excluded.begin(), excluded.end()), excluded.end());
        if (!sameAsBefore || excluded.back() >= count || count - excluded.size() < 4)
            return;
        eraseStereoPoints(excluded, pair.imagePoints[0], pair.imagePoints[1], pair.objectPoints);
        for (auto it = excluded.rbegin(); it != excluded.rend(); ++it)
            pair.pointIndices.erase(pair.pointIndices.begin() + std::ptrdiff_t(*it));
        pair.excludedPoints = std::move(excluded);
    }

    const StereoRunInput& in;
    const std::vector<cv::Point3f> board;
    std::array<cv::Size, 2> firstSize;
};

// The detection pass over all pairs; false when the progress callback
// stopped it.
bool detectPairs(const StereoRunInput& in, DetectionCache& cache, const StereoRunCallback& progress,
                 std::vector<StereoPair>& pairs)
{
    PairAssembler assembler(in);
    std::optional<BoardDetection> primary;
    bool primaryReused = false;
    auto step = [&](size_t index, const std::optional<BoardDetection>& detection, bool reused) {
        StereoRunProgress report;
        report.index = index / 2;
        if (index % 2 == 0) {
            primary = detection;
            primaryReused = reused;
        } else {
            pairs[report.index] =
                assembler.assemble(report.index, {primary, detection}, {primaryReused, reused});
            report.pair = &pairs[report.index];
        }
        return !progress || progress(report);
    };
    return !detectBoards(detectionRequests(in), in.board, cache, step).aborted;
}

// The calibration input of the ready pairs; `rows` gets their list rows.
StereoViewsInput readyViews(const StereoRunInput& in, const std::vector<StereoPair>& pairs,
                            std::vector<size_t>& rows)
{
    StereoViewsInput views;
    views.criteria = in.criteria;
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (!pairs[i].ready())
            continue;
        rows.push_back(i);
        views.objectPoints.push_back(pairs[i].objectPoints);
        for (int c = 0; c < 2; ++c)
            views.cameras[c].corners.push_back(pairs[i].imagePoints[c]);
    }
    for (int c = 0; c < 2; ++c) {
        const StereoRunCamera& camera = in.cameras[c];
        StereoViewsCamera& view = views.cameras[c];
        view.flags = stereoCalibrationFlags(camera.options);
        view.K = camera.K;
        // Without radial distortion the camera starts undistorted, whatever
        // an earlier run or the scene gave.
        view.kc = camera.options.radialDistortion ? camera.kc : cv::Mat::zeros(1, 5, CV_64F);
        if (!rows.empty())
            view.imageSize = pairs[rows.front()].imageSize[c];
    }
    return views;
}

// Each ready pair's poses, errors and outliers after the calibration.
void fitPairs(const StereoRunInput& in, const StereoCalibration& cal, const std::vector<size_t>& rows,
              std::vector<StereoPair>& pairs)
{
    for (size_t k = 0; k < rows.size(); ++k) {
        StereoPair& pair = pairs[rows[k]];
        StereoPairFit fit;
        for (int c = 0; c < 2; ++c) {
            fit.rvecs[c] = cal.rvecs[c][k];
            fit.tvecs[c] = cal.tvecs[c][k];
            fit.reprojErrors[c] = cal.perViewErrors.at<double>(int(k), c);
        }
        fit.errors =
            stereoPairErrors(pair.objectPoints, pair.imagePoints[0], pair.imagePoints[1], fit.rvecs[0],
                             fit.tvecs[0], fit.rvecs[1], fit.tvecs[1], cal.K, cal.kc, cal.F);
        if (in.outlierThresholds)
            fit.outliers = stereoOutliers(fit.errors, *in.outlierThresholds);
        pair.fit = std::move(fit);
    }
}

} // namespace

std::vector<size_t> excludedAfterOutliers(const StereoPair& pair)
{
    std::vector<size_t> out = pair.excludedPoints;
    if (pair.fit)
        for (size_t j : pair.fit->outliers)
            if (j < pair.pointIndices.size())
                out.push_back(pair.pointIndices[j]);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

StereoRunResult runStereoCalibration(const StereoRunInput& in, DetectionCache& cache,
                                     const StereoRunCallback& progress)
{
    StereoRunResult result;
    result.board = in.board;
    const size_t n = in.cameras[0].images.size();
    if (in.cameras[1].images.size() != n) {
        result.status = StereoRunResult::Status::ListSizeMismatch;
        return result;
    }
    if (n == 0) {
        result.status = StereoRunResult::Status::NoImages;
        return result;
    }
    result.pairs.resize(n);
    if (!detectPairs(in, cache, progress, result.pairs)) {
        result.status = StereoRunResult::Status::Aborted;
        return result;
    }

    std::vector<size_t> rows;
    const StereoViewsInput views = readyViews(in, result.pairs, rows);
    if (rows.empty()) {
        result.status = StereoRunResult::Status::NoPairs;
        return result;
    }
    for (size_t k = 0; k < rows.size(); ++k)
        for (int c = 0; c < 2; ++c)
            if (!imagePointsWithinBound(views.cameras[c].corners[k], views.cameras[c].imageSize,
                                        result.error)) {
                result.status = StereoRunResult::Status::PointsOutOfBounds;
                result.refusedPair = rows[k];
                result.refusedCamera = c;
                return result;
            }
    StereoRunProgress beforeCalibration;
    beforeCalibration.stage = StereoRunProgress::Stage::Calibration;
    beforeCalibration.index = n;
    if (progress && !progress(beforeCalibration)) {
        result.status = StereoRunResult::Status::Aborted;
        return result;
    }

    for (int c = 0; c < 2; ++c)
        result.imageSize[c] = views.cameras[c].imageSize;
    result.calibration = calibrateStereoViews(views);
    if (result.calibration.ok) {
        try {
            fitPairs(in, result.calibration, rows, result.pairs);
        } catch (const cv::Exception& e) {
            result.calibration = StereoCalibration();
            result.calibration.error = e.what();
            for (StereoPair& pair : result.pairs)
                pair.fit.reset();
        }
    }
    if (result.calibration.ok)
        result.status = StereoRunResult::Status::Calibrated;
    else if (result.calibration.nonPositiveFocalLength)
        result.status = StereoRunResult::Status::NonPositiveFocalLength;
    else
        result.status = StereoRunResult::Status::CalibrationFailed;
    result.error = result.calibration.error;
    return result;
}

bool writeStereoResultFile(const std::string& path, const StereoResultFile& r, std::string& error)
{
    std::string text;
    try {
        cv::FileStorage fs(".yml",
                           cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        fs << "imgSize0" << r.imageSize0;
        fs << "K0" << r.K0;
        fs << "kc0" << r.kc0;
        fs << "imgSize1" << r.imageSize1;
        fs << "K1" << r.K1;
        fs << "kc1" << r.kc1;
        fs << "R" << r.R;
        fs << "T" << r.T;
        fs << "F" << r.F;
        fs << "reprojErrRMS" << r.rms;
        text = fs.releaseAndGetString();
    } catch (const cv::Exception& e) {
        error = e.what();
        return false;
    }
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString().toStdString();
        return false;
    }
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}
