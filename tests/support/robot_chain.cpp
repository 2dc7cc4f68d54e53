#include "robot_chain.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

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
        const double tz = shift(rng), ty = shift(rng), tx = shift(rng);
        const double rz = angle(rng), ry = angle(rng), rx = angle(rng);
        const Pose d = makePose(rx, ry, rz, tx, ty, tz);
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

QString RenderedChain::tcpFile(const QString& name, TcpFormat format, bool inMetres,
                               const std::vector<Pose>* tcp) const
{
    const QString path = QDir(folder).filePath(name);
    EXPECT_TRUE(writeTcpFile(path, tcp ? *tcp : chain.tcp, format, inMetres));
    return path;
}

void render(RenderedChain& scene, const QString& folder)
{
    scene.folder = folder;
    synth::RenderOptions o;
    o.blurSigma = 0.6;
    o.noiseSigma = 1.0;
    o.colour = true;
    o.supersample = 3;

    QByteArray key;
    auto add = [&key](double v) { key.append(reinterpret_cast<const char*>(&v), sizeof v); };
    for (int k = 0; k < 9; ++k)
        add(scene.cam.K.val[k]);
    for (int k = 0; k < static_cast<int>(scene.cam.kc.total()); ++k)
        add(scene.cam.kc.at<double>(k));
    for (const double v : {double(scene.cam.size.width), double(scene.cam.size.height),
                           double(scene.pattern.width), double(scene.pattern.height), scene.square,
                           o.blurSigma, o.noiseSigma, double(o.supersample), double(o.seed)})
        add(v);
    const QDir cache(QCoreApplication::applicationDirPath() + "/robot_render_cache");
    QDir().mkpath(cache.path());

    scene.images.clear();
    for (size_t i = 0; i < scene.chain.views.size(); ++i) {
        QByteArray viewKey = key;
        for (int k = 0; k < 3; ++k) {
            viewKey.append(reinterpret_cast<const char*>(&scene.chain.views[i].rvec[k]), sizeof(double));
            viewKey.append(reinterpret_cast<const char*>(&scene.chain.views[i].tvec[k]), sizeof(double));
        }
        viewKey.append(reinterpret_cast<const char*>(&i), sizeof i);
        const QString cached =
            cache.filePath(QCryptographicHash::hash(viewKey, QCryptographicHash::Sha1).toHex() + ".png");
        if (!QFileInfo::exists(cached)) {
            synth::RenderOptions oi = o;
            oi.seed = o.seed + i;
            const cv::Mat image =
                synth::renderChessboard(scene.cam, scene.pattern, scene.square, scene.chain.views[i], oi);
            // Written under a name of this process, then moved into place
            // with rename(2), which replaces a file another test process put
            // there meanwhile in one step. (QFile::rename refuses an existing
            // target and can then fall back to rewriting it in place, so a
            // parallel test could copy half a file.)
            const QString partial = cached + QString(".%1.png").arg(QCoreApplication::applicationPid());
            ASSERT_TRUE(cv::imwrite(partial.toStdString(), image)) << partial.toStdString();
            ASSERT_EQ(
                std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(cached).constData()), 0)
                << cached.toStdString();
        }
        const QString path = QDir(folder).filePath(QString("view%1.png").arg(int(i), 2, 10, QChar('0')));
        EXPECT_TRUE(QFile::copy(cached, path)) << cached.toStdString();
        scene.images << path;
    }
}

} // namespace robot_chain
