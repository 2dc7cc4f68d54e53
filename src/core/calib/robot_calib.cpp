#include "core/calib/robot_calib.h"

#include "core/calib/axyb_solver.h"
#include "core/calib/reprojection.h"
#include "core/geometry/error_colors.h"
#include "core/geometry/pose_helpers.h"
#include "core/geometry/rotation_checks.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>

void tcpPoseMatrices(double x, double y, double z, double rx, double ry, double rz, double scale, cv::Mat& R,
                     cv::Mat& t)
{
    cv::Rodrigues(cv::Mat(cv::Vec3d(rx, ry, rz)), R);
    t = (cv::Mat_<double>(3, 1) << x * scale, y * scale, z * scale);
}

void invertPose(const cv::Mat& R, const cv::Mat& t, cv::Mat& Rinv, cv::Mat& tinv)
{
    const cv::Mat Rt = R.t();
    tinv = -Rt * t;
    Rinv = Rt.clone();
}

namespace {

const cv::Vec3b kRed(255, 0, 0);

// The error colour of a value between lo and hi (both finite) as 8-bit (r, g,
// b); red for a value that is not finite, which is never converted to an
// integer.
cv::Vec3b errorRgb(double value, double lo, double hi)
{
    if (!std::isfinite(value))
        return kRed;
    return toRgb255(errorColor(value, lo, hi));
}

cv::Mat toMat(const cv::Point3f& p)
{
    return (cv::Mat_<double>(3, 1) << p.x, p.y, p.z);
}

// Reprojection of every view with its measured pose.
void reprojectionStats(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
                       RobotCalibResult& r)
{
    r.views.assign(views.size(), RobotViewErrors());
    for (size_t i = 0; i < views.size(); ++i) {
        const RobotView& v = views[i];
        const ViewReprojection view = reprojectView(v.objectPoints, v.imagePoints, v.rvec, v.tvec, K, kc);
        const double smallest = view.errors.empty() ? 0 : view.smallest;
        RobotViewErrors& e = r.views[i];
        e.projectedPoints = view.projected;
        e.reprojErrors = cv::Vec3d(view.rms, smallest, view.largest);
        const bool finiteRange = std::isfinite(smallest) && std::isfinite(view.largest);
        for (const double err : view.errors)
            e.pointColours.push_back(finiteRange ? errorRgb(err, smallest, view.largest) : kRed);
    }
}

void colourRows(RobotCalibResult& r)
{
    std::vector<double> rms, rms3d;
    for (const RobotViewErrors& e : r.views) {
        rms.push_back(e.reprojErrors[0]);
        rms3d.push_back(e.poseErrors[0]);
    }
    const std::vector<cv::Vec3b> imageColours = errorRowColours(rms), poseColours = errorRowColours(rms3d);
    for (size_t i = 0; i < r.views.size(); ++i) {
        r.views[i].imageRowColour = imageColours[i];
        r.views[i].poseRowColour = poseColours[i];
    }
}

bool validPose(const cv::Mat& R, const cv::Mat& t, const char* name, RobotCalibResult& r)
{
    std::string message;
    if (R.empty() || t.empty() || !cv::checkRange(R) || !cv::checkRange(t)) {
        r.error = RobotCalibError::InvalidResult;
        r.message = std::string("The result ") + name + " is not finite.";
        return false;
    }
    if (!checkRotationMatrix(R, message)) {
        r.error = RobotCalibError::InvalidResult;
        r.message = std::string("R") + name + " isn't a valid rotation matrix: " + message;
        return false;
    }
    return true;
}

// Rotation axis (unit) and angle (rad) of R.
double rotationAxis(const cv::Mat& R, cv::Vec3d& axis)
{
    cv::Mat rvec;
    cv::Rodrigues(R, rvec);
    const cv::Vec3d v(rvec.at<double>(0), rvec.at<double>(1), rvec.at<double>(2));
    const double angle = cv::norm(v);
    axis = angle > 0 ? v / angle : cv::Vec3d(0, 0, 0);
    return angle;
}

// True when the TCP motions turn about at least two axes that are not
// parallel, which hand-eye calibration needs to determine its rotation.
bool motionsSpanTwoAxes(const std::vector<RobotView>& views)
{
    const double minAngle = 0.5 * CV_PI / 180, minSin = std::sin(1.0 * CV_PI / 180);
    std::vector<cv::Vec3d> axes;
    for (size_t i = 0; i < views.size(); ++i)
        for (size_t j = i + 1; j < views.size(); ++j) {
            cv::Vec3d a;
            if (rotationAxis(views[i].R_base_tcp.t() * views[j].R_base_tcp, a) > minAngle)
                axes.push_back(a);
        }
    for (size_t i = 0; i < axes.size(); ++i)
        for (size_t j = i + 1; j < axes.size(); ++j)
            if (cv::norm(axes[i].cross(axes[j])) > minSin)
                return true;
    return false;
}

const char* const kTooFew = "At least 3 targets have to be detected, aborting...\n";

// Fills the poseErrors of r.views (per view: RMS of the 3D differences of the board's
// points, position difference in mm, angle difference in degrees) and
// r.rms3d. pointDiff(i, P) is the 3D difference for board point P of view i;
// poseDiff(i) gives view i's position and angle differences.
template <typename PointDiff, typename PoseDiff>
void fillPoseErrors(const std::vector<RobotView>& views, RobotCalibResult& r, PointDiff pointDiff,
                    PoseDiff poseDiff)
{
    const size_t n = views.size();
    double S = 0;
    size_t N = 0;
    for (size_t i = 0; i < n; ++i) {
        double s = 0;
        for (const cv::Point3f& p : views[i].objectPoints)
            s += std::pow(cv::norm(pointDiff(i, toMat(p))), 2);
        const size_t ni = views[i].objectPoints.size();
        const cv::Vec2d d = poseDiff(i);
        r.views[i].poseErrors = cv::Vec3d(ni ? std::sqrt(s / double(ni)) : 0, d[0], d[1]);
        S += s;
        N += ni;
    }
    r.rms3d = N ? std::sqrt(S / double(N)) : 0;
}

} // namespace

std::vector<cv::Vec3b> errorRowColours(const std::vector<double>& values)
{
    double lo = 0, hi = 0;
    bool any = false;
    for (const double v : values) {
        if (!std::isfinite(v))
            continue;
        lo = any ? std::min(lo, v) : v;
        hi = any ? std::max(hi, v) : v;
        any = true;
    }
    std::vector<cv::Vec3b> colours;
    for (const double v : values)
        colours.push_back(errorRgb(v, lo, hi));
    return colours;
}

HandEyeInputs handEyeInputs(const std::vector<RobotView>& views)
{
    HandEyeInputs in;
    for (const RobotView& v : views) {
        in.R_gripper2base.push_back(v.R_base_tcp);
        in.t_gripper2base.push_back(v.t_base_tcp);
        cv::Mat R;
        cv::Rodrigues(v.rvec, R);
        in.R_target2cam.push_back(R);
        in.t_target2cam.push_back(v.tvec);
    }
    return in;
}

RobotCalibResult solveHandEye(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
                              cv::HandEyeCalibrationMethod method)
{
    RobotCalibResult r;
    if (views.size() < 3) {
        r.error = RobotCalibError::TooFewTargets;
        r.message = kTooFew;
        return r;
    }
    if (!motionsSpanTwoAxes(views)) {
        r.error = RobotCalibError::Degenerate;
        r.message =
            "The robot poses do not determine the hand-eye transform: the rotations between them turn "
            "about one axis only.";
        return r;
    }
    const HandEyeInputs in = handEyeInputs(views);
    const std::vector<cv::Mat>& Rt = in.R_target2cam;
    const std::vector<cv::Mat>& tt = in.t_target2cam;
    cv::Mat RX, tX;
    cv::calibrateHandEye(in.R_gripper2base, in.t_gripper2base, Rt, tt, RX, tX, method);
    RX.convertTo(RX, CV_64F);
    tX.convertTo(tX, CV_64F);
    if (!validPose(RX, tX, "X", r))
        return r;
    r.RX = RX;
    r.tX = tX.reshape(1, 3);

    reprojectionStats(views, K, kc, r);

    // Target pose in the base per view, and their mean.
    const size_t n = views.size();
    std::vector<cv::Mat> Ri(n), ti(n);
    cv::Mat sumR = cv::Mat::zeros(3, 3, CV_64F), sumT = cv::Mat::zeros(3, 1, CV_64F);
    for (size_t i = 0; i < n; ++i) {
        const cv::Mat H = cal::getRt4x4(views[i].R_base_tcp, views[i].t_base_tcp) *
                          cal::getRt4x4(r.RX, r.tX) * cal::getRt4x4(Rt[i], tt[i].reshape(1, 3));
        Ri[i] = H(cv::Rect(0, 0, 3, 3)).clone();
        ti[i] = H(cv::Rect(3, 0, 1, 3)).clone();
        sumR += Ri[i];
        sumT += ti[i];
    }
    cv::SVD svd(sumR / double(n), cv::SVD::FULL_UV);
    cv::Mat Rm = svd.u * svd.vt;
    if (cv::determinant(Rm) < 0) {
        cv::Mat U = svd.u.clone();
        U.col(2) *= -1;
        Rm = U * svd.vt;
    }
    const cv::Mat tm = sumT / double(n);

    fillPoseErrors(
        views, r, [&](size_t i, const cv::Mat& P) -> cv::Mat { return (Ri[i] * P + ti[i]) - (Rm * P + tm); },
        [&](size_t i) { return cv::Vec2d(cv::norm(ti[i] - tm), rotationAngleDeg(Ri[i], Rm)); });
    colourRows(r);
    return r;
}

RobotCalibResult solveRobotWorld(const std::vector<RobotView>& views, const cv::Mat& K, const cv::Mat& kc,
                                 const RobotWorldOptions& options)
{
    RobotCalibResult r;
    if (views.size() < 3) {
        r.error = RobotCalibError::TooFewTargets;
        r.message = kTooFew;
        return r;
    }
    const size_t n = views.size();
    std::vector<cv::Mat> RA(n), tA(n), RB(n), tB(n);
    for (size_t i = 0; i < n; ++i) {
        RA[i] = views[i].R_base_tcp.clone();
        tA[i] = views[i].t_base_tcp.clone();
        if (options.invertTcp)
            invertPose(views[i].R_base_tcp, views[i].t_base_tcp, RA[i], tA[i]);
        cv::Rodrigues(views[i].rvec, RB[i]);
        tB[i] = views[i].tvec.reshape(1, 3).clone();
        if (options.invertTarget) {
            cv::Mat R = RB[i], t = tB[i];
            invertPose(R, t, RB[i], tB[i]);
        }
    }
    cv::Mat RX, tX, RY, tY;
    std::string error;
    if (!tfc::solveAXYB(RA, tA, RB, tB, RX, tX, RY, tY, error)) {
        r.error = RobotCalibError::Degenerate;
        r.message = error;
        return r;
    }
    if (options.invertX) {
        cv::Mat R = RX, t = tX;
        invertPose(R, t, RX, tX);
    }
    if (options.invertY) {
        cv::Mat R = RY, t = tY;
        invertPose(R, t, RY, tY);
    }
    if (!validPose(RX, tX, "X", r) || !validPose(RY, tY, "Y", r))
        return r;
    r.RX = RX;
    r.tX = tX;
    r.RY = RY;
    r.tY = tY;

    reprojectionStats(views, K, kc, r);
    fillPoseErrors(
        views, r,
        [&](size_t i, const cv::Mat& P) -> cv::Mat {
            const cv::Mat viaCamera = RY * (RB[i] * P + tB[i]) + tY;
            const cv::Mat viaRobot = RA[i] * (RX * P + tX) + tA[i];
            return viaCamera - viaRobot;
        },
        [&](size_t i) {
            return cv::Vec2d(cv::norm((RY * tB[i] + tY) - (RA[i] * tX + tA[i])),
                             rotationAngleDeg(RY * RB[i], RA[i] * RX));
        });
    colourRows(r);
    return r;
}

double plausibleRms3dLimit(const std::vector<RobotView>& views)
{
    double sum = 0;
    for (const RobotView& v : views) {
        cv::Point3d centre(0, 0, 0);
        for (const cv::Point3f& p : v.objectPoints)
            centre += cv::Point3d(p);
        if (!v.objectPoints.empty())
            centre *= 1.0 / double(v.objectPoints.size());
        cv::Mat R;
        cv::Rodrigues(v.rvec, R);
        sum += cv::norm(R * toMat(cv::Point3f(centre)) + v.tvec.reshape(1, 3));
    }
    const double meanDistance = views.empty() ? 0 : sum / double(views.size());
    return std::max(10.0, 0.02 * meanDistance);
}

namespace {

// The opening checks on the rows; None when the run can go on.
RobotCalibError checkRows(const RobotRunInput& input)
{
    const auto selected = std::count_if(input.images.begin(), input.images.end(),
                                        [](const RobotRunInput::Image& image) { return image.selected; });
    if (selected == 0)
        return RobotCalibError::NoImagesSelected;
    if (input.tcpPoses.empty())
        return RobotCalibError::NoTcpPoses;
    if (input.tcpPoses.size() != input.images.size())
        return RobotCalibError::TcpCountMismatch;
    if (selected < 3)
        return RobotCalibError::TooFewImagesSelected;
    return RobotCalibError::None;
}

// The board in every selected image; false when the callback stopped the pass.
bool detectRows(const RobotRunInput& input, DetectionCache& cache, const RobotRunCallback& progress,
                RobotRunResult& r)
{
    std::vector<DetectionRequest> requests;
    for (const RobotRunInput::Image& image : input.images) {
        DetectionRequest request;
        request.path = image.path;
        request.selected = image.selected;
        request.mirror = input.mirror;
        requests.push_back(request);
    }
    int selectedIndex = 0;
    const DetectionPassResult pass =
        detectBoards(requests, input.board, cache,
                     [&](size_t index, const std::optional<BoardDetection>& detection, bool reused) {
                         RobotImageRecord& record = r.images[index];
                         record.detection = detection;
                         record.reused = reused;
                         if (!detection)
                             return true;
                         if (detection->readable())
                             r.imageSize = detection->imageSize;
                         record.dropped = detection->outcome == BoardDetection::Outcome::NotFound;
                         RobotRunProgress step{static_cast<int>(index), selectedIndex++, &*detection, reused};
                         return !progress || progress(step);
                     });
    return !pass.aborted;
}

// The target pose of every board image, paired with its row's TCP pose.
// Returns the views in row order; stops (error set) on a PnP error.
std::vector<RobotView> estimatePoses(const RobotRunInput& input, RobotRunResult& r,
                                     std::vector<int>& failedRows)
{
    TargetPoseInput pose;
    pose.patternSize = input.board.patternSize;
    pose.squareWidth = input.board.squareWidth;
    pose.squareHeight = input.board.squareHeight;
    pose.K = input.K;
    pose.kc = input.kc;
    pose.method = input.pose.method;
    pose.ransac = input.pose.ransac;
    pose.ransacIterations = input.pose.ransacIterations;
    pose.ransacMaxError = input.pose.ransacMaxError;
    pose.ransacConfidence = input.pose.ransacConfidence;

    std::vector<RobotView> views;
    for (size_t row = 0; row < r.images.size(); ++row) {
        RobotImageRecord& record = r.images[row];
        if (!record.detection || !record.detection->found())
            continue;
        pose.imagePoints = record.detection->corners;
        const TargetPoseResult e = estimateTargetPose(pose);
        if (e.error == TargetPoseError::OpenCvError || e.error == TargetPoseError::BadInput) {
            r.calib.error = e.error == TargetPoseError::OpenCvError ? RobotCalibError::PoseOpenCvError
                                                                    : RobotCalibError::PoseBadInput;
            r.calib.message = e.message;
            r.errorRow = static_cast<int>(row);
            return views;
        }
        if (e.ransacUsed && e.inliers >= 0)
            record.inliers = e.inliers;
        if (!e.ok()) {
            record.poseFailed = true;
            failedRows.push_back(static_cast<int>(row));
            continue;
        }
        const TcpPose& p = input.tcpPoses[row];
        RobotView v;
        tcpPoseMatrices(p.x, p.y, p.z, p.rx, p.ry, p.rz, input.tcpScale, v.R_base_tcp, v.t_base_tcp);
        v.rvec = e.rvec;
        v.tvec = e.tvec;
        v.objectPoints = e.objectPoints;
        v.imagePoints = e.imagePoints;
        record.view = v;
        views.push_back(v);
        r.boardRows.push_back(static_cast<int>(row));
    }
    return views;
}

// The steps before the solver; the views of boardRows, or an error in r.
std::vector<RobotView> prepareViews(const RobotRunInput& input, DetectionCache& cache,
                                    const RobotRunCallback& progress, RobotRunResult& r)
{
    r.images.assign(input.images.size(), RobotImageRecord());
    r.calib.error = checkRows(input);
    if (!r.calib.ok())
        return {};
    if (!detectRows(input, cache, progress, r)) {
        r.calib.error = RobotCalibError::Aborted;
        return {};
    }
    std::vector<int> failedRows;
    std::vector<RobotView> views = estimatePoses(input, r, failedRows);
    if (!r.calib.ok())
        return {};
    if (views.size() < 3) {
        r.calib.error = RobotCalibError::TooFewTargets;
        r.calib.message = kTooFew;
        r.boardRows.clear();
        return {};
    }
    for (const int row : failedRows)
        r.images[static_cast<size_t>(row)].dropped = true;
    if (progress && !progress(RobotRunProgress{})) {
        r.calib.error = RobotCalibError::Aborted;
        return {};
    }
    return views;
}

// Hands the solver's per-view errors to the records and checks the RMS 3D
// error against the plausibility limit.
void finishRun(const std::vector<RobotView>& views, RobotRunResult& r)
{
    if (!r.calib.ok())
        return;
    for (size_t i = 0; i < r.boardRows.size() && i < r.calib.views.size(); ++i)
        r.images[static_cast<size_t>(r.boardRows[i])].errors = r.calib.views[i];
    r.rms3dLimit = plausibleRms3dLimit(views);
    if (!std::isfinite(r.calib.rms3d) || r.calib.rms3d > r.rms3dLimit) {
        r.calib.error = RobotCalibError::Implausible;
        r.calib.message = "The RMS 3D error is not finite or above the plausibility limit.";
    }
}

} // namespace

RobotRunResult handEyeCalibrate(const HandEyeRunInput& input, DetectionCache& cache,
                                const RobotRunCallback& progress)
{
    RobotRunResult r;
    const std::vector<RobotView> views = prepareViews(input, cache, progress, r);
    if (!r.ok())
        return r;
    r.calib = solveHandEye(views, input.K, input.kc, input.method);
    finishRun(views, r);
    return r;
}

RobotRunResult robotWorldCalibrate(const RobotWorldRunInput& input, DetectionCache& cache,
                                   const RobotRunCallback& progress)
{
    RobotRunResult r;
    const std::vector<RobotView> views = prepareViews(input, cache, progress, r);
    if (!r.ok())
        return r;
    r.calib = solveRobotWorld(views, input.K, input.kc, input.options);
    finishRun(views, r);
    return r;
}

namespace {

bool writeMats(const std::string& path, const std::vector<std::pair<const char*, const cv::Mat*>>& mats,
               std::string& error)
{
    try {
        cv::FileStorage fs(path, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
        if (!fs.isOpened()) {
            error = "cannot open " + path + " for writing";
            return false;
        }
        for (const auto& m : mats)
            fs << m.first << *m.second;
        fs.release();
    } catch (const cv::Exception& e) {
        error = e.what();
        return false;
    }
    // FileStorage reports no failure of the final flush; read the file back.
    try {
        cv::FileStorage check(path, cv::FileStorage::READ);
        if (!check.isOpened()) {
            error = "cannot read back " + path;
            return false;
        }
        for (const auto& m : mats)
            if (check[m.first].empty()) {
                error = std::string("\"") + m.first + "\" missing in " + path;
                return false;
            }
    } catch (const cv::Exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

} // namespace

bool writeHandEyeFile(const std::string& path, const cv::Mat& RX, const cv::Mat& tX, std::string& error)
{
    return writeMats(path, {{"RX", &RX}, {"tX", &tX}}, error);
}

bool writeRobotWorldFile(const std::string& path, const cv::Mat& RY, const cv::Mat& tY, const cv::Mat& RX,
                         const cv::Mat& tX, std::string& error)
{
    return writeMats(path, {{"RY", &RY}, {"tY", &tY}, {"RX", &RX}, {"tX", &tX}}, error);
}
