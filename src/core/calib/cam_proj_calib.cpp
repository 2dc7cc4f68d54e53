#include "core/calib/cam_proj_calib.h"

#include "core/calib/stereo_calib.h"

#include <opencv2/calib3d.hpp>

#include <QFileInfo>

#include <cmath>

int intrinsicFlags(const IntrinsicFlagOptions& o)
{
    int flags = 0;
    if (o.fixIntrinsic)
        flags |= cv::CALIB_FIX_INTRINSIC;
    if (o.useIntrinsicGuess)
        flags |= cv::CALIB_USE_INTRINSIC_GUESS;
    if (o.fixFocal)
        flags |= cv::CALIB_FIX_FOCAL_LENGTH;
    if (o.fixPrincipalPoint)
        flags |= cv::CALIB_FIX_PRINCIPAL_POINT;
    if (o.fixAspectRatio)
        flags |= cv::CALIB_FIX_ASPECT_RATIO;
    const int fixK[6] = {cv::CALIB_FIX_K1, cv::CALIB_FIX_K2, cv::CALIB_FIX_K3,
                         cv::CALIB_FIX_K4, cv::CALIB_FIX_K5, cv::CALIB_FIX_K6};
    for (int i = 0; i < 6; ++i)
        if (o.fixK[i])
            flags |= fixK[i];
    if (o.rationalModel)
        flags |= cv::CALIB_RATIONAL_MODEL;
    if (!o.tangential)
        flags |= cv::CALIB_ZERO_TANGENT_DIST;
    if (!o.radial)
        flags |= cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K1 | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;
    return flags;
}

cv::Mat zeroDistortion()
{
    return cv::Mat::zeros(1, 5, CV_64F);
}

namespace {

bool allFinite(const cv::Mat& m)
{
    return m.empty() || cv::checkRange(m);
}

template <class A, class B> bool sameShape(const std::vector<A>& a, const std::vector<B>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size() || a[i].size() < 4)
            return false;
    return true;
}

} // namespace

ProjectorCalibResult calibrateProjectorIntrinsics(const ProjectorCalibInput& in)
{
    ProjectorCalibResult r;
    if (in.objectPoints.empty()) {
        r.error = "no image set with projector corners";
        return r;
    }
    if (!sameShape(in.objectPoints, in.projCorners)) {
        r.error = "object points and projector corners do not match";
        return r;
    }
    if (in.projectorSize.width <= 0 || in.projectorSize.height <= 0) {
        r.error = "the projector size is not positive";
        return r;
    }
    r.K = in.K.empty() ? cv::Mat() : in.K.clone();
    r.kc = in.kc.empty() ? cv::Mat() : in.kc.clone();
    try {
        cv::Mat stdExtrinsics, perView;
        r.rms = cv::calibrateCamera(in.objectPoints, in.projCorners, in.projectorSize, r.K, r.kc, r.rvecs,
                                    r.tvecs, r.stdIntrinsics, stdExtrinsics, perView, in.flags, in.criteria);
        perView.convertTo(perView, CV_64F);
        r.perViewErrors.assign(perView.begin<double>(), perView.end<double>());
    } catch (const cv::Exception& e) {
        r.error = e.what();
        return r;
    }
    if (!std::isfinite(r.rms) || !allFinite(r.K) || !allFinite(r.kc)) {
        r.error = "the calibration gave a result that is not finite";
        return r;
    }
    r.ok = true;
    return r;
}

namespace {

bool solvePoses(const std::vector<std::vector<cv::Point3f>>& object,
                const std::vector<std::vector<cv::Point2f>>& image, const cv::Mat& K, const cv::Mat& kc,
                std::vector<cv::Mat>& rvecs, std::vector<cv::Mat>& tvecs)
{
    rvecs.clear();
    tvecs.clear();
    for (size_t i = 0; i < object.size(); ++i) {
        cv::Mat rvec, tvec;
        if (!cv::solvePnP(object[i], image[i], K, kc, rvec, tvec, false, cv::SOLVEPNP_ITERATIVE))
            return false;
        rvec.convertTo(rvec, CV_64F);
        tvec.convertTo(tvec, CV_64F);
        rvecs.push_back(rvec);
        tvecs.push_back(tvec);
    }
    return true;
}

} // namespace

CamProjStereoResult calibrateCamProjStereo(const CamProjStereoInput& in)
{
    CamProjStereoResult r;
    if (in.objectPoints.size() < 3) {
        r.error = "at least 3 image sets are needed";
        return r;
    }
    if (!sameShape(in.objectPoints, in.camCorners) || !sameShape(in.objectPoints, in.projCorners)) {
        r.error = "object points, camera corners and projector corners do not match";
        return r;
    }
    if (in.cameraSize.width <= 0 || in.cameraSize.height <= 0 || in.projectorSize.width <= 0 ||
        in.projectorSize.height <= 0) {
        r.error = "an image size is not positive";
        return r;
    }
    r.camK = in.camK.empty() ? cv::Mat() : in.camK.clone();
    r.camKc = in.camKc.empty() ? cv::Mat() : in.camKc.clone();
    r.projK = in.projK.empty() ? cv::Mat() : in.projK.clone();
    r.projKc = in.projKc.empty() ? cv::Mat() : in.projKc.clone();
    try {
        r.rms = stereoCalibrateDual(in.objectPoints, in.camCorners, in.projCorners, r.camK, r.camKc, r.projK,
                                    r.projKc, in.cameraSize, in.projectorSize, r.R, r.T, r.E, r.F,
                                    r.perViewErrors, in.camFlags, in.projFlags, in.criteria);
    } catch (const cv::Exception& e) {
        r.error = e.what();
        return r;
    }
    if (!std::isfinite(r.rms) || !allFinite(r.camK) || !allFinite(r.projK) || !allFinite(r.camKc) ||
        !allFinite(r.projKc) || !allFinite(r.R) || !allFinite(r.T)) {
        r.error = "the calibration gave a result that is not finite";
        return r;
    }
    try {
        if (!solvePoses(in.objectPoints, in.camCorners, r.camK, r.camKc, r.camRvecs, r.camTvecs) ||
            !solvePoses(in.objectPoints, in.projCorners, r.projK, r.projKc, r.projRvecs, r.projTvecs)) {
            r.error = "a board pose could not be estimated";
            return r;
        }
    } catch (const cv::Exception& e) {
        r.error = e.what();
        return r;
    }
    r.ok = true;
    return r;
}

namespace {

bool finishWrite(cv::FileStorage& fs, const std::string& path, std::string* error)
{
    try {
        fs.release();
    } catch (const cv::Exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
    if (!QFileInfo(QString::fromStdString(path)).isFile()) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace

bool writeProjectorIntrinsicsFile(const std::string& path, cv::Size size, const cv::Mat& K, const cv::Mat& kc,
                                  double rms, std::string* error)
{
    if (error)
        error->clear();
    try {
        cv::FileStorage fs(path, cv::FileStorage::WRITE);
        if (!fs.isOpened()) {
            if (error)
                *error = "cannot open " + path + " for writing";
            return false;
        }
        fs << "imgSize" << size << "K" << K << "kc" << kc << "reprojErrRMS" << rms;
        return finishWrite(fs, path, error);
    } catch (const cv::Exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
}

bool writeCamProjStereoFile(const std::string& path, const CamProjStereoResult& r, cv::Size cameraSize,
                            cv::Size projectorSize, std::string* error)
{
    if (error)
        error->clear();
    try {
        cv::FileStorage fs(path, cv::FileStorage::WRITE);
        if (!fs.isOpened()) {
            if (error)
                *error = "cannot open " + path + " for writing";
            return false;
        }
        fs << "imgSize0" << cameraSize << "K0" << r.camK << "kc0" << r.camKc << "imgSize1" << projectorSize
           << "K1" << r.projK << "kc1" << r.projKc << "R" << r.R << "T" << r.T << "reprojErrRMS" << r.rms;
        return finishWrite(fs, path, error);
    } catch (const cv::Exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
}
