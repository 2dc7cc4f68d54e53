#include "gui/dialogs/RunDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>

WaitCursor::WaitCursor()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

WaitCursor::~WaitCursor()
{
    QApplication::restoreOverrideCursor();
}

RunDialog::RunDialog(QWidget* parent) : QDialog(parent) {}

RunDialog::~RunDialog() = default;

void RunDialog::updateSensorNames()
{
    refreshSensors(SceneChange());
}

void RunDialog::sensorRemoved(int row)
{
    refreshSensors(SceneChange::removed(row));
}

void RunDialog::sensorsReplaced()
{
    refreshSensors(SceneChange::replaced());
}

void RunDialog::refreshSensors(const SceneChange&) {}

bool RunDialog::beginRun(QPushButton* button, const QString& abortText, const QList<QWidget*>& locked)
{
    if (running) {
        abortRequested = true;
        return false;
    }
    running = true;
    abortRequested = false;
    runButton = button;
    runButtonText = button->text();
    button->setText(abortText);
    lockedNow.clear();
    for (QWidget* w : locked) {
        if (w && w != button && w->isEnabled()) {
            w->setEnabled(false);
            lockedNow.append(w);
        }
    }
    return true;
}

void RunDialog::endRun()
{
    for (const QPointer<QWidget>& w : lockedNow)
        if (w)
            w->setEnabled(true);
    lockedNow.clear();
    if (runButton)
        runButton->setText(runButtonText);
    runButton = nullptr;
    running = false;
    abortRequested = false;
    if (closePending) {
        closePending = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

bool RunDialog::pollAbort()
{
    QCoreApplication::processEvents();
    return abortRequested;
}

void RunDialog::closeEvent(QCloseEvent* event)
{
    if (running) {
        // The run is on the stack below this event; deleting the window now
        // would pull its members away from under it.
        abortRequested = true;
        closePending = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void RunDialog::reject()
{
    if (running) {
        abortRequested = true;
        closePending = true;
        return;
    }
    QDialog::reject();
}
