#pragma once

// Helpers for the tests of the robot-camera dialogs: finding the dialog the
// main window's button opened, and typing in the board. The rendered cell
// and its TCP files come from robot_chain.h.

#include "robot_chain.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QWidget>

namespace robot_dialog_test {

using robot_chain::render;
using robot_chain::RenderedChain;

// The last visible top-level window of the given class.
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
