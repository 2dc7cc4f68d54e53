#include "gui/dialogs/ChessboardDialog.h"

#include "core/geometry/calib_utils.h"
#include "core/chessboard/chessboard.h"
#include "gui/views/scene_builders.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleValidator>
#include <QFileInfo>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QVTKOpenGLNativeWidget.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

#include <vtkCamera.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkNew.h>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

int ChessboardOptions::detectorFlags() const
{
    return cv::CALIB_CB_ADAPTIVE_THRESH | (normalizeImage ? cv::CALIB_CB_NORMALIZE_IMAGE : 0);
}

std::vector<cv::Point3f> chessboardObjectPoints(cv::Size patternSize, float squareWidth, float squareHeight)
{
    std::vector<cv::Point3f> points;
    if (patternSize.width <= 0 || patternSize.height <= 0)
        return points;
    points.reserve(static_cast<size_t>(patternSize.area()));
    for (int r = 0; r < patternSize.height; ++r)
        for (int c = 0; c < patternSize.width; ++c)
            points.emplace_back(c * squareWidth, r * squareHeight, 0.f);
    return points;
}

QString cornerFilePath(const QString& imagePath)
{
    const QFileInfo info(imagePath);
    QString base = info.fileName();
    const int dot = base.lastIndexOf('.');
    if (dot >= 0)
        base.truncate(dot);
    return info.path() + "/" + base + ".yml";
}

namespace {

// The floats of a matrix read from a corner file, in memory order.
bool floatsOf(const cv::Mat& m, const char* key, std::vector<float>& values, QString& error)
{
    if (m.depth() != CV_32F) {
        error = QString("\"%1\" does not hold 32-bit floats").arg(key);
        return false;
    }
    const cv::Mat continuous = m.isContinuous() ? m : m.clone();
    const float* data = continuous.ptr<float>();
    values.assign(data, data + continuous.total() * continuous.channels());
    return true;
}

} // namespace

CornerFileStatus readCornerFile(const QString& imagePath, std::vector<cv::Point2f>& imagePoints,
                                std::vector<cv::Point3f>& objectPoints, QString& error)
{
    imagePoints.clear();
    objectPoints.clear();
    error.clear();
    const QString path = cornerFilePath(imagePath);
    if (!QFileInfo(path).isFile())
        return CornerFileStatus::Missing;

    cv::Mat corners, obj;
    try {
        cv::FileStorage fs(path.toStdString(), cv::FileStorage::READ);
        if (!fs.isOpened())
            return CornerFileStatus::Missing;
        const cv::FileNode cornersNode = fs["corners"];
        const cv::FileNode objNode = fs["obj"];
        if (cornersNode.empty() || objNode.empty()) {
            error = "it needs the keys \"corners\" and \"obj\"";
            return CornerFileStatus::Invalid;
        }
        if (!cornersNode.isMap() || !objNode.isMap()) {
            error = "\"corners\" and \"obj\" must be matrices";
            return CornerFileStatus::Invalid;
        }
        cornersNode >> corners;
        objNode >> obj;
    } catch (const cv::Exception& e) {
        error = QString::fromStdString(e.what()).trimmed();
        return CornerFileStatus::Invalid;
    }

    std::vector<float> c, o;
    if (!floatsOf(corners, "corners", c, error) || !floatsOf(obj, "obj", o, error))
        return CornerFileStatus::Invalid;
    if (c.empty() || c.size() % 2 != 0) {
        error = QString("\"corners\" holds %1 values, not a whole number of (x, y) pairs").arg(c.size());
        return CornerFileStatus::Invalid;
    }
    if (o.empty() || o.size() % 3 != 0) {
        error = QString("\"obj\" holds %1 values, not a whole number of (X, Y, Z) points").arg(o.size());
        return CornerFileStatus::Invalid;
    }
    if (c.size() / 2 != o.size() / 3) {
        error = QString("%1 image points but %2 object points").arg(c.size() / 2).arg(o.size() / 3);
        return CornerFileStatus::Invalid;
    }
    for (const float v : c)
        if (!std::isfinite(v)) {
            error = "\"corners\" holds a value that is not finite";
            return CornerFileStatus::Invalid;
        }
    for (const float v : o)
        if (!std::isfinite(v)) {
            error = "\"obj\" holds a value that is not finite";
            return CornerFileStatus::Invalid;
        }
    for (size_t k = 0; k < c.size() / 2; ++k)
        imagePoints.emplace_back(c[2 * k], c[2 * k + 1]);
    for (size_t k = 0; k < o.size() / 3; ++k)
        objectPoints.emplace_back(o[3 * k], o[3 * k + 1], o[3 * k + 2]);
    return CornerFileStatus::Loaded;
}

bool detectChessboard(const cv::Mat& gray, const ChessboardOptions& options,
                      std::vector<cv::Point2f>& corners)
{
    corners.clear();
    if (gray.empty())
        return false;
    if (options.radon) {
        bool found = findChessboardCorners2(gray, options.patternSize, corners, 1, cv::noArray());
        if (!found) {
            cv::Mat equalized;
            cv::equalizeHist(gray, equalized);
            corners.clear();
            found = findChessboardCorners2(equalized, options.patternSize, corners, 1, cv::noArray());
        }
        if (!found)
            corners.clear();
        return found;
    }
    const bool found = cv::findChessboardCorners(gray, options.patternSize, corners, options.detectorFlags());
    if (!found) {
        corners.clear();
        return false;
    }
    std::vector<cv::Point2f> refined;
    std::vector<int> windowSizes;
    refineCornersAdaptive(gray, corners, options.windowFactor, options.zeroZone, refined, windowSizes);
    corners = refined;
    return true;
}

std::vector<double> reprojectionDistances(const std::vector<cv::Point2f>& measured,
                                          const std::vector<cv::Point2f>& projected)
{
    std::vector<double> distances(measured.size());
    for (size_t k = 0; k < measured.size(); ++k) {
        const double dx = static_cast<double>(measured[k].x) - projected[k].x;
        const double dy = static_cast<double>(measured[k].y) - projected[k].y;
        distances[k] = std::sqrt(dx * dx + dy * dy);
    }
    return distances;
}

cv::Vec3b toRgb255(const cv::Point3d& colour)
{
    return cv::Vec3b(static_cast<uchar>(static_cast<int>(colour.x * 255)),
                     static_cast<uchar>(static_cast<int>(colour.y * 255)),
                     static_cast<uchar>(static_cast<int>(colour.z * 255)));
}

QString imageFileFilter()
{
    return QObject::tr("Image Files (*.png *.jpg *.tif *.bmp);; PNG (*.png);; JPEG (*.jpg *.jpeg);; "
                       "TIFF (*.tif *.tiff);; BMP (*.bmp);; All files (*.*)");
}

QString safeFileNamePart(const QString& name)
{
    QString safe;
    safe.reserve(name.size());
    for (const QChar ch : name) {
        const bool bad = ch.unicode() < 0x20 || ch == QChar(0x7f) || QString("/\\:*?\"<>|").contains(ch);
        safe += bad ? QChar('_') : ch;
    }
    if (safe.isEmpty() || safe == "." || safe == "..")
        safe = QString(safe.size() + 1, QChar('_'));
    return safe;
}

void refillSensorCombo(QComboBox* combo, const std::vector<QString>& names)
{
    const QString previousName = combo->currentText();
    const int previousIndex = combo->currentIndex();
    const QSignalBlocker blocker(combo);
    combo->clear();
    for (const QString& name : names)
        combo->addItem(name);

    int index = -1;
    if (previousIndex >= 0 && !previousName.isEmpty()) {
        if (previousIndex < static_cast<int>(names.size()) && names[previousIndex] == previousName)
            index = previousIndex;
        else
            index = combo->findText(previousName, Qt::MatchExactly | Qt::MatchCaseSensitive);
    }
    if (index < 0 && previousIndex < static_cast<int>(names.size()))
        index = previousIndex;
    combo->setCurrentIndex(index);
}

ChessboardDialog::ChessboardDialog(QWidget* parent) : QDialog(parent) {}

ChessboardDialog::~ChessboardDialog() = default;

void ChessboardDialog::initChessboardFrame()
{
    log = findChild<QTextEdit*>("text_log");

    // Square sizes are real numbers in mm; the zero zone is a whole number of
    // pixels (-1 switches it off). Text that does not parse is not accepted.
    for (const char* name : {"edit_corners_width", "edit_corners_height"}) {
        if (auto* edit = findChild<QLineEdit*>(name)) {
            auto* validator = new QDoubleValidator(0.0, 1e6, 6, edit);
            validator->setNotation(QDoubleValidator::StandardNotation);
            validator->setLocale(QLocale::c());
            edit->setValidator(validator);
        }
    }
    for (const char* name : {"edit_zero_zone_x", "edit_zero_zone_y"})
        if (auto* edit = findChild<QLineEdit*>(name))
            edit->setValidator(new QIntValidator(-1, 999, edit));
}

namespace {

bool readPositive(const QLineEdit* edit, const QString& what, float& value, QString& error)
{
    bool ok = false;
    value = edit ? edit->text().trimmed().toFloat(&ok) : 0.f;
    if (!ok || !std::isfinite(value) || value <= 0.f) {
        error = QString("%1 '%2' is not a positive number").arg(what, edit ? edit->text() : QString());
        return false;
    }
    return true;
}

} // namespace

bool ChessboardDialog::takeChessboardOptions(ChessboardOptions& options)
{
    QString error;
    if (!readChessboardOptions(options, error)) {
        logAppend(error + tr(", aborting...\n"), Qt::red);
        return false;
    }
    patternSize = options.patternSize;
    squareWidth = options.squareWidth;
    squareHeight = options.squareHeight;
    return true;
}

bool ChessboardDialog::readChessboardOptions(ChessboardOptions& options, QString& error) const
{
    const auto* spinX = findChild<QSpinBox*>("spin_corner_count_x");
    const auto* spinY = findChild<QSpinBox*>("spin_corner_count_y");
    options.patternSize = cv::Size(spinX ? spinX->value() : 0, spinY ? spinY->value() : 0);
    if (!readPositive(findChild<QLineEdit*>("edit_corners_width"), tr("Square width"), options.squareWidth,
                      error) ||
        !readPositive(findChild<QLineEdit*>("edit_corners_height"), tr("Square height"), options.squareHeight,
                      error))
        return false;

    const auto* normalize = findChild<QCheckBox*>("check_normalize_image");
    options.normalizeImage = normalize && normalize->isChecked();
    const auto* radon = findChild<QCheckBox*>("check_radon_detection");
    options.radon = radon && radon->isChecked();
    const auto* winSize = findChild<QSpinBox*>("spin_win_size");
    options.windowFactor = (winSize ? winSize->value() : 10) / 100.0;

    int zone[2] = {1, 1};
    const char* zoneNames[2] = {"edit_zero_zone_x", "edit_zero_zone_y"};
    for (int i = 0; i < 2; ++i) {
        const auto* edit = findChild<QLineEdit*>(zoneNames[i]);
        if (!edit)
            continue;
        bool ok = false;
        zone[i] = edit->text().trimmed().toInt(&ok);
        if (!ok || zone[i] < -1) {
            error = tr("Zero zone '%1' is not a whole number of pixels").arg(edit->text());
            return false;
        }
    }
    options.zeroZone = cv::Size(zone[0], zone[1]);
    return true;
}

void ChessboardDialog::logColor(const QColor& colour)
{
    if (log)
        log->setTextColor(colour);
}

void ChessboardDialog::logAppend(const QString& text, const QColor& colour)
{
    if (!log)
        return;
    log->setTextColor(colour);
    log->append(text);
}

void ChessboardDialog::logInsert(const QString& text, const QColor& colour)
{
    if (!log)
        return;
    log->setTextColor(colour);
    log->insertPlainText(text);
}

void ChessboardDialog::logRepaint()
{
    if (log)
        log->repaint();
}

void ChessboardDialog::logMoveToEnd()
{
    if (log)
        log->moveCursor(QTextCursor::End);
}

bool ChessboardDialog::beginRun(const QString& abortText)
{
    if (running) {
        abortRequested = true;
        return false;
    }
    running = true;
    abortRequested = false;
    if (auto* button = findChild<QPushButton*>("button_calibrate")) {
        idleButtonText = button->text();
        button->setText(abortText);
    }
    lockedNow.clear();
    for (QWidget* w : runLocked) {
        if (w && w->isEnabled()) {
            w->setEnabled(false);
            lockedNow.append(w);
        }
    }
    return true;
}

bool ChessboardDialog::pollAbort()
{
    QCoreApplication::processEvents();
    return abortRequested;
}

void ChessboardDialog::endRun()
{
    for (const QPointer<QWidget>& w : lockedNow)
        if (w)
            w->setEnabled(true);
    lockedNow.clear();
    if (auto* button = findChild<QPushButton*>("button_calibrate"))
        button->setText(idleButtonText.isEmpty() ? tr("Calibrate") : idleButtonText);
    running = false;
    abortRequested = false;
    if (closePending) {
        closePending = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void ChessboardDialog::closeEvent(QCloseEvent* event)
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

void ChessboardDialog::reject()
{
    if (running) {
        abortRequested = true;
        closePending = true;
        return;
    }
    QDialog::reject();
}

vtkSmartPointer<vtkRenderer> setupChessboardSceneView(QVTKOpenGLNativeWidget* widget)
{
    vtkNew<vtkGenericOpenGLRenderWindow> window;
    widget->setRenderWindow(window);
    auto renderer = vtkSmartPointer<vtkRenderer>::New();
    renderer->GradientBackgroundOn();
    renderer->SetBackground(0.13, 0.52, 0.95);
    renderer->SetBackground2(0.95, 0.95, 0.95);
    window->AddRenderer(renderer);
    renderer->ResetCamera();
    vtkCamera* camera = renderer->GetActiveCamera();
    camera->Roll(180);
    camera->SetPosition(0, 0, -5000);
    drawWorldAxes(renderer, "");
    renderer->ResetCameraClippingRange();
    return renderer;
}

void renderSceneView(QVTKOpenGLNativeWidget* widget)
{
    if (widget && widget->isVisible() && widget->renderWindow())
        widget->renderWindow()->Render();
}
