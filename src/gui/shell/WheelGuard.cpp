#include "gui/shell/WheelGuard.h"

#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QScrollBar>
#include <QWheelEvent>
#include <QWidget>

namespace {

bool isValueBox(const QObject* object)
{
    return qobject_cast<const QAbstractSpinBox*>(object) || qobject_cast<const QComboBox*>(object);
}

QAbstractScrollArea* scrollAreaAround(QWidget* widget)
{
    for (QWidget* w = widget->parentWidget(); w; w = w->parentWidget())
        if (auto* area = qobject_cast<QAbstractScrollArea*>(w))
            return area;
    return nullptr;
}

} // namespace

WheelGuard::WheelGuard(QObject* parent) : QObject(parent) {}

bool WheelGuard::eventFilter(QObject* watched, QEvent* event)
{
    if (!isValueBox(watched))
        return false;
    auto* box = static_cast<QWidget*>(watched);
    if (event->type() == QEvent::Polish || event->type() == QEvent::ParentChange) {
        if (box->focusPolicy() == Qt::WheelFocus && scrollAreaAround(box))
            box->setFocusPolicy(Qt::StrongFocus);
        return false;
    }
    if (event->type() != QEvent::Wheel || box->hasFocus())
        return false;
    QAbstractScrollArea* area = scrollAreaAround(box);
    if (!area)
        return false;
    // The scroll area's own scroll bar takes the turn, as if the pointer were
    // over an empty part of the panel.
    auto* wheel = static_cast<QWheelEvent*>(event);
    QScrollBar* bar = wheel->angleDelta().y() != 0 ? area->verticalScrollBar() : area->horizontalScrollBar();
    if (bar)
        QCoreApplication::sendEvent(bar, wheel);
    return true;
}
