#include "gui/dialogs/ChessboardDialog.h"

#include <QApplication>
#include <QBrush>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDoubleValidator>
#include <QIntValidator>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStringList>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include <cmath>
#include <exception>

QString imageFileFilter()
{
    return QObject::tr("Image Files (*.png *.jpg *.tif *.bmp);; PNG (*.png);; JPEG (*.jpg *.jpeg);; "
                       "TIFF (*.tif *.tiff);; BMP (*.bmp);; All files (*.*)");
}

std::vector<QBrush> listBackgrounds(const QListWidget* list)
{
    std::vector<QBrush> backgrounds;
    for (int i = 0; i < list->count(); ++i)
        backgrounds.push_back(list->item(i)->background());
    return backgrounds;
}

void setListBackgrounds(QListWidget* list, const std::vector<QBrush>& backgrounds)
{
    for (int i = 0; i < list->count() && static_cast<size_t>(i) < backgrounds.size(); ++i)
        list->item(i)->setBackground(backgrounds[static_cast<size_t>(i)]);
}

ChessboardDialog::ChessboardDialog(QWidget* parent) : RunDialog(parent) {}

ChessboardDialog::~ChessboardDialog() = default;

void ChessboardDialog::initChessboardFrame(const ChessboardForm& form)
{
    chessboard = form;

    // Square sizes are real numbers in mm; the zero zone is a whole number of
    // pixels (-1 switches it off). Text that does not parse is not accepted.
    for (QLineEdit* edit : {form.edit_corners_width, form.edit_corners_height}) {
        auto* validator = new QDoubleValidator(0.0, 1e6, 6, edit);
        validator->setNotation(QDoubleValidator::StandardNotation);
        validator->setLocale(QLocale::c());
        edit->setValidator(validator);
    }
    for (QLineEdit* edit : {form.edit_zero_zone_x, form.edit_zero_zone_y})
        edit->setValidator(new QIntValidator(-1, 999, edit));
}

namespace {

bool readPositive(const QLineEdit* edit, const QString& what, float& value, QString& error)
{
    bool ok = false;
    value = edit->text().trimmed().toFloat(&ok);
    if (!ok || !std::isfinite(value) || value <= 0.f) {
        error = QString("%1 '%2' is not a positive number").arg(what, edit->text());
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
    const ChessboardForm& f = chessboard;
    options.patternSize = cv::Size(f.spin_corner_count_x->value(), f.spin_corner_count_y->value());
    if (!readPositive(f.edit_corners_width, tr("Square width"), options.squareWidth, error) ||
        !readPositive(f.edit_corners_height, tr("Square height"), options.squareHeight, error))
        return false;
    options.normalizeImage = f.check_normalize_image && f.check_normalize_image->isChecked();
    options.radon = f.check_radon_detection->isChecked();
    options.windowFactor = f.spin_win_size->value() / 100.0;

    int zone[2] = {1, 1};
    const QLineEdit* edits[2] = {f.edit_zero_zone_x, f.edit_zero_zone_y};
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        zone[i] = edits[i]->text().trimmed().toInt(&ok);
        if (!ok || zone[i] < -1) {
            error = tr("Zero zone '%1' is not a whole number of pixels").arg(edits[i]->text());
            return false;
        }
    }
    options.zeroZone = cv::Size(zone[0], zone[1]);
    return true;
}

bool ChessboardDialog::logDetectionStep(size_t index, const std::optional<BoardDetection>& detection,
                                        bool reused)
{
    const QString number = QString::number(index) + " ";
    logMoveToEnd();
    if (!detection) {
        logInsert(number, Qt::gray);
    } else if (detection->outcome == BoardDetection::Outcome::Error) {
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(detection->error).trimmed()),
                  Qt::red);
        logAppend(tr("Skipping...\n"), Qt::red);
    } else if (!detection->found()) {
        logInsert(number, Qt::red);
    } else {
        logInsert(number, reused ? Qt::darkGreen : Qt::green);
    }
    logRepaint();
    logColor(Qt::black);
    return !pollAbort();
}

QString ChessboardDialog::refinementWarning(const StereoRefinementReport& refinement)
{
    using End = StereoRefinementReport::End;
    const QString shift = tr("a further step would still move the reprojected points by %1 px, more than "
                             "the epsilon %2 px.")
                              .arg(refinement.remainingShift, 0, 'g', 3)
                              .arg(refinement.epsilon, 0, 'g', 3);
    switch (refinement.end) {
    case End::Converged:
        break;
    case End::IterationLimit:
        return tr("[WARNING] The optimization stopped at its limit of %1 iterations before converging: ")
                   .arg(refinement.maxIterations) +
               shift + tr(" Raise the maximum number of iterations and calibrate again.");
    case End::NoDescent:
        return tr("[WARNING] The optimization stopped before converging: no damped step lowered the error "
                  "any further; ") +
               shift;
    case End::Stalled:
        return tr("[WARNING] The optimization stopped before converging: the error no longer changed at "
                  "double precision; ") +
               shift;
    }
    return QString();
}

void ChessboardDialog::logUnconvergedRefinement(const StereoRefinementReport& refinement)
{
    const QString warning = refinementWarning(refinement);
    if (warning.isEmpty())
        return;
    logAppend(warning, Qt::darkYellow);
    logColor(Qt::black);
}

void ChessboardDialog::logRefusedPoints(const std::string& imagePath, bool fromCornerFile,
                                        const std::string& reason)
{
    const QString image = QString::fromStdString(imagePath);
    logAppend(tr("Refused %1: %2; nothing was changed, aborting...\n")
                  .arg(fromCornerFile ? cornerFilePath(image) : image, QString::fromStdString(reason)),
              Qt::red);
    logColor(Qt::black);
}

void ChessboardDialog::logNonPositiveFocalLengths(const std::string& reason)
{
    logAppend(tr("The calibration gave focal lengths that are not positive (%1); nothing was changed, "
                 "aborting...\n")
                  .arg(QString::fromStdString(reason)),
              Qt::red);
    logColor(Qt::black);
}

void ChessboardDialog::logColor(const QColor& colour)
{
    chessboard.text_log->setTextColor(colour);
}

void ChessboardDialog::logAppend(const QString& text, const QColor& colour)
{
    chessboard.text_log->setTextColor(colour);
    chessboard.text_log->append(text);
    scrollLogToEnd();
}

void ChessboardDialog::logInsert(const QString& text, const QColor& colour)
{
    chessboard.text_log->setTextColor(colour);
    chessboard.text_log->insertPlainText(text);
    scrollLogToEnd();
}

void ChessboardDialog::scrollLogToEnd()
{
    QScrollBar* bar = chessboard.text_log->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void ChessboardDialog::logRepaint()
{
    chessboard.text_log->repaint();
}

void ChessboardDialog::logMoveToEnd()
{
    chessboard.text_log->moveCursor(QTextCursor::End);
}

bool ChessboardDialog::beginRun(const QString& abortText)
{
    return RunDialog::beginRun(chessboard.button_calibrate, abortText, runLocked);
}

bool ChessboardDialog::runLogged(const std::function<void()>& body, const QString& openCvFormat,
                                 const QString& otherFormat)
{
    if (!beginRun())
        return false; // a run is going on: the press asked it to stop
    try {
        body();
    } catch (const cv::Exception& e) {
        logAppend(openCvFormat.arg(QString::fromStdString(e.what())), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
    } catch (const std::exception& e) {
        logAppend(otherFormat.arg(QString::fromLocal8Bit(e.what())), Qt::red);
        logAppend(tr("Aborting...\n"), Qt::red);
    }
    endRun();
    return true;
}

void ChessboardDialog::applyFixIntrinsics(bool checked, QCheckBox* useGuess,
                                          std::initializer_list<QCheckBox*> fixes)
{
    if (checked) {
        useGuess->setChecked(true);
        for (QCheckBox* box : fixes)
            box->setChecked(true);
    }
    useGuess->setEnabled(!checked);
}

void ChessboardDialog::logCoefficientCut(const QString& sensor, const CoefficientCut& cut,
                                         const QString& remedy)
{
    if (cut.empty())
        return;
    QStringList values;
    for (const auto& [index, value] : cut.leftOut)
        values << QString("%1 = %2").arg(distortionCoefficientName(index)).arg(value, 0, 'g', 4);
    QString text = tr("[WARNING] %1's start values hold %2, which the five-coefficient model leaves out: the "
                      "run starts from k1, k2, p1, p2, k3 only, and %1's result has 5 coefficients in place "
                      "of %3.")
                       .arg(sensor, values.join(", "))
                       .arg(cut.given);
    if (!remedy.isEmpty())
        text += " " + remedy;
    logAppend(text, Qt::darkYellow);
    logColor(Qt::black);
}
