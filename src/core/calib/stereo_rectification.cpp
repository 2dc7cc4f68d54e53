#include "core/calib/stereo_rectification.h"

#include <QSaveFile>
#include <QString>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

bool isCameraMatrix(const cv::Mat& K)
{
    return K.rows == 3 && K.cols == 3 && K.channels() == 1 && cv::checkRange(K);
}

// Whether the rectifying rotations do their job: both rectified frames share
// one orientation (R1 R R0^T = I) and the baseline R1 T lies along their x
// axis (side by side) or y axis (above each other). OpenCV's construction
// can break down without an error, for instance for a baseline whose squared
// length exceeds double precision, and then returns rotations that do not.
bool rectifiesPair(const StereoRectification& r, const cv::Mat& R, const cv::Mat& T)
{
    constexpr double kTolerance = 1e-6;
    if (cv::norm(r.R1 * R * r.R0.t(), cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) > kTolerance)
        return false;
    const cv::Mat baseline = r.R1 * T;
    const int along = r.vertical() ? 1 : 0;
    const double length = std::abs(baseline.at<double>(along));
    for (int k = 0; k < 3; ++k)
        if (k != along && !(std::abs(baseline.at<double>(k)) <= kTolerance * length))
            return false;
    return length > 0;
}

} // namespace

bool rectifyStereo(const StereoRectifyInput& in, StereoRectification& out, std::string& error)
{
    if (in.imageSize.width < 1 || in.imageSize.height < 1) {
        error = "the calibrated image size is unknown";
        return false;
    }
    if (in.newImageSize.width < 1 || in.newImageSize.height < 1) {
        error = "the new image size " + std::to_string(in.newImageSize.width) + "x" +
                std::to_string(in.newImageSize.height) + " is invalid";
        return false;
    }
    for (int c = 0; c < 2; ++c)
        if (!isCameraMatrix(in.K[c])) {
            error = c == 0 ? "the primary camera has no valid camera matrix"
                           : "the secondary camera has no valid camera matrix";
            return false;
        }
    if (in.R.empty() || in.T.empty() || in.R.total() != 9 || in.T.total() != 3) {
        error = "there is no relative pose of the two cameras";
        return false;
    }

    StereoRectification r;
    r.imageSize = in.imageSize;
    r.newImageSize = in.newImageSize;
    r.alpha = in.alpha;
    r.flags = in.zeroDisparity ? cv::CALIB_ZERO_DISPARITY : 0;
    try {
        std::array<cv::Mat, 2> K, kc;
        for (int c = 0; c < 2; ++c) {
            in.K[c].convertTo(K[c], CV_64F);
            if (in.kc[c].empty())
                kc[c] = cv::Mat::zeros(1, 5, CV_64F);
            else
                in.kc[c].convertTo(kc[c], CV_64F);
        }
        cv::Mat R, T;
        in.R.convertTo(R, CV_64F);
        in.T.convertTo(T, CV_64F);
        cv::stereoRectify(K[0], kc[0], K[1], kc[1], in.imageSize, R.reshape(1, 3), T.reshape(1, 3), r.R0,
                          r.R1, r.P0, r.P1, r.Q, r.flags, in.alpha, in.newImageSize);
        if (!cv::checkRange(r.P0) || !cv::checkRange(r.P1) || !cv::checkRange(r.R0) ||
            !cv::checkRange(r.R1)) {
            error = "the rectification gave no finite result";
            return false;
        }
        // For strongly converging or distorted pairs OpenCV's fit of the image
        // region can turn the rectified cameras round; such a result is unusable.
        if (!(r.P0.at<double>(0, 0) > 0 && r.P0.at<double>(1, 1) > 0 && r.P1.at<double>(0, 0) > 0 &&
              r.P1.at<double>(1, 1) > 0)) {
            error =
                "the rectification gave a focal length that is not positive; try another alpha, another new "
                "image size or unequal principal points";
            return false;
        }
        if (!rectifiesPair(r, R.reshape(1, 3), T.reshape(1, 3))) {
            error =
                "the rectification does not make the two image planes parallel (a baseline along the viewing "
                "direction, or too long to compute with)";
            return false;
        }
        cv::initUndistortRectifyMap(K[0], kc[0], r.R0, r.P0, in.newImageSize, CV_16SC2, r.map1[0], r.map2[0]);
        cv::initUndistortRectifyMap(K[1], kc[1], r.R1, r.P1, in.newImageSize, CV_16SC2, r.map1[1], r.map2[1]);
    } catch (const cv::Exception& e) {
        error = e.what();
        return false;
    }
    out = r;
    return true;
}

bool writeRectificationFile(const std::string& path, const StereoRectification& r, std::string& error)
{
    std::string text;
    try {
        cv::FileStorage fs(".yml",
                           cv::FileStorage::WRITE | cv::FileStorage::MEMORY | cv::FileStorage::FORMAT_YAML);
        fs << "imgageSize" << r.imageSize;
        fs << "newImageSize" << r.newImageSize;
        fs << "alpha" << r.alpha;
        fs << "flags" << r.flags;
        fs << "R0" << r.R0;
        fs << "R1" << r.R1;
        fs << "P0" << r.P0;
        fs << "P1" << r.P1;
        fs << "Q" << r.Q;
        text = fs.releaseAndGetString();
    } catch (const cv::Exception& e) {
        error = e.what();
        return false;
    }
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}

std::vector<Sensor> rectifiedCameras(const StereoRectification& r, const std::string& primaryName,
                                     const std::string& secondaryName)
{
    CV_Assert(r.P0.rows == 3 && r.P0.cols == 4 && r.P1.rows == 3 && r.P1.cols == 4);
    std::vector<Sensor> cameras(2);
    cameras[0].name = primaryName + "_rect";
    cameras[1].name = secondaryName + "_rect";
    r.P0(cv::Rect(0, 0, 3, 3)).convertTo(cameras[0].K, CV_64F);
    r.P1(cv::Rect(0, 0, 3, 3)).convertTo(cameras[1].K, CV_64F);
    for (Sensor& s : cameras) {
        s.R = cv::Mat::eye(3, 3, CV_64F);
        s.t = cv::Mat::zeros(3, 1, CV_64F);
    }
    // Position of the secondary's origin in the primary's rectified frame,
    // x_world = I x_secondary + position; the record holds the other way,
    // x_secondary = I x_world - position.
    cv::Mat P1;
    r.P1.convertTo(P1, CV_64F);
    const cv::Mat position = P1.col(3) * (-1.0 / P1.at<double>(0, 0));
    cameras[1].t = -position;
    return cameras;
}

ProjectSaveResult saveRectifiedProject(const std::string& basePath, const StereoRectification& rect,
                                       const std::string& primaryName, const std::string& secondaryName,
                                       const std::string& isoDate)
{
    return saveReducedProjectFiles(basePath + ".yml", rectifiedCameras(rect, primaryName, secondaryName), 0,
                                   isoDate);
}

cv::Mat rectifyImage(const cv::Mat& image, const StereoRectification& rect, int camera)
{
    CV_Assert(camera == 0 || camera == 1);
    CV_Assert(!rect.map1[camera].empty() && !rect.map2[camera].empty());
    cv::Mat out;
    cv::remap(image, out, rect.map1[camera], rect.map2[camera], cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              cv::Scalar());
    return out;
}

StereoRectifyRunResult runStereoRectification(const StereoRectifyRun& run)
{
    StereoRectifyRunResult result;
    result.ok = rectifyStereo(run.input, result.rectification, result.error);
    if (!result.ok)
        return result;
    result.fileWritten =
        writeRectificationFile(run.rectificationFile, result.rectification, result.fileError);
    try {
        result.project = saveRectifiedProject(run.projectBasePath, result.rectification, run.primaryName,
                                              run.secondaryName, run.isoDate);
    } catch (const cv::Exception& e) {
        result.project.status = ProjectSaveResult::MainNotWritten;
        result.project.error = e.what();
    }
    return result;
}

RectifiedCopyStatus writeRectifiedCopy(const RectifiedCopy& copy, const StereoRectification& rect,
                                       std::string& error)
{
    try {
        cv::Mat image = cv::imread(copy.source, cv::IMREAD_COLOR);
        if (image.empty())
            return RectifiedCopyStatus::Unreadable;
        if (copy.mirror)
            cv::flip(image, image, 1);
        if (!cv::imwrite(copy.target, rectifyImage(image, rect, copy.camera)))
            return RectifiedCopyStatus::NotWritten;
    } catch (const cv::Exception& e) {
        error = e.what();
        return RectifiedCopyStatus::Error;
    }
    return RectifiedCopyStatus::Written;
}

std::string rectifiedCopyPath(const std::string& imagePath)
{
    const size_t slash = imagePath.find_last_of('/');
    if (slash == std::string::npos)
        return "rect_" + imagePath;
    return imagePath.substr(0, slash + 1) + "rect_" + imagePath.substr(slash + 1);
}
