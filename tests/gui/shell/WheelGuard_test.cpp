// Turning the mouse wheel over a dialog's scrolling options panel scrolls the
// panel; a spin box or combo box there changes only once it has the focus.

#include "gui/shell/MainWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QWheelEvent>

namespace {

void turnWheel(QWidget* widget, int steps)
{
    const QPoint centre(widget->width() / 2, widget->height() / 2);
    QWheelEvent wheel(centre, widget->mapToGlobal(centre), QPoint(), QPoint(0, 120 * steps), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &wheel);
}

QWidget* openIntrinsicDialog(MainWindow& window)
{
    const QWidgetList before = QApplication::topLevelWidgets();
    window.findChild<QPushButton*>("button_checker_intr_calib")->click();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (!before.contains(w) && w->objectName() == "IntrChessCalibWin")
            return w;
    return nullptr;
}

TEST(WheelGuard, TheWheelScrollsTheOptionsPanelUntilABoxHasTheFocus)
{
    MainWindow window;
    window.show();
    QWidget* dialog = openIntrinsicDialog(window);
    ASSERT_NE(dialog, nullptr);
    dialog->resize(700, 300); // the options panel now scrolls
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    auto* area = dialog->findChild<QScrollArea*>("scroll_controls");
    ASSERT_NE(area, nullptr);
    QScrollBar* bar = area->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);

    auto* spin = dialog->findChild<QSpinBox*>("spin_corner_count_x");
    auto* combo = dialog->findChild<QComboBox*>("combo_sensor");
    ASSERT_NE(spin, nullptr);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(spin->focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(combo->focusPolicy(), Qt::StrongFocus);

    const int corners = spin->value();
    bar->setValue(0);
    turnWheel(spin, -3); // towards the user: the panel scrolls down
    EXPECT_EQ(spin->value(), corners);
    EXPECT_FALSE(spin->hasFocus());
    EXPECT_GT(bar->value(), 0);

    const int sensor = combo->currentIndex();
    turnWheel(combo, -1);
    EXPECT_EQ(combo->currentIndex(), sensor);

    // Once the user has clicked into it, the box takes the wheel.
    // Without a window manager the window is made active directly.
    QApplication::setActiveWindow(dialog);
    spin->setFocus(Qt::MouseFocusReason);
    QApplication::processEvents();
    ASSERT_TRUE(spin->hasFocus());
    turnWheel(spin, 1);
    EXPECT_EQ(spin->value(), corners + 1);
    dialog->close();
}

} // namespace
