#include "gui/dialogs/ManhattanWorld.h"
#include "ui_ManhattanWorld.h"

#include "core/lines/line_detection.h"
#include "gui/views/scene_builders.h"
#include "gui/views/scene_view.h"
#include "gui/views/settings.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QPainter>
#include <QPixmap>
#include <QSignalBlocker>
#include <QStyle>
#include <QTextCursor>
#include <QTimer>

#include <QVTKOpenGLNativeWidget.h>
#include <vtkRenderer.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

const QColor kBlack(Qt::black), kRed(Qt::red);
constexpr QChar kBlock(0x25AE);
const char* const kAxisNames[] = {"X", "Y", "Z"};

cv::Matx33d matx(const cv::Mat& K)
{
    cv::Mat K64;
    K.convertTo(K64, CV_64F);
    return cv::Matx33d(K64);
}

QColor qcolour(const cv::Vec3b& rgb)
{
    return QColor(rgb[0], rgb[1], rgb[2]);
}

QPixmap pixmapOf(const cv::Mat& bgr)
{
    return QPixmap::fromImage(
        QImage(bgr.data, bgr.cols, bgr.rows, int(bgr.step), QImage::Format_RGB888).rgbSwapped());
}

// The whole number in a line edit that its validator accepts, or none.
std::optional<int> wholeNumber(const QLineEdit* edit)
{
    bool ok = false;
    const int value = edit->text().toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    QString text = edit->text();
    int pos = 0;
    if (edit->validator() && edit->validator()->validate(text, pos) != QValidator::Acceptable)
        return std::nullopt;
    return value;
}

// Equal in shape, type and every element; two empty matrices are equal.
bool sameMatrix(const cv::Mat& a, const cv::Mat& b)
{
    if (a.empty() || b.empty())
        return a.empty() && b.empty();
    return a.size == b.size && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

} // namespace

bool ManhattanWorld::SensorIntrinsics::operator==(const SensorIntrinsics& other) const
{
    return sameMatrix(K, other.K) && sameMatrix(kc, other.kc) && size == other.size;
}

ManhattanWorld::ManhattanWorld(QWidget* parent, std::vector<QString> names)
    : RunDialog(parent), form(new Ui::ManhattanWorld), sensorNames(std::move(names))
{
    form->setupUi(this);
    loadSettings(this, lastDir);
    baseTitle = tr("Manhattan World Calibration");
    {
        const QSignalBlocker bs(form->combo_sensor), bw(form->combo_world);
        for (const QString& name : sensorNames) {
            form->combo_sensor->addItem(name);
            form->combo_world->addItem(name);
        }
        if (sensorNames.size() >= 2)
            form->combo_sensor->setCurrentIndex(1);
    }
    form->edit_min_line_length->setValidator(new QIntValidator(0, 1000, form->edit_min_line_length));
    form->edit_num_vps->setValidator(new QIntValidator(1, 100, form->edit_num_vps));
    form->edit_segment_length->setValidator(new QIntValidator(0, 1000000, form->edit_segment_length));
    form->group_line_intersection->hide();
    fitTextsToFont();

    renderer = setupChessboardSceneView(form->widget_vtk);

    connect(form->image_label, &ImageLabel::sendMouseCoord, this, &ManhattanWorld::getMouseCoord);
}

// Widths that the texts need with the font in use, so that the layout never
// squeezes one of them: the titles of the two sensor boxes (at least 120
// px), the labels of buttons, check boxes and radio buttons with the style's
// margins, and the picked points of images up to 99999 px wide and high.
void ManhattanWorld::fitTextsToFont()
{
    for (QGroupBox* group : {form->groupBox_3, form->groupBox_2})
        group->setMinimumWidth(std::max(group->minimumWidth(), group->minimumSizeHint().width()));
    for (QPushButton* button : findChildren<QPushButton*>()) {
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        button->setMinimumWidth(std::max(
            button->minimumWidth(), button->fontMetrics().horizontalAdvance(button->text()) + 2 * margin));
    }
    for (QAbstractButton* box : findChildren<QAbstractButton*>())
        if (qobject_cast<QCheckBox*>(box) || qobject_cast<QRadioButton*>(box))
            box->setMinimumWidth(box->sizeHint().width());
    for (QLabel* label : {form->label_O, form->label_P})
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance("O (99999.50, 99999.50)"));
}

ManhattanWorld::~ManhattanWorld()
{
    saveSettings(this, lastDir);
    delete form;
}

// ----- log ------------------------------------------------------------------

void ManhattanWorld::logColor(const QColor& colour)
{
    form->text_log->setTextColor(colour);
}

void ManhattanWorld::logAppend(const QString& text, const QColor& colour)
{
    form->text_log->setTextColor(colour);
    form->text_log->append(text);
}

void ManhattanWorld::logInsert(const QString& text, const QColor& colour)
{
    form->text_log->setTextColor(colour);
    form->text_log->insertPlainText(text);
}

void ManhattanWorld::logAbort(const QString& what)
{
    logAppend(tr("OpenCV exception caught : ") + what, kRed);
    logAppend(tr("Aborting...\n"), kRed);
    logColor(kBlack);
}

// ----- options and run protocol ----------------------------------------------

ManhattanWorld::Options ManhattanWorld::readOptions() const
{
    Options o;
    o.minLineLength = wholeNumber(form->edit_min_line_length);
    o.vanishingPoints = wholeNumber(form->edit_num_vps);
    o.weighted = !form->radio_LS->isChecked();
    o.segmentLength = wholeNumber(form->edit_segment_length);
    return o;
}

bool ManhattanWorld::beginRun(QPushButton* button)
{
    const QList<QWidget*> locked = {form->button_open_image,
                                    form->button_detect_lines,
                                    form->button_get_vanishing_points,
                                    form->button_get_cam_pose,
                                    form->edit_min_line_length,
                                    form->edit_num_vps,
                                    form->edit_segment_length,
                                    form->combo_sensor,
                                    form->combo_world,
                                    form->combo_x,
                                    form->combo_y,
                                    form->combo_z,
                                    form->check_x_invert,
                                    form->check_y_invert,
                                    form->check_z_invert,
                                    form->button_pick_O,
                                    form->button_pick_P,
                                    form->radio_LS,
                                    form->radio_LS_weighted};
    return RunDialog::beginRun(button, tr("Abort"), locked);
}

bool ManhattanWorld::keepRunning(int percent)
{
    form->progress_bar->setValue(percent);
    return !pollAbort();
}

// ----- sensors, image, picks -------------------------------------------------

void ManhattanWorld::refreshSensors(const SceneChange& change)
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(form->combo_sensor, sensorNames, change);
    refillSensorCombo(form->combo_world, sensorNames, change);
    if (detectedFor)
        detectedFor->row = change.rowAfter(detectedFor->row);
}

ManhattanWorld::SensorIntrinsics ManhattanWorld::intrinsicsOf(int row)
{
    SensorIntrinsics intrinsics;
    emit getIntrinsics(row, intrinsics.K, intrinsics.kc, intrinsics.size);
    return intrinsics;
}

void ManhattanWorld::on_button_open_image_clicked()
{
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Open Image"), lastDir,
                                     tr("Image Files (*.png *.jpg *.tif *.bmp);; PNG (*.png);; JPEG (*.jpg "
                                        "*.jpeg);; TIFF (*.tif *.tiff);; BMP "
                                        "(*.bmp);; All files (*.*)"));
    openImage(path);
}

void ManhattanWorld::openImage(const QString& path)
{
    // A cancelled dialog or a missing file changes nothing.
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    form->text_log->moveCursor(QTextCursor::End);
    logColor(kBlack);

    cv::Mat colour, gray;
    try {
        colour = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
        if (!colour.empty())
            cv::cvtColor(colour, gray, cv::COLOR_BGR2GRAY);
    } catch (const cv::Exception& e) {
        logAppend(tr("OpenCV exception caught: %1").arg(QString::fromStdString(e.what())), kRed);
        form->text_log->repaint();
        logColor(kBlack);
        return;
    }
    if (colour.empty()) {
        // the image shown before stays, with everything computed from it
        logAppend(tr("Could not open image: ") + path, kRed);
        form->text_log->repaint();
        logColor(kBlack);
        return;
    }

    // The image, its grey copy and the path change together.
    imagePath = path;
    loadedColour = colour;
    loadedGray = gray;
    colourImage = colour;
    grayImage = gray;
    imgSize = cv::Size(colour.cols, colour.rows);
    lastDir = QFileInfo(path).absolutePath();

    segments.clear();
    dropVanishingPoints();
    pointO.reset();
    pointP.reset();
    form->label_O->setText("O (x,y)");
    form->label_P->setText("P (x,y)");
    logAppend(tr("Input image: %1 x %2 px").arg(colour.cols).arg(colour.rows));

    if (form->check_show_image->isChecked())
        form->image_label->setImage(colourImage);
    else
        form->check_show_image->setChecked(true);
    showThumbnail(colour, form->label_vanishing);
    setWindowTitle(QString("%1 - %2").arg(baseTitle, imagePath));
}

// The faded square thumbnail of the image's centre, shown in both thumbnail labels.
void ManhattanWorld::showThumbnail(const cv::Mat& image, QLabel* label)
{
    const int side = std::min(image.cols, image.rows);
    const cv::Rect square = image.rows > image.cols ? cv::Rect(0, (image.rows - image.cols) / 2, side, side)
                                                    : cv::Rect((image.cols - image.rows) / 2, 0, side, side);
    // square, so that it shows whole in the label however the panel is shaped
    const int s = std::max(std::min(label->width(), label->height()), 1);
    cv::Mat small;
    cv::resize(image(square), small, cv::Size(s, s), 0, 0, cv::INTER_LINEAR);
    cv::addWeighted(small, 0.5, cv::Mat(small.size(), small.type(), cv::Scalar::all(255)), 0.5, 0, thumbnail);
    const QPixmap pixmap = pixmapOf(thumbnail);
    form->label_vanishing->setPixmap(pixmap);
    form->label_manhattan->setPixmap(pixmap);
}

void ManhattanWorld::drawPicks(const cv::Point2f& first, const char* firstName,
                               const std::optional<cv::Point2f>& second, const char* secondName)
{
    const cv::Vec3b magenta(255, 0, 255);
    const float textSize = float(colourImage.cols) / float(std::max(form->image_label->width(), 1)) * 20.f;
    std::vector<cv::Point2f> points{first};
    std::vector<std::string> texts{firstName};
    if (second && second->x > 0 && second->y > 0) {
        points.push_back(*second);
        texts.push_back(secondName);
    }
    std::vector<cv::Point2f> positions;
    for (const auto& p : points)
        positions.emplace_back(p.x, p.y + textSize / 2);
    form->image_label->setCrosses(points, std::vector<cv::Vec3b>(points.size(), magenta));
    form->image_label->setTexts(positions, texts, std::vector<float>(points.size(), textSize),
                                std::vector<cv::Vec3b>(points.size(), magenta));
    repaint();
}

void ManhattanWorld::getMouseCoord(QPointF mouseXY)
{
    if (colourImage.empty())
        return;
    const auto label = [](const char* name, const cv::Point2f& p) {
        return QString("%1 (%2, %3)").arg(name).arg(p.x, 0, 'f', 2).arg(p.y, 0, 'f', 2);
    };
    const cv::Point2f p(float(mouseXY.x() - 0.5), float(mouseXY.y() - 0.5));
    if (form->button_pick_O->isChecked()) {
        pointO = p;
        form->label_O->setText(label("O", p));
        drawPicks(p, "O", pointP, "P");
        form->button_pick_O->setChecked(false);
    }
    if (form->button_pick_P->isChecked()) {
        pointP = p;
        form->label_P->setText(label("P", p));
        drawPicks(p, "P", pointO, "O");
        form->button_pick_P->setChecked(false);
    }
}

void ManhattanWorld::on_edit_min_line_length_textEdited(const QString&)
{
    segments.clear();
}

void ManhattanWorld::on_button_pick_O_toggled(bool checked)
{
    if (checked)
        form->button_pick_P->setChecked(false);
}

void ManhattanWorld::on_button_pick_P_toggled(bool checked)
{
    if (checked)
        form->button_pick_O->setChecked(false);
}

void ManhattanWorld::on_check_show_image_stateChanged(int)
{
    updateImageView();
}

void ManhattanWorld::on_radio_show_lines_toggled(bool)
{
    updateImageView();
}

void ManhattanWorld::on_radio_show_manhattan_lines_toggled(bool)
{
    updateImageView();
}

void ManhattanWorld::updateImageView()
{
    if (colourImage.empty())
        return;
    cv::Mat view = colourImage.clone();
    if (!form->check_show_image->isChecked())
        view.setTo(cv::Scalar::all(255));
    if (form->radio_show_lines->isChecked()) {
        if (segments.empty())
            form->image_label->setImage(view);
        else
            form->image_label->setImageAndLines(
                view, segments, std::vector<cv::Vec3b>(segments.size(), cv::Vec3b(0, 255, 255)));
    }
    if (form->radio_show_manhattan_lines->isChecked()) {
        if (clusters.empty())
            form->image_label->setImage(view);
        else
            form->image_label->setImageAndLines(view, manhattanSegments, manhattanColours);
    }
}

// ----- line detection ---------------------------------------------------------

void ManhattanWorld::on_button_detect_lines_clicked()
{
    try {
        detectLines();
    } catch (const std::exception& e) {
        logAbort(QString::fromLocal8Bit(e.what()));
    }
}

// Gathers the image, the camera's intrinsics and the least length, runs
// runLineDetection and shows its segments. false when nothing was detected.
bool ManhattanWorld::detectLines()
{
    form->text_log->moveCursor(QTextCursor::End);
    logColor(kBlack);
    if (loadedGray.empty()) {
        logAppend(tr("No image loaded, aborting..."), kRed);
        logColor(kBlack);
        return false;
    }
    const Options options = readOptions();
    if (!options.minLineLength) {
        logAppend(tr("The field 'Min Line Length [px]' does not hold a whole number from 0 to 1000, "
                     "aborting...\n"),
                  kRed);
        logColor(kBlack);
        return false;
    }
    const DetectionCamera camera{form->combo_sensor->currentIndex(),
                                 intrinsicsOf(form->combo_sensor->currentIndex())};

    LineDetectionInput input;
    input.gray = loadedGray;
    input.colour = loadedColour;
    input.K = camera.intrinsics.K;
    input.kc = camera.intrinsics.kc;
    input.storedSize = camera.intrinsics.size;
    input.minLineLength = *options.minLineLength;
    const LineDetectionResult result = runLineDetection(input);
    if (!result.ok) {
        logAppend(QString::fromStdString(result.error) + tr(", aborting..."), kRed);
        logColor(kBlack);
        return false;
    }
    // Vanishing points of another camera, or of these pixels undistorted
    // otherwise, give this camera no directions.
    if (detectedFor && !(detectedFor->row == camera.row && detectedFor->intrinsics == camera.intrinsics)) {
        const bool hadVanishingPoints = !vanishingPoints.empty();
        dropVanishingPoints();
        if (hadVanishingPoints)
            logAppend(tr("The vanishing points and axes of the earlier detection were dropped: they were "
                         "found with the intrinsics of another camera."));
    }
    detectedFor = camera;
    showDetection(result, camera.intrinsics.size);
    return true;
}

void ManhattanWorld::showDetection(const LineDetectionResult& result, const cv::Size& storedSize)
{
    if (result.sizeMismatch)
        logAppend(tr("Warning: the image is %1 x %2 px, but the camera was calibrated at %3 x %4 px")
                      .arg(result.imageSize.width)
                      .arg(result.imageSize.height)
                      .arg(storedSize.width)
                      .arg(storedSize.height),
                  kRed);
    K = result.K;
    kc = result.kc;
    colourImage = result.colour.empty() ? loadedColour : result.colour;
    grayImage = result.gray;
    imgSize = result.imageSize;
    if (result.undistorted) {
        logAppend(tr("NOTE: Camera contains distortion parameters, the image will be undistorted!"));
        logAppend(tr("Camera parameters of the undistorted image: fx=%1 fy=%2 cx=%3 cy=%4")
                      .arg(K.at<double>(0, 0))
                      .arg(K.at<double>(1, 1))
                      .arg(K.at<double>(0, 2))
                      .arg(K.at<double>(1, 2)),
                  kBlack);
    }
    segments = result.segments;
    logAppend(tr("%1 lines were detected").arg(segments.size()), kBlack);
    const LineLengthStatistics& st = result.statistics;
    if (st.count >= 2)
        logAppend(tr("line lengths: mean=%1, stddev=%2").arg(st.mean).arg(st.stddev));
    else if (st.count == 1)
        logAppend(tr("line lengths: mean=%1 (one line, no deviation)").arg(st.mean));

    if (form->radio_show_lines->isChecked())
        updateImageView();
    else
        form->radio_show_lines->setChecked(true);
}

// ----- vanishing points -------------------------------------------------------

void ManhattanWorld::on_button_get_vanishing_points_clicked()
{
    if (!beginRun(form->button_get_vanishing_points))
        return; // a run is going on: the press asked it to stop
    try {
        getVanishingPoints();
    } catch (const std::exception& e) {
        logAbort(QString::fromLocal8Bit(e.what()));
    }
    endRun();
}

void ManhattanWorld::clearAxes()
{
    axes.clear();
    const QSignalBlocker b1(form->combo_x), b2(form->combo_y), b3(form->combo_z);
    const QSignalBlocker b4(form->check_x_invert), b5(form->check_y_invert), b6(form->check_z_invert);
    form->combo_x->clear();
    form->combo_y->clear();
    form->combo_z->clear();
    form->check_x_invert->setChecked(false);
    form->check_y_invert->setChecked(false);
    form->check_z_invert->setChecked(false);
    if (!thumbnail.empty())
        form->label_manhattan->setPixmap(pixmapOf(thumbnail));
}

// The clusters, the vanishing points and the axes built on them.
void ManhattanWorld::dropVanishingPoints()
{
    clusters.clear();
    manhattanSegments.clear();
    manhattanColours.clear();
    vanishingPoints.clear();
    thumbnailLabels.clear();
    clearAxes();
    if (!thumbnail.empty())
        form->label_vanishing->setPixmap(pixmapOf(thumbnail));
}

// Gathers the segments (detecting them first when there are none), the
// options and the camera matrix, runs findManhattanAxes and shows its result.
void ManhattanWorld::getVanishingPoints()
{
    WaitCursor wait;
    form->text_log->moveCursor(QTextCursor::End);
    logColor(kBlack);
    if (segments.empty())
        detectLines();
    if (segments.empty()) {
        logAppend(tr("No line segments were detected, aborting...\n"), kRed);
        logColor(kBlack);
        return;
    }
    const Options options = readOptions();
    if (!options.vanishingPoints || *options.vanishingPoints < 1) {
        logAppend(tr("The parameter for '# of Vanishing Points' should 1 or greater, aborting...\n"));
        return;
    }
    // Vanishing points and the axes built on them go together.
    vanishingPoints.clear();
    thumbnailLabels.clear();
    clearAxes();
    if (form->combo_sensor->currentIndex() < 0) {
        logAppend(noSensorChosenText(form->combo_sensor, tr("camera"), tr("Select Camera")), kRed);
        logColor(kBlack);
        return;
    }

    ManhattanAxesInput input;
    input.search.segments = segments;
    input.search.count = *options.vanishingPoints;
    input.search.weighted = options.weighted;
    input.search.seed = samplingSeed;
    input.K = K;
    form->progress_bar->setRange(0, 100);
    const ManhattanAxesResult result = findManhattanAxes(input, [this](int p) { return keepRunning(p); });
    form->progress_bar->setValue(100);
    switch (result.search.error) {
    case VanishingPointSearchError::None:
        break;
    case VanishingPointSearchError::TooFewSegments:
        logAppend(tr("J-Linkage needs at least 3 line segments, %1 were detected, aborting...\n")
                      .arg(segments.size()),
                  kRed);
        logColor(kBlack);
        return;
    case VanishingPointSearchError::Aborted:
        logAppend(tr("Vanishing point search aborted \n"), kRed);
        logColor(kBlack);
        return;
    default:
        logAppend(QString::fromStdString(result.search.message) + tr(", aborting...\n"), kRed);
        logColor(kBlack);
        return;
    }
    showClusters(result, std::min(result.search.found, *options.vanishingPoints));
    showAxes(result);
}

// The clusters: their colours, a log line per vanishing point and the
// "Manhattan Lines" view. strongest: the clusters kept before their fits.
void ManhattanWorld::showClusters(const ManhattanAxesResult& result, int strongest)
{
    const VanishingPointSearchResult& search = result.search;
    logAppend(tr("\nJLinkage found %1 vanishing points, using the first %2 strongest points")
                  .arg(search.found)
                  .arg(strongest));
    vpColours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {255, 0, 255}};
    while (vpColours.size() < std::size_t(strongest) + 1) {
        const unsigned x1 = unsigned(cv::theRNG()), x2 = unsigned(cv::theRNG()), x3 = unsigned(cv::theRNG());
        vpColours.emplace_back(uchar(x3 % 255), uchar(x2 % 255), uchar(x1 % 255));
    }
    clusters.clear();
    for (std::size_t i = 0; i < search.clusters.size(); ++i) {
        const VanishingPointCluster& c = search.clusters[i];
        clusters.push_back(c.segments);
        logAppend(QString(kBlock), qcolour(vpColours[i]));
        logInsert(QString(" VP%1: ").arg(i + 1), kBlack);
        logInsert(QString(" (%3, %4), RMS %2, lines in cluster: %5")
                      .arg(double(c.rms), 0, 'g', 6)
                      .arg(double(c.point.x), 0, 'g', 6)
                      .arg(double(c.point.y), 0, 'g', 6)
                      .arg(c.segments.size()),
                  kBlack);
    }
    if (search.firstWithoutPoint)
        logAppend(tr("Cluster %1 has too few segments for a vanishing point; using the first %2")
                      .arg(*search.firstWithoutPoint + 1)
                      .arg(*search.firstWithoutPoint),
                  kRed);
    logColor(kBlack);

    manhattanSegments = search.outliers;
    manhattanColours.assign(search.outliers.size(), cv::Vec3b(0, 255, 255));
    for (std::size_t j = 0; j < clusters.size(); ++j)
        for (const auto& s : clusters[j]) {
            manhattanSegments.push_back(s);
            manhattanColours.push_back(j < vpColours.size() ? vpColours[j] : cv::Vec3b(255, 255, 0));
        }
    if (form->radio_show_manhattan_lines->isChecked())
        updateImageView();
    else
        form->radio_show_manhattan_lines->setChecked(true);
}

// The directions thumbnail, the choice of three vanishing points and the axes.
void ManhattanWorld::showAxes(const ManhattanAxesResult& result)
{
    vanishingPoints = result.vanishingPoints;
    const auto stop = [&](const QString& message) {
        logAppend(message, kRed);
        logColor(kBlack);
    };
    if (result.error == ManhattanAxesError::NoVanishingPoint)
        return stop(tr("No vanishing point was found, aborting...\n"));
    if (result.error == ManhattanAxesError::NoCamera)
        return stop(tr("The camera has no intrinsics: the vanishing points cannot be turned into directions "
                       "or assigned to axes. Load the intrinsics of the %1 in the main window and detect the "
                       "lines again.\n")
                        .arg(form->combo_sensor->currentText()));
    {
        std::vector<cv::Point2f> points;
        std::vector<QString> names;
        for (std::size_t k = 0; k < result.search.clusters.size(); ++k) {
            points.push_back(result.search.clusters[k].point);
            names.push_back(QString("d%1").arg(k + 1));
        }
        drawDirectionThumbnail(
            form->label_vanishing, points,
            std::vector<cv::Vec3b>(vpColours.begin(), vpColours.begin() + long(points.size())), names);
        thumbnailLabels.clear();
        for (std::size_t k = 0; k < points.size(); ++k)
            thumbnailLabels.emplace_back(names[k], points[k]);
    }
    if (result.error == ManhattanAxesError::OnlyOne)
        return stop(tr("[Error] Only one vanishing point found, further analysis is not possible ...\n"));
    if (result.search.clusters.size() > 3)
        logAppend(tr("Selecting three best vanishing points ..."));
    if (result.error == ManhattanAxesError::Coplanar)
        return stop(
            tr("[Error] The directions of all vanishing points lie in one plane; no three of them can "
               "serve as axes ...\n"));
    logChoiceOfThree(result);

    axes = result.axes;
    if (result.flipped)
        logAppend(tr("The vanishing points gave a left-handed frame; the Z-axis was inverted to make it "
                     "right-handed."));
    refreshAxisWidgets();
    drawManhattanAxes();
}

// The log of the three vanishing points the axes take, each named by its
// number as in the lines above, the thumbnail and the axis combo boxes.
void ManhattanWorld::logChoiceOfThree(const ManhattanAxesResult& result)
{
    const auto& vps = result.vanishingPoints;
    if (result.selection == AxesSelection::FromTwo) {
        logAppend(tr("Angles between world axes:"));
        logAppend(tr("ang(d1,d2): %1").arg(result.angles[0]));
        logAppend(tr("Estimation of the 3rd direction as d3 = d1 x d2 results in the vanishing point:"));
        logAppend(QString(kBlock), qcolour(vpColours[2]));
        logInsert(QString(" VP%1: (%2, %3)")
                      .arg(vps[2].number)
                      .arg(double(vps[2].point.x), 0, 'g', 6)
                      .arg(double(vps[2].point.y), 0, 'g', 6),
                  kBlack);
        return;
    }
    if (result.selection == AxesSelection::BestTriple)
        logAppend(QString("-> VP%1 , VP%2, VP%3").arg(vps[0].number).arg(vps[1].number).arg(vps[2].number));
    logAppend(tr("Angles between world axes:"));
    logAppend(tr("ang(d%1,d%2): %4  ang(d%1,d%3): %5  ang(d%2,d%3): %6")
                  .arg(vps[0].number)
                  .arg(vps[1].number)
                  .arg(vps[2].number)
                  .arg(result.angles[0])
                  .arg(result.angles[1])
                  .arg(result.angles[2]));
}

void ManhattanWorld::refreshAxisWidgets()
{
    QComboBox* combos[] = {form->combo_x, form->combo_y, form->combo_z};
    QCheckBox* checks[] = {form->check_x_invert, form->check_y_invert, form->check_z_invert};
    const QSignalBlocker b1(form->combo_x), b2(form->combo_y), b3(form->combo_z);
    const QSignalBlocker b4(form->check_x_invert), b5(form->check_y_invert), b6(form->check_z_invert);
    QStringList names;
    for (const auto& v : vanishingPoints)
        names << QString("d%1").arg(v.number);
    for (int a = 0; a < 3; ++a) {
        QStringList items;
        for (int i = 0; i < combos[a]->count(); ++i)
            items << combos[a]->itemText(i);
        if (items != names) {
            combos[a]->clear();
            combos[a]->addItems(names);
        }
        if (axes.size() == 3) {
            combos[a]->setCurrentIndex(axes[std::size_t(a)].vpIndex);
            checks[a]->setChecked(axes[std::size_t(a)].inverted);
        }
    }
}

void ManhattanWorld::drawDirectionThumbnail(QLabel* label, const std::vector<cv::Point2f>& points,
                                            const std::vector<cv::Vec3b>& colours,
                                            const std::vector<QString>& names)
{
    if (thumbnail.empty() || K.empty())
        return;
    const cv::Matx33d Km = matx(K);
    cv::Mat canvas = thumbnail.clone();
    const int s = std::min(canvas.cols, canvas.rows);
    const double c = s / 2.0;
    const cv::Point centre(int(std::lround(c)), int(std::lround(c)));
    std::vector<cv::Point> ends;
    for (std::size_t k = 0; k < points.size(); ++k) {
        const double dx = double(points[k].x) - Km(0, 2), dy = double(points[k].y) - Km(1, 2);
        const double len = std::hypot(dx, dy);
        const double ux = len > 0 ? dx / len : 0, uy = len > 0 ? dy / len : 0;
        const cv::Point end(int(std::lround(c + s / 4.0 * ux)), int(std::lround(c + s / 4.0 * uy)));
        ends.push_back(end);
        const cv::Vec3b& rgb = colours[k];
        cv::arrowedLine(canvas, centre, end, cv::Scalar(rgb[2], rgb[1], rgb[0]), 1, cv::LINE_AA, 0, 0.1);
    }
    QPixmap pixmap = pixmapOf(canvas);
    QPainter painter(&pixmap);
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    for (std::size_t k = 0; k < ends.size() && k < names.size(); ++k)
        painter.drawText(ends[k].x + 5, ends[k].y + 5, names[k]);
    painter.end();
    label->setPixmap(pixmap);
}

void ManhattanWorld::drawManhattanAxes()
{
    if (vanishingPoints.empty() || axes.size() != 3 || K.empty())
        return;
    for (const auto& a : axes)
        if (a.vpIndex < 0 || a.vpIndex >= int(vanishingPoints.size()))
            return;
    const cv::Matx33d Km = matx(K);
    const std::vector<cv::Point2f> vps = pointsOf(vanishingPoints);
    std::vector<cv::Point2f> points;
    for (const auto& a : axes)
        points.push_back(axisImagePoint(Km, vps, a));
    drawDirectionThumbnail(form->label_manhattan, points, {vpColours[0], vpColours[1], vpColours[2]},
                           {"X", "Y", "Z"});
}

void ManhattanWorld::comboChanged(int axis, int index)
{
    QComboBox* combos[] = {form->combo_x, form->combo_y, form->combo_z};
    if (index < 0 || index >= combos[axis]->count() || axes.size() != 3)
        return;
    assignVanishingPointToAxis(axes, axes[std::size_t(axis)].vpIndex, index, int(vanishingPoints.size()));
    refreshAxisWidgets();
    drawManhattanAxes();
}

void ManhattanWorld::invertToggled(int axis)
{
    invertAxis(axes, axis, int(vanishingPoints.size()));
    refreshAxisWidgets();
    drawManhattanAxes();
}

void ManhattanWorld::on_combo_z_currentIndexChanged(int index)
{
    comboChanged(2, index);
}

void ManhattanWorld::on_combo_x_currentIndexChanged(int index)
{
    comboChanged(0, index);
}

void ManhattanWorld::on_combo_y_currentIndexChanged(int index)
{
    comboChanged(1, index);
}

void ManhattanWorld::on_check_x_invert_toggled(bool)
{
    invertToggled(0);
}

void ManhattanWorld::on_check_y_invert_toggled(bool)
{
    invertToggled(1);
}

void ManhattanWorld::on_check_z_invert_toggled(bool)
{
    invertToggled(2);
}

// ----- camera pose ------------------------------------------------------------

void ManhattanWorld::on_button_get_cam_pose_clicked()
{
    if (!beginRun(form->button_get_cam_pose))
        return; // a run is going on: the press asked it to stop
    try {
        getCameraPose();
    } catch (const std::exception& e) {
        logAbort(QString::fromLocal8Bit(e.what()));
    }
    endRun();
}

// The inputs of the pose that the form gives; false, with the reason in the
// log, when one is missing.
bool ManhattanWorld::checkPoseInputs(const Options& options)
{
    const auto refuse = [&](const QString& message) {
        logAppend(message, kRed);
        logColor(kBlack);
        return false;
    };
    if (form->combo_sensor->currentIndex() < 0)
        return refuse(tr("Please select a camera in the 'Select Camera' combo box.\n"));
    if (form->combo_world->currentIndex() < 0)
        return refuse(tr("Please select the world sensor in the 'Select World' combo box.\n"));
    // The pose is computed with the camera matrix of the detection, and only
    // for the camera, as the scene holds it now, that the detection ran for.
    const QString camera = form->combo_sensor->currentText();
    const SensorIntrinsics intrinsics = intrinsicsOf(form->combo_sensor->currentIndex());
    if (K.empty() || intrinsics.K.empty())
        return refuse(tr("Please load the camera intrinsics for the %1 in the main window").arg(camera));
    if (!detectedFor || detectedFor->row != form->combo_sensor->currentIndex())
        return refuse(tr("The lines were detected for another camera: press 'Detect Lines' to detect them "
                         "for the %1, aborting...\n")
                          .arg(camera));
    if (!(detectedFor->intrinsics == intrinsics))
        return refuse(tr("The intrinsics of the %1 have changed since its lines were detected: press 'Detect "
                         "Lines' to detect them again, aborting...\n")
                          .arg(camera));
    if (!pointO || !pointP)
        return refuse(tr("Please specify a length segment, points O and P, in an image"));
    if (!options.segmentLength || *options.segmentLength <= 0)
        return refuse(tr("Please specify the segment length, the distance between points O and P"));
    return true;
}

// Gathers the camera matrix, the axes, O, P and the length (running the
// detection and the vanishing points first when they are missing), runs
// manhattanCameraPose and shows the pose.
void ManhattanWorld::getCameraPose()
{
    form->text_log->moveCursor(QTextCursor::End);
    // no detection with intrinsics yet: one with the camera's intrinsics, if it has any
    if (K.empty() && !loadedGray.empty() && !intrinsicsOf(form->combo_sensor->currentIndex()).K.empty())
        detectLines();
    const Options options = readOptions();
    if (!checkPoseInputs(options))
        return;
    if (axes.size() != 3 || vanishingPoints.size() < 3) {
        getVanishingPoints();
        form->text_log->moveCursor(QTextCursor::End);
        if (axes.size() != 3 || vanishingPoints.size() < 3) {
            logAppend(tr("The camera pose needs three vanishing points assigned to the axes X, Y and Z, "
                         "aborting...\n"),
                      kRed);
            logColor(kBlack);
            return;
        }
        // the scene may have changed while the search ran
        if (!checkPoseInputs(options))
            return;
    }

    ManhattanPoseInput input;
    input.K = K;
    input.axes = axes;
    input.vanishingPoints = pointsOf(vanishingPoints);
    input.O = *pointO;
    input.P = *pointP;
    input.length = *options.segmentLength;
    showPose(manhattanCameraPose(input));
}

void ManhattanWorld::showPose(const ManhattanPoseResult& result)
{
    const auto refuse = [&](const QString& message) {
        logAppend(message, kRed);
        logColor(kBlack);
    };
    switch (result.error) {
    case ManhattanPoseError::None:
        break;
    case ManhattanPoseError::SamePoints:
        return refuse(
            tr("O and P are the same point: pick P at the other end of the segment, aborting...\n"));
    case ManhattanPoseError::Degenerate:
        return refuse(tr("Camera translation is unknown"));
    case ManhattanPoseError::NotOrthogonal:
        return refuse(
            tr("The axes %1 and %2 are %3 degrees apart, more than %4 degrees from a right angle: the "
               "vanishing points are not the directions of one orthogonal frame, aborting...\n")
                .arg(kAxisNames[result.leastOrthogonal.first], kAxisNames[result.leastOrthogonal.second])
                .arg(result.leastOrthogonal.angleDeg, 0, 'f', 1)
                .arg(kOrthogonalityToleranceDeg));
    default:
        return refuse(QString::fromStdString(result.message) + tr(", aborting...\n"));
    }
    const int vpIndex = axes[std::size_t(result.nearestAxis)].vpIndex;
    logAppend(tr("Line OP is closest to vanishing point VP%1 (dist = %2px), which corresponds to manhattan "
                 "world axis ")
                  .arg(vanishingPoints[std::size_t(vpIndex)].number)
                  .arg(result.vpDistance, 0, 'f', 2),
              kBlack);
    form->text_log->insertPlainText(kAxisNames[result.nearestAxis]);
    if (result.flippedDeterminant)
        logAppend(tr("The axes form a left-handed frame; the rotation's Z column was negated."), kRed);
    logColor(kBlack);
    logAppend(tr("Camera distance to origin O is: %1 mm").arg(result.distance));
    logAppend(tr("Translation vector from camera centre C to origin O is t = (%1, %2, %3) mm")
                  .arg(result.t.at<double>(0))
                  .arg(result.t.at<double>(1))
                  .arg(result.t.at<double>(2)));

    R = result.R;
    t = result.t;
    for (int i = 0; i < 3; ++i)
        axes[std::size_t(i)].direction = result.directions[std::size_t(i)];
    // With one sensor for both the tree ignores the pose; it is in the log
    // and the 3D view all the same.
    emit updateSecondaryExtrinsics(form->combo_world->currentIndex(), form->combo_sensor->currentIndex(),
                                   R.clone(), t.clone());
    if (form->combo_world->currentIndex() == form->combo_sensor->currentIndex())
        logAppend(tr("World and camera are the same sensor '%1': the sensor tree was left as it was.")
                      .arg(form->combo_sensor->currentText()),
                  kBlack);

    renderer->RemoveAllViewProps();
    drawImagePlane(renderer, colourImage, K, form->combo_sensor->currentText().toStdString());
    drawWorldAxes(renderer, "");
    renderSceneView(form->widget_vtk);
    drawFrame(renderer, R, t, form->combo_world->currentText().toStdString());
    renderSceneView(form->widget_vtk);
}
