#pragma once

// The frame shared by the dialogs that calibrate from images of a chessboard
// target: reading the detection options from the form, the run and abort
// protocol, the coloured log and the sensor combo boxes. Detection, the
// board's object points and the per-image corner files are core modules; they
// are included here for every chessboard dialog.
//
// A dialog derives from ChessboardDialog, builds its Designer form on itself
// and then calls initChessboardFrame(chessboardFormOf(ui)): the frame reaches
// the option widgets through the form's own members, bound when the dialog is
// compiled.

#include "core/calib/stereo_calib.h"
#include "core/chessboard/chessboard_detection.h"
#include "core/chessboard/detection_pass.h"
#include "core/io/corner_file.h"
#include "core/io/file_names.h"
#include "gui/dialogs/RunDialog.h"
#include "gui/views/scene_view.h"

#include <QColor>
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

#include <opencv2/core.hpp>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class QBrush;
class QCheckBox;
class QCloseEvent;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTextEdit;
class QWidget;

// The widgets of a chessboard form that the frame reads and drives. Every
// chessboard form has them, except "Normalize image", which the stereo and
// camera-projector forms do not show (null there: the flag stays off).
struct ChessboardForm {
    QTextEdit* text_log = nullptr;
    QPushButton* button_calibrate = nullptr; // reads "Abort" during a run
    QSpinBox* spin_corner_count_x = nullptr;
    QSpinBox* spin_corner_count_y = nullptr;
    QLineEdit* edit_corners_width = nullptr;
    QLineEdit* edit_corners_height = nullptr;
    QCheckBox* check_normalize_image = nullptr;
    QCheckBox* check_radon_detection = nullptr;
    QSpinBox* spin_win_size = nullptr;
    QLineEdit* edit_zero_zone_x = nullptr;
    QLineEdit* edit_zero_zone_y = nullptr;
};

namespace chessboard_form_detail {
template <class Ui, class = void> struct HasNormalizeCheck : std::false_type {
};
template <class Ui>
struct HasNormalizeCheck<Ui, std::void_t<decltype(std::declval<Ui&>().check_normalize_image)>>
    : std::true_type {
};
} // namespace chessboard_form_detail

// The chessboard widgets of a Designer form object (Ui::IntrChessCalibWin, ...).
template <class Ui> ChessboardForm chessboardFormOf(Ui* ui)
{
    ChessboardForm f;
    f.text_log = ui->text_log;
    f.button_calibrate = ui->button_calibrate;
    f.spin_corner_count_x = ui->spin_corner_count_x;
    f.spin_corner_count_y = ui->spin_corner_count_y;
    f.edit_corners_width = ui->edit_corners_width;
    f.edit_corners_height = ui->edit_corners_height;
    if constexpr (chessboard_form_detail::HasNormalizeCheck<Ui>::value)
        f.check_normalize_image = ui->check_normalize_image;
    f.check_radon_detection = ui->check_radon_detection;
    f.spin_win_size = ui->spin_win_size;
    f.edit_zero_zone_x = ui->edit_zero_zone_x;
    f.edit_zero_zone_y = ui->edit_zero_zone_y;
    return f;
}

// The file-dialog filter of calibration images.
QString imageFileFilter();

// The background of every entry of an image list, in list order, and the
// same set back (entries beyond the given ones keep theirs): a run that is
// refused gives the list the colours of the run before.
std::vector<QBrush> listBackgrounds(const QListWidget* list);
void setListBackgrounds(QListWidget* list, const std::vector<QBrush>& backgrounds);

class ChessboardDialog : public RunDialog {
    Q_OBJECT

public:
    explicit ChessboardDialog(QWidget* parent = nullptr);
    ~ChessboardDialog() override;

    // The log's warning for a joint refinement that stopped before
    // converging: the cause, how far a further step would still move the
    // reprojected points and the epsilon; at the step limit also the limit
    // and what to do. Empty for a converged refinement.
    static QString refinementWarning(const StereoRefinementReport& refinement);

protected:
    // Call once after the form is built: keeps the form's chessboard widgets
    // and gives the numeric line edits their validators.
    void initChessboardFrame(const ChessboardForm& form);

    // Reads the chessboard options from the form. Returns false, with the
    // reason, when a number cannot be read or is out of range.
    bool readChessboardOptions(ChessboardOptions& options, QString& error) const;

    // Reads the options at the start of a run and keeps the board's size in
    // patternSize, squareWidth and squareHeight. A bad value is logged in red
    // ("..., aborting...") and gives false.
    bool takeChessboardOptions(ChessboardOptions& options);

    // Logs one image of a detection pass as every chessboard dialog does: its
    // number and a blank on the current line, green when the board was found
    // now, dark green when an earlier detection was reused, red when it was
    // not found or the file could not be read, gray for an image that is not
    // selected. A detector error is logged as "OpenCV exception caught: %1"
    // and "Skipping...". Then polls the abort flag: false when the run
    // should stop.
    bool logDetectionStep(size_t index, const std::optional<BoardDetection>& detection, bool reused);

    // A joint refinement that stopped before converging, whatever the cause,
    // is said in the warning colour (dark yellow) with refinementWarning's
    // text. Nothing is logged for a converged refinement.
    void logUnconvergedRefinement(const StereoRefinementReport& refinement);

    // A run refused before it calibrated because the points of one image lie
    // far outside the image (imagePointsWithinBound): the log names the
    // image's corner file (the image itself when its points were detected)
    // and the point's value, in red.
    void logRefusedPoints(const std::string& imagePath, bool fromCornerFile, const std::string& reason);
    // A calibration that gave a camera whose focal lengths are not positive:
    // a failed run, in red, with the values.
    void logNonPositiveFocalLengths(const std::string& reason);

    // Log: the colour is set before each message and stays in force.
    void logColor(const QColor& colour);
    void logAppend(const QString& text, const QColor& colour = Qt::black); // a new paragraph
    void logInsert(const QString& text, const QColor& colour = Qt::black); // on the current line
    void logRepaint();
    void logMoveToEnd();
    // Every line written scrolls the log to its newest line.
    void scrollLogToEnd();

    // Run protocol (RunDialog) with the form's calibrate button: beginRun()
    // starts a run unless one is going on, in which case it raises the abort
    // flag and returns false. While a run is going on, the widgets given to
    // setRunLockedWidgets() are disabled.
    bool beginRun(const QString& abortText = tr("Abort"));
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

    // Start coefficients of `sensor` that its five-coefficient model left out
    // of a run: one line in the warning colour (dark yellow) naming the
    // sensor and each coefficient with its value, followed by `remedy` when
    // there is one. Nothing is logged when nothing was left out.
    void logCoefficientCut(const QString& sensor, const CoefficientCut& cut, const QString& remedy = {});

    // Detections of the dialog's images, reused while neither a file nor a
    // detection option changes; emptied when images are opened and when a
    // detection option changes.
    DetectionCache detectionCache;

    // The board of the last run.
    cv::Size patternSize;
    float squareWidth = 0;
    float squareHeight = 0;

private:
    ChessboardForm chessboard;
    QList<QWidget*> runLocked;
};
