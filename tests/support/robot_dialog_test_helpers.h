#pragma once

// Helpers for the tests of the robot-camera dialogs: a known camera, robot
// and target rendered into board images on disk with the matching TCP pose
// files, and the dialog opened from the main window's button.

#include "dialog_test_helpers.h"
#include "robot_chain.h"
#include "synthetic.h"

#include <QApplication>
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
    synth::Camera cam = synth::makeCamera(cv::Size(1024, 768), 1100, {-0.08, 0.03, 0, 0, 0});
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

inline void render(RenderedChain& scene, const QString& folder)
{
    scene.folder = folder;
    synth::RenderOptions o;
    o.blurSigma = 0.6;
    o.noiseSigma = 1.0;
    o.colour = true;
    scene.images =
        dialog_test::writeViews(folder, scene.cam, scene.pattern, scene.square, scene.chain.views, o);
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
