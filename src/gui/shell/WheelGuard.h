#pragma once

// Keeps the mouse wheel for scrolling in scrolling panels: a spin box or a
// combo box inside a scroll area takes the wheel only when it has the focus.
// Otherwise turning the wheel over a long options panel would change whatever
// value passes under the pointer. Such boxes get Qt::StrongFocus (the wheel
// no longer focuses them), and a wheel turned over an unfocused one scrolls
// its scroll area instead.
//
// Installed once on the application by the main window, so it covers every
// dialog.

#include <QObject>

class WheelGuard : public QObject {
    Q_OBJECT

public:
    explicit WheelGuard(QObject* parent = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;
};
