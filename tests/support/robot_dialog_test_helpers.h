#pragma once

// Helpers for the tests of the robot-camera dialogs: a known camera, robot
// and target rendered into board images on disk with the matching TCP pose
// files, and the dialog opened from the main window's button.

#include "dialog_test_helpers.h"
#include "robot_chain.h"
#include "synthetic.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

namespace robot_dialog_test {

// Board images of a chain rendered into a folder, and its TCP files.
struct RenderedChain {
    synth::Camera cam = synth::makeCamera(cv::Size(800, 600), 860, {-0.08, 0.03, 0, 0, 0});
    cv::Size pattern{9, 6};
    double square = 25.7; // a real number on purpose: truncated to 25 mm lengths come out 3 % short
    robot_chain::Chain chain;
    QString folder;
    QStringList images;

    QString tcpFile(const QString& name, robot_chain::TcpFormat format, bool inMetres,
                    const std::vector<robot_chain::Pose>* tcp = nullptr) const
    {
        const QString path = QDir(folder).filePath(name);
        EXPECT_TRUE(robot_chain::writeTcpFile(path, tcp ? *tcp : chain.tcp, format, inMetres));
        return path;
    }
};

// Renders the chain's views into folder as view00.png, view01.png, ...
// Rendering is slow and every test case runs in a process of its own, so the
// images are kept in a cache beside the test program, named by a hash of
// everything that decides them, and copied into the test's folder.
inline void render(RenderedChain& scene, const QString& folder)
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
    for (const double v : {double(scene.cam.size.width), double(scene.cam.size.height), double(scene.pattern.width),
                           double(scene.pattern.height), scene.square, o.blurSigma, o.noiseSigma,
                           double(o.supersample), double(o.seed)})
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
            // Written under a name of this process, then renamed, so that a
            // parallel test never reads half a file.
            const QString partial = cached + QString(".%1.png").arg(QCoreApplication::applicationPid());
            cv::imwrite(partial.toStdString(), image);
            QFile::remove(cached);
            QFile::rename(partial, cached);
        }
        const QString path = QDir(folder).filePath(QString("view%1.png").arg(int(i), 2, 10, QChar('0')));
        EXPECT_TRUE(QFile::copy(cached, path)) << cached.toStdString();
        scene.images << path;
    }
}

// The first visible top-level widget of the given class opened after `before`.
template <class Dialog> Dialog* newestDialog()
{
    Dialog* found = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<Dialog*>(w); d && d->isVisible())
            found = d;
    return found;
}

template <class Dialog> void setBoard(Dialog* d, cv::Size pattern, const QString& square)
{
    d->template findChild<QSpinBox*>("spin_corner_count_x")->setValue(pattern.width);
    d->template findChild<QSpinBox*>("spin_corner_count_y")->setValue(pattern.height);
    d->template findChild<QLineEdit*>("edit_corners_width")->setText(square);
    d->template findChild<QLineEdit*>("edit_corners_height")->setText(square);
}

} // namespace robot_dialog_test
