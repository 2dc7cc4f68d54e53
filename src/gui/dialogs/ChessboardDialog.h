#pragma once

// The frame shared by the dialogs that calibrate from images of a chessboard
// target: reading the detection options from the form, the run and abort
// protocol, the coloured log and the sensor combo boxes. Detection, the
// board's object points and the per-image corner files are core modules; they
// are included here for every chessboard dialog.
//
// A dialog derives from ChessboardDialog, builds its Designer form on itself
// and then calls initChessboardFrame(). The frame finds the option widgets by
// their object names (spin_corner_count_x, edit_corners_width, ...), which are
// the same in every chessboard form.

#include "core/chessboard/chessboard_detection.h"
#include "core/io/corner_file.h"
#include "core/io/file_names.h"
#include "gui/views/scene_view.h"

#include <QColor>
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

#include <opencv2/core.hpp>

#include <functional>
#include <initializer_list>
#include <vector>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QTextEdit;
class QWidget;

// The file-dialog filter of calibration images.
QString imageFileFilter();

// Refills a sensor combo box with the scene's names and keeps the chosen
// sensor: the same name if it is still there (preferring its old row), else
// the same row. Signals of the box are blocked while it is refilled.
void refillSensorCombo(QComboBox* combo, const std::vector<QString>& names);

class ChessboardDialog : public QDialog {
    Q_OBJECT

public:
    explicit ChessboardDialog(QWidget* parent = nullptr);
    ~ChessboardDialog() override;

    bool isRunning() const { return running; }

protected:
    // Call once after the form is built: finds the log and the option widgets
    // and gives the numeric line edits their validators.
    void initChessboardFrame();

    // Reads the chessboard options from the form. Returns false, with the
    // reason, when a number cannot be read or is out of range.
    bool readChessboardOptions(ChessboardOptions& options, QString& error) const;

    // Reads the options at the start of a run and keeps the board's size in
    // patternSize, squareWidth and squareHeight. A bad value is logged in red
    // ("..., aborting...") and gives false.
    bool takeChessboardOptions(ChessboardOptions& options);

    // Log: the colour is set before each message and stays in force.
    void logColor(const QColor& colour);
    void logAppend(const QString& text, const QColor& colour = Qt::black); // a new paragraph
    void logInsert(const QString& text, const QColor& colour = Qt::black); // on the current line
    void logRepaint();
    void logMoveToEnd();
    // Every line written scrolls the log to its newest line.
    void scrollLogToEnd();

    // Run protocol. beginRun() starts a run unless one is going on, in which
    // case it raises the abort flag and returns false. While a run is going
    // on, the widgets given to setRunLockedWidgets() are disabled.
    bool beginRun(const QString& abortText = tr("Abort"));
    // Processes pending events and tells whether the run should stop.
    bool pollAbort();
    void endRun();
    // Runs `body` between beginRun() and endRun() (nothing when beginRun()
    // refuses). An exception that ends the run is logged in red, its message
    // put into `openCvFormat` (an OpenCV error) or `otherFormat` (any other)
    // at %1, followed by "Aborting...". Tells whether the run took place.
    bool runLogged(const std::function<void()>& body, const QString& openCvFormat,
                   const QString& otherFormat);
    void setRunLockedWidgets(const QList<QWidget*>& widgets) { runLocked = widgets; }

    // "Fix intrinsics" of one device toggled: when checked it checks the
    // intrinsic guess and every single fix of that device; the guess can be
    // unchecked again only once the intrinsics are no longer fixed.
    static void applyFixIntrinsics(bool checked, QCheckBox* useGuess,
                                   std::initializer_list<QCheckBox*> fixes);

    // Closing the window during a run aborts the run first; the window closes
    // when the run has come back.
    void closeEvent(QCloseEvent* event) override;
    // Escape rejects a dialog, which hides and deletes it without a close
    // event; during a run it aborts the run and closes the window after it.
    void reject() override;

    bool running = false;
    bool abortRequested = false;

    // The board of the last run.
    cv::Size patternSize;
    float squareWidth = 0;
    float squareHeight = 0;

private:
    QTextEdit* log = nullptr;
    QList<QWidget*> runLocked;
    QList<QPointer<QWidget>> lockedNow;
    QString idleButtonText;
    bool closePending = false;
};
