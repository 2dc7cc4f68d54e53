#include "core/calib/stereo_run.h"

#include "core/calib/reprojection.h"
#include "core/calib/stereo_calib.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>

#include <opencv2/calib3d.hpp>

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

StereoRunResult runStereoCalibration(const StereoRunInput& in)
{
    StereoRunResult result;
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
    double rms = 0;
    try {
        rms = stereoCalibrateDual(in.objectPoints, in.cameras[0].corners, in.cameras[1].corners, K[0], kc[0],
                                  K[1], kc[1], in.cameras[0].imageSize, in.cameras[1].imageSize, R, T, E, F,
                                  perView, in.cameras[0].flags, in.cameras[1].flags, in.criteria);
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

    result.ok = true;
    result.rms = rms;
    for (int c = 0; c < 2; ++c) {
        result.K[c] = K[c];
        result.kc[c] = kc[c].reshape(1, 1);
    }
    result.R = R;
    result.T = T;
    result.E = E;
    result.F = F;
    result.perViewErrors = perView;
    result.rvecs = rvecs;
    result.tvecs = tvecs;
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
