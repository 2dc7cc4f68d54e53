#pragma once

// The frame shared by the dialogs that calibrate from images of a chessboard
// target: reading the detection options from the form, detecting the board in
// one image, the board's object points, the per-image corner files, the run
// and abort protocol, the coloured log and the sensor combo boxes.
//
// A dialog derives from ChessboardDialog, builds its Designer form on itself
// and then calls initChessboardFrame(). The frame finds the option widgets by
// their object names (spin_corner_count_x, edit_corners_width, ...), which are
// the same in every chessboard form.

#include <QColor>
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <vector>

class QCloseEvent;
class QComboBox;
class QTextEdit;
class QWidget;

// Detection options, read afresh from the form at the start of every run.
struct ChessboardOptions {
    cv::Size patternSize;        // inner corners along x and y
    float squareWidth = 0;       // mm
    float squareHeight = 0;      // mm
    bool normalizeImage = false; // adds CALIB_CB_NORMALIZE_IMAGE to OpenCV's detector
    bool radon = false;          // the program's own detector instead of OpenCV's
    double windowFactor = 0.1;   // refinement window as a fraction of the neighbour distance
    cv::Size zeroZone{1, 1};     // refinement dead zone, px

    // Flags for cv::findChessboardCorners: adaptive threshold, plus
    // normalisation when asked for.
    int detectorFlags() const;
};

// Outcome of reading the corner file of one image.
enum class CornerFileStatus {
    Missing, // no file, or it cannot be opened: the image is detected as usual
    Loaded,  // image and object points read
    Invalid  // the file exists but cannot be parsed or does not fit; the reason is given
};

// The board's inner corners in its own frame (z = 0, mm), row by row: for
// row r and column c the point (c * w, r * h, 0). Point k belongs to the
// corner that the detectors return at position k.
std::vector<cv::Point3f> chessboardObjectPoints(cv::Size patternSize, float squareWidth, float squareHeight);

// Path of the corner file of an image: the image's folder, "/", its base name
// (the file name up to its last '.') and ".yml".
QString cornerFilePath(const QString& imagePath);

// Reads the corner file of an image: "corners" (32-bit floats x0, y0, x1, ...,
// pixels) and "obj" (32-bit floats X0, Y0, Z0, X1, ..., mm). The element type,
// the element counts and the number of points are checked; on Invalid the
// outputs are empty and `error` says why.
CornerFileStatus readCornerFile(const QString& imagePath, std::vector<cv::Point2f>& imagePoints,
                                std::vector<cv::Point3f>& objectPoints, QString& error);

// Finds the inner corners of the board in an 8-bit gray image. The program's
// own detector (options.radon) is retried once on the equalised image and its
// corners are used as found; OpenCV's detector is followed by the adaptive
// sub-pixel refinement. An empty image is simply not a board. OpenCV errors
// propagate as cv::Exception.
bool detectChessboard(const cv::Mat& gray, const ChessboardOptions& options,
                      std::vector<cv::Point2f>& corners);

// Pixel distances between measured points and their reprojections, pairwise.
std::vector<double> reprojectionDistances(const std::vector<cv::Point2f>& measured,
                                          const std::vector<cv::Point2f>& projected);

// An errorColor value (components in 0..1) as 8-bit red, green, blue for the
// image overlays (truncated).
cv::Vec3b toRgb255(const cv::Point3d& colour);

// The file-dialog filter of calibration images.
QString imageFileFilter();

// A sensor name made safe for use as part of a file name: path separators,
// characters that file systems refuse and control characters become '_', so
// the result file stays in the folder it is written to.
QString safeFileNamePart(const QString& name);

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

    // Run protocol. beginRun() starts a run unless one is going on, in which
    // case it raises the abort flag and returns false. While a run is going
    // on, the widgets given to setRunLockedWidgets() are disabled.
    bool beginRun(const QString& abortText = tr("Abort"));
    // Processes pending events and tells whether the run should stop.
    bool pollAbort();
    void endRun();
    void setRunLockedWidgets(const QList<QWidget*>& widgets) { runLocked = widgets; }

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

class QVTKOpenGLNativeWidget;
class vtkRenderer;

// Sets up a dialog's 3D view: a renderer with the blue-to-white gradient
// background in a new render window of the widget, the camera rolled by 180
// degrees and placed at (0, 0, -5000), and the world axes.
vtkSmartPointer<vtkRenderer> setupChessboardSceneView(QVTKOpenGLNativeWidget* widget);

// Renders the widget's window when it is on screen (it renders itself when
// it is shown).
void renderSceneView(QVTKOpenGLNativeWidget* widget);
