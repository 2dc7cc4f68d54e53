#include "stereo_rig.h"

#include <QDir>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <stdexcept>

namespace synth {

namespace {

cv::Matx33d rotation(const cv::Vec3d& rvec)
{
    cv::Matx33d R;
    cv::Rodrigues(rvec, R);
    return R;
}

// The board's outline with its border and its corners inside the image, with
// margin pixels to spare.
bool boardInside(const Camera& cam, cv::Size pattern, double square, const View& view, int margin)
{
    std::vector<cv::Point3d> pts;
    const double b = 1.6 * square;
    const double x0 = -b, y0 = -b, x1 = (pattern.width - 1) * square + b,
                 y1 = (pattern.height - 1) * square + b;
    for (int k = 0; k <= 10; ++k) {
        const double a = k / 10.0;
        pts.emplace_back(x0 + a * (x1 - x0), y0, 0);
        pts.emplace_back(x0 + a * (x1 - x0), y1, 0);
        pts.emplace_back(x0, y0 + a * (y1 - y0), 0);
        pts.emplace_back(x1, y0 + a * (y1 - y0), 0);
    }
    // In front of the camera first: a projection alone can fold back in.
    const cv::Matx33d R = rotation(view.rvec);
    for (const cv::Point3d& p : pts)
        if ((R * cv::Vec3d(p.x, p.y, p.z) + view.tvec)[2] < 50)
            return false;
    std::vector<cv::Point2d> img;
    cv::projectPoints(pts, view.rvec, view.tvec, cv::Mat(cam.K), cam.kc, img);
    for (const cv::Point2d& p : img)
        if (!(p.x >= margin && p.y >= margin && p.x <= cam.size.width - 1 - margin &&
              p.y <= cam.size.height - 1 - margin))
            return false;
    return true;
}

} // namespace

View StereoRig::secondaryView(const View& v) const
{
    const cv::Matx33d R2 = R * rotation(v.rvec);
    View s;
    cv::Rodrigues(R2, s.rvec);
    s.tvec = R * v.tvec + T;
    return s;
}

StereoRig makeStereoRig(const cv::Vec3d& position, double yawDeg)
{
    StereoRig rig;
    rig.primary = makeCamera(cv::Size(1280, 960), 1100, {-0.18, 0.06, 0, 0, 0});
    rig.secondary = makeCamera(cv::Size(1920, 1080), 1500, {0.08, -0.05, 0.0015, -0.001, 0});
    const double d = CV_PI / 180;
    // Orientation of the secondary in the primary's frame: yaw about y, then a
    // small pitch about x and roll about z.
    const cv::Matx33d R_primary_secondary = rotation(cv::Vec3d(0, yawDeg * d, 0)) *
                                            rotation(cv::Vec3d(1.0 * d, 0, 0)) *
                                            rotation(cv::Vec3d(0, 0, 2.0 * d));
    rig.R = R_primary_secondary.t();
    rig.T = -(rig.R * position);
    return rig;
}

std::vector<View> stereoViews(const StereoRig& rig, cv::Size pattern, double square, int n,
                              std::uint64_t seed)
{
    ViewOptions o;
    o.maxTiltDeg = 35;
    o.minFill = 0.4;
    o.maxFill = 0.6;
    std::vector<View> views;
    for (std::uint64_t round = 0; (int)views.size() < n; ++round) {
        if (round > 50)
            throw std::runtime_error("synth::stereoViews: the cameras do not see the board together");
        for (const View& v : boardViews(rig.primary, pattern, square, 40, seed + 1000 * round, o)) {
            if ((int)views.size() == n)
                break;
            if (boardInside(rig.primary, pattern, square, v, 12) &&
                boardInside(rig.secondary, pattern, square, rig.secondaryView(v), 12))
                views.push_back(v);
        }
    }
    return views;
}

StereoImageFiles writeStereoViews(const QString& folder, const StereoRig& rig, cv::Size pattern,
                                  double square, const std::vector<View>& views, const RenderOptions& options)
{
    StereoImageFiles files;
    QDir dir(folder);
    dir.mkpath("primary");
    dir.mkpath("secondary");
    for (size_t i = 0; i < views.size(); ++i) {
        RenderOptions o = options;
        o.seed = options.seed + 2 * i;
        const QString name = QString("pair%1.png").arg(i, 2, 10, QChar('0'));
        const QString p = dir.filePath("primary/" + name), s = dir.filePath("secondary/" + name);
        cv::imwrite(p.toStdString(), renderChessboard(rig.primary, pattern, square, views[i], o));
        o.seed += 1;
        cv::imwrite(s.toStdString(),
                    renderChessboard(rig.secondary, pattern, square, rig.secondaryView(views[i]), o));
        files.primary << p;
        files.secondary << s;
    }
    return files;
}

SmallStereoScene::SmallStereoScene(const QString& folder, int n)
{
    rig = makeStereoRig();
    rig.primary = makeCamera(cv::Size(640, 480), 550, {-0.1, 0.02, 0, 0, 0});
    rig.secondary = makeCamera(cv::Size(800, 450), 625, {0.05, 0, 0, 0, 0});
    views = stereoViews(rig, pattern, square, n, 17);
    RenderOptions o;
    o.supersample = 2;
    o.blurSigma = 0.5;
    files = writeStereoViews(folder, rig, pattern, square, views, o);
}

} // namespace synth
