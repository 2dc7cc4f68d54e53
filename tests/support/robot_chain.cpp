#include "robot_chain.h"

#include <QFile>
#include <QTextStream>

#include <opencv2/calib3d.hpp>

#include <cstdio>
#include <random>

namespace robot_chain {

Pose makePose(double rx, double ry, double rz, double tx, double ty, double tz)
{
    Pose p;
    cv::Rodrigues(cv::Mat(cv::Vec3d(rx, ry, rz)), p.R);
    p.t = (cv::Mat_<double>(3, 1) << tx, ty, tz);
    return p;
}

Pose compose(const Pose& a, const Pose& b)
{
    return {a.R * b.R, a.R * b.t + a.t};
}

Pose inverse(const Pose& p)
{
    return {p.R.t(), -p.R.t() * p.t};
}

Pose viewPose(const synth::View& v)
{
    Pose p;
    cv::Rodrigues(cv::Mat(v.rvec), p.R);
    p.t = cv::Mat(v.tvec).clone();
    return p;
}

Chain handEyeChain(const synth::Camera& cam, cv::Size pattern, double square, int n, std::uint64_t seed)
{
    Chain c;
    c.views = synth::boardViews(cam, pattern, square, n, seed);
    c.X = makePose(0.12, -0.25, 1.4, 35.0, -60.0, 110.0);
    c.targetInBase = makePose(3.0, 0.2, 0.5, 900.0, 150.0, -40.0);
    const Pose Xinv = inverse(c.X);
    for (const synth::View& v : c.views)
        c.tcp.push_back(compose(compose(c.targetInBase, inverse(viewPose(v))), Xinv));
    return c;
}

Chain robotWorldChain(const synth::Camera& cam, cv::Size pattern, double square, int n, std::uint64_t seed)
{
    Chain c;
    c.views = synth::boardViews(cam, pattern, square, n, seed);
    c.X = makePose(0.3, -0.15, 0.6, 20.0, -15.0, 95.0);
    c.Y = makePose(-1.2, 0.9, 0.4, 1400.0, -250.0, 700.0);
    const Pose Xinv = inverse(c.X);
    for (const synth::View& v : c.views)
        c.tcp.push_back(compose(compose(c.Y, viewPose(v)), Xinv));
    return c;
}

std::vector<Pose> perturb(const std::vector<Pose>& poses, double deg, double mm, std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> angle(0.0, deg * CV_PI / 180.0), shift(0.0, mm);
    std::vector<Pose> out;
    for (const Pose& p : poses) {
        const Pose d = makePose(angle(rng), angle(rng), angle(rng), shift(rng), shift(rng), shift(rng));
        out.push_back(compose(p, d));
    }
    return out;
}

std::vector<Pose> oneAxisPoses(int n, const cv::Vec3d& axis)
{
    const cv::Vec3d a = axis / cv::norm(axis);
    std::vector<Pose> out;
    for (int i = 0; i < n; ++i) {
        const double angle = 0.2 + 0.35 * i;
        out.push_back(
            makePose(a[0] * angle, a[1] * angle, a[2] * angle, 100.0 * i, 50.0 - 20.0 * i, 30.0 * i));
    }
    return out;
}

bool writeTcpFile(const QString& path, const std::vector<Pose>& tcp, TcpFormat format, bool inMetres)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&file);
    const double scale = inMetres ? 1e-3 : 1.0;
    auto num = [](double v) { return QString::number(v, 'g', 17); };
    if (format == TcpFormat::Xml)
        out << "<?xml version=\"1.0\"?>\n<TCP_Poses>\n";
    for (size_t i = 0; i < tcp.size(); ++i) {
        cv::Mat r;
        cv::Rodrigues(tcp[i].R, r);
        const double v[6] = {tcp[i].t.at<double>(0) * scale,
                             tcp[i].t.at<double>(1) * scale,
                             tcp[i].t.at<double>(2) * scale,
                             r.at<double>(0),
                             r.at<double>(1),
                             r.at<double>(2)};
        if (format == TcpFormat::Xml) {
            out << "  <Pose ID=\"" << i << "\" Name=\"P" << i << "\">";
            const char* names[6] = {"X", "Y", "Z", "RX", "RY", "RZ"};
            for (int k = 0; k < 6; ++k)
                out << "<" << names[k] << ">" << num(v[k]) << "</" << names[k] << ">";
            out << "</Pose>\n";
        } else {
            for (int k = 0; k < 6; ++k)
                out << (k ? " " : "") << num(v[k]);
            out << "\n";
        }
    }
    if (format == TcpFormat::Xml)
        out << "</TCP_Poses>\n";
    out.flush();
    return file.error() == QFile::NoError;
}

} // namespace robot_chain
