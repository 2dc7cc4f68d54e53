#pragma once

// What every calibration dialog shares: the run and abort protocol of its
// long runs on the GUI thread, and the sensor boxes that follow their
// sensors through the scene's changes.
//
// A run processes pending events between its steps (pollAbort), so the user
// can press the run's button again, which only raises the abort flag, and can
// close the window, which aborts the run first and closes the window once the
// run has come back.

#include "gui/dialogs/sensor_boxes.h"

#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

class QCloseEvent;
class QPushButton;
class QWidget;

// The wait cursor for as long as it lives, restored however a run or a
// redraw ends.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

class RunDialog : public QDialog {
    Q_OBJECT

public:
    explicit RunDialog(QWidget* parent = nullptr);
    ~RunDialog() override;

    bool isRunning() const { return running; }

public slots:
    // The sensor tree's announcements, each refreshing the sensor boxes
    // (refreshSensors): names changed or a sensor was added; the sensor at
    // `row` was deleted; the whole scene was replaced.
    void updateSensorNames();
    void sensorRemoved(int row);
    void sensorsReplaced();

protected:
    // Refills the dialog's sensor boxes from the tree's names, each following
    // its sensor through `change` (refillSensorCombo), and updates what
    // depends on the chosen sensors.
    virtual void refreshSensors(const SceneChange& change);

    // Starts a run unless one is going on, in which case it raises the abort
    // flag and returns false. While the run goes on, `button` reads
    // `abortText` and the widgets of `locked` that are enabled (but `button`)
    // are disabled.
    bool beginRun(QPushButton* button, const QString& abortText, const QList<QWidget*>& locked);
    // Ends the run: enables the locked widgets again, gives the button back
    // its text, and closes the window when a close came during the run.
    void endRun();
    // Processes pending events and tells whether the run should stop.
    bool pollAbort();

    // Closing the window during a run aborts the run first; the window closes
    // when the run has come back.
    void closeEvent(QCloseEvent* event) override;
    // Escape rejects a dialog, which hides and deletes it without a close
    // event; during a run it aborts the run and closes the window after it.
    void reject() override;

    bool running = false;
    bool abortRequested = false;

private:
    QPointer<QPushButton> runButton;
    QString runButtonText;
    QList<QPointer<QWidget>> lockedNow;
    bool closePending = false;
};
