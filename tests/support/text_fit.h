#pragma once

// Finds what the user of a window cannot read whole: labels, check boxes,
// radio buttons, push buttons and group-box titles whose visible width
// (their own, clipped by every parent, such as the viewport of a scroll
// area) is narrower than their text needs, and line edits, spin boxes and
// combo boxes that a parent cuts.

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QWidget>

#include <algorithm>

#include "screenshots.h"

namespace testing_support {

// How much of the widget's width can be seen inside the window: its own
// width, clipped by every parent on the left and the right. (A widget that
// a scroll area has scrolled out of sight vertically is not cut off.)
inline int visibleWidthIn(const QWidget* widget, const QWidget* window)
{
    int left = widget->mapTo(window, QPoint(0, 0)).x();
    int right = left + widget->width();
    for (const QWidget* p = widget->parentWidget(); p && p != window; p = p->parentWidget()) {
        const int x = p->mapTo(window, QPoint(0, 0)).x();
        left = std::max(left, x);
        right = std::min(right, x + p->width());
    }
    left = std::max(left, 0);
    right = std::min(right, window->width());
    return std::max(0, right - left);
}

// The width a widget's text needs, or 0 when the widget has no text of its
// own that could be cut.
inline int neededTextWidth(const QWidget* w)
{
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->wordWrap() || label->text().isEmpty() || !label->pixmap(Qt::ReturnByValue).isNull())
            return 0;
        return label->sizeHint().width();
    }
    if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) {
        const auto* button = static_cast<const QAbstractButton*>(w);
        return button->text().isEmpty() ? 0 : button->sizeHint().width();
    }
    if (const auto* button = qobject_cast<const QPushButton*>(w)) {
        if (button->text().isEmpty())
            return 0;
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        return button->fontMetrics().horizontalAdvance(button->text()) + 2 * margin;
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(w)) {
        if (group->title().isEmpty())
            return 0;
        // As QGroupBox::minimumSizeHint measures its title (without the blank
        // it adds after it).
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.subControls = QStyle::SC_GroupBoxLabel;
        if (group->isCheckable())
            option.subControls |= QStyle::SC_GroupBoxCheckBox;
        int width = group->fontMetrics().horizontalAdvance(group->title());
        if (group->isCheckable())
            width += group->style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, group) +
                     group->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, group);
        return group->style()->sizeFromContents(QStyle::CT_GroupBox, &option, QSize(width, 0), group).width();
    }
    if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
        qobject_cast<const QComboBox*>(w))
        return w->width();
    return 0;
}

// "name: 'text' needs N px, shows M px" for every visible text of the
// window that is cut off.
inline QStringList cutOffTexts(const QWidget* window)
{
    QStringList cut;
    for (const QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window))
            continue;
        const int needed = neededTextWidth(w);
        if (needed <= 0)
            continue;
        const int shown = visibleWidthIn(w, window);
        if (shown < needed) {
            QString text;
            if (const auto* label = qobject_cast<const QLabel*>(w))
                text = label->text();
            else if (const auto* button = qobject_cast<const QAbstractButton*>(w))
                text = button->text();
            else if (const auto* group = qobject_cast<const QGroupBox*>(w))
                text = group->title();
            else if (const auto* edit = qobject_cast<const QLineEdit*>(w))
                text = edit->text();
            cut << QString("%1: '%2' needs %3 px, shows %4 px")
                       .arg(w->objectName(), text)
                       .arg(needed)
                       .arg(shown);
        }
    }
    return cut;
}

// Scales the application's font for as long as it lives: a desktop's
// font is often larger than the 9 pt of a bare X server.
class ScopedFontScale {
public:
    explicit ScopedFontScale(double scale) : saved(QApplication::font())
    {
        QFont font = saved;
        font.setPointSizeF(saved.pointSizeF() * scale);
        QApplication::setFont(font);
    }
    ~ScopedFontScale() { QApplication::setFont(saved); }
    ScopedFontScale(const ScopedFontScale&) = delete;
    ScopedFontScale& operator=(const ScopedFontScale&) = delete;

private:
    QFont saved;
};

} // namespace testing_support

// Fails, listing them, when texts of the window are cut off.
#define EXPECT_CUT_OFF_NONE(window)                                                                          \
    do {                                                                                                     \
        const QStringList cut_ = testing_support::cutOffTexts(window);                                       \
        EXPECT_TRUE(cut_.isEmpty()) << cut_.join("\n").toStdString();                                        \
    } while (false)

// Saves a picture of the window as "<name>.png" among the screenshots and
// fails, listing them, when texts of the window are cut off.
#define EXPECT_SHOT_CUT_OFF_NONE(window, name)                                                               \
    do {                                                                                                     \
        (window)->grab().save(testing_support::screenshotPath(QString(name) + ".png"));                      \
        EXPECT_CUT_OFF_NONE(window);                                                                         \
    } while (false)
