#include "gui/dialogs/ChessboardDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleValidator>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
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
    scrollLogToEnd();
}

void ChessboardDialog::logInsert(const QString& text, const QColor& colour)
{
    if (!log)
        return;
    log->setTextColor(colour);
    log->insertPlainText(text);
    scrollLogToEnd();
}

void ChessboardDialog::scrollLogToEnd()
{
    if (QScrollBar* bar = log ? log->verticalScrollBar() : nullptr)
        bar->setValue(bar->maximum());
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
