#include "gui/dialogs/ManhattanWorld.h"
#include "ui_ManhattanWorld.h"

#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"
#include "core/lines/line_detection.h"
#include "gui/dialogs/ChessboardDialog.h"
#include "gui/views/scene_builders.h"
#include "gui/views/settings.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QIntValidator>
#include <QPainter>
#include <QPixmap>
#include <QSignalBlocker>
#include <QTextCursor>

#include <QVTKOpenGLNativeWidget.h>
#include <vtkRenderer.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

const QColor kBlack(Qt::black), kRed(Qt::red);
constexpr QChar kBlock(0x25AE);

// Restores the cursor on every way out of a run.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

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

} // namespace

ManhattanWorld::ManhattanWorld(QWidget* parent, std::vector<QString> names)
    : QDialog(parent), form(new Ui::ManhattanWorld), sensorNames(std::move(names))
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

    renderer = setupChessboardSceneView(form->widget_vtk);

    connect(form->image_label, &ImageLabel::sendMouseCoord, this, &ManhattanWorld::getMouseCoord);
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

// ----- sensors, image, picks -------------------------------------------------

void ManhattanWorld::updateSensorNames()
{
    emit getSensorNames(sensorNames);
    refillSensorCombo(form->combo_sensor, sensorNames);
    refillSensorCombo(form->combo_world, sensorNames);
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
    clusters.clear();
    manhattanSegments.clear();
    manhattanColours.clear();
    vanishingPoints.clear();
    clearAxes();
    pointO = pointP = cv::Point2f(-1.f, -1.f);
    form->label_O->setText("O (x,y)");
    form->label_P->setText("P (x,y)");
    logAppend(tr("Input image: %1 x %2 px").arg(colour.cols).arg(colour.rows));

    if (form->check_show_image->isChecked())
        form->image_label->setImage(colourImage);
    else
        form->check_show_image->setChecked(true);

    // faded square thumbnail of the image's centre
    const int side = std::min(colour.cols, colour.rows);
    const cv::Rect square = colour.rows > colour.cols
                                ? cv::Rect(0, (colour.rows - colour.cols) / 2, side, side)
                                : cv::Rect((colour.cols - colour.rows) / 2, 0, side, side);
    const int s = std::max(form->label_vanishing->width(), 1);
    cv::Mat small;
    cv::resize(colour(square), small, cv::Size(s, s), 0, 0, cv::INTER_LINEAR);
    cv::addWeighted(small, 0.5, cv::Mat(small.size(), small.type(), cv::Scalar::all(255)), 0.5, 0, thumbnail);
    const QPixmap pixmap = QPixmap::fromImage(
        QImage(thumbnail.data, thumbnail.cols, thumbnail.rows, int(thumbnail.step), QImage::Format_RGB888)
            .rgbSwapped());
    form->label_vanishing->setPixmap(pixmap);
    form->label_manhattan->setPixmap(pixmap);

    setWindowTitle(QString("%1 - %2").arg(baseTitle, imagePath));
}

void ManhattanWorld::getMouseCoord(QPointF mouseXY)
{
    if (colourImage.empty())
        return;
    const cv::Vec3b magenta(255, 0, 255);
    const float textSize = float(colourImage.cols) / float(std::max(form->image_label->width(), 1)) * 20.f;
    const auto label = [](const char* name, const cv::Point2f& p) {
        return QString("%1 (%2, %3)").arg(name).arg(p.x, 0, 'f', 2).arg(p.y, 0, 'f', 2);
    };
    const auto draw = [&](const cv::Point2f& first, const char* firstName, const cv::Point2f& second,
                          const char* secondName) {
        std::vector<cv::Point2f> points{first};
        std::vector<std::string> texts{firstName};
        if (second.x > 0 && second.y > 0) {
            points.push_back(second);
            texts.push_back(secondName);
        }
        std::vector<cv::Point2f> positions;
        for (const auto& p : points)
            positions.emplace_back(p.x, p.y + textSize / 2);
        form->image_label->setCrosses(points, std::vector<cv::Vec3b>(points.size(), magenta));
        form->image_label->setTexts(positions, texts, std::vector<float>(points.size(), textSize),
                                    std::vector<cv::Vec3b>(points.size(), magenta));
        repaint();
    };
    const cv::Point2f p(float(mouseXY.x() - 0.5), float(mouseXY.y() - 0.5));
    if (form->button_pick_O->isChecked()) {
        pointO = p;
        form->label_O->setText(label("O", pointO));
        draw(pointO, "O", pointP, "P");
        form->button_pick_O->setChecked(false);
    }
    if (form->button_pick_P->isChecked()) {
        pointP = p;
        form->label_P->setText(label("P", pointP));
        draw(pointP, "P", pointO, "O");
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

void ManhattanWorld::detectLines()
{
    form->text_log->moveCursor(QTextCursor::End);
    logColor(kBlack);
    if (loadedGray.empty()) {
        logAppend(tr("No image loaded, aborting..."), kRed);
        logColor(kBlack);
        return;
    }
    cv::Mat queriedK, queriedKc;
    cv::Size storedSize;
    emit getIntrinsics(form->combo_sensor->currentIndex(), queriedK, queriedKc, storedSize);

    LineDetectionInput input;
    input.gray = loadedGray;
    input.colour = loadedColour;
    input.K = queriedK;
    input.kc = queriedKc;
    input.storedSize = storedSize;
    bool ok = false;
    input.minLineLength = form->edit_min_line_length->text().toInt(&ok, 10);
    if (!ok)
        input.minLineLength = 0;
    const LineDetectionResult result = runLineDetection(input);
    if (!result.ok) {
        logAppend(QString::fromStdString(result.error) + tr(", aborting..."), kRed);
        logColor(kBlack);
        return;
    }
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

void ManhattanWorld::clusterLinesJLinkage(const std::vector<cv::Vec4f>& segs, int N,
                                          std::vector<std::vector<cv::Vec4f>>& clusterList,
                                          std::vector<cv::Vec4f>& outliers, int& found)
{
    form->progress_bar->setRange(0, 100);
    VPSample sampler;
    if (samplingSeed)
        sampler.setSeed(*samplingSeed);
    connect(&sampler, &VPSample::progress, form->progress_bar, &QProgressBar::setValue);
    VPCluster clusterer;
    connect(&clusterer, &VPCluster::progress, form->progress_bar, &QProgressBar::setValue);
    SegmentClusters result = clusterSegmentsJLinkage(segs, N, sampler, clusterer);
    found = result.found;
    logAppend(tr("\nJLinkage found %1 vanishing points, using the first %2 strongest points")
                  .arg(result.found)
                  .arg(result.clusters.size()));
    clusterList = std::move(result.clusters);
    outliers = std::move(result.outliers);
    form->progress_bar->setValue(100);
}

void ManhattanWorld::on_button_get_vanishing_points_clicked()
{
    try {
        getVanishingPoints();
    } catch (const std::exception& e) {
        logAbort(QString::fromLocal8Bit(e.what()));
    }
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
    if (!thumbnail.empty()) {
        const QPixmap pixmap = QPixmap::fromImage(
            QImage(thumbnail.data, thumbnail.cols, thumbnail.rows, int(thumbnail.step), QImage::Format_RGB888)
                .rgbSwapped());
        form->label_manhattan->setPixmap(pixmap);
    }
}

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
    bool ok = false;
    int N = form->edit_num_vps->text().toInt(&ok, 10);
    if (!ok)
        N = 0;
    if (N < 1) {
        logAppend(tr("The parameter for '# of Vanishing Points' should 1 or greater, aborting...\n"));
        return;
    }
    // Vanishing points and the axes built on them go together.
    vanishingPoints.clear();
    clearAxes();
    if (form->combo_sensor->currentIndex() < 0) {
        logAppend(tr("No sensor present in the sensor list, aborting...\n"), kRed);
        logColor(kBlack);
        return;
    }
    if (segments.size() < 3) {
        logAppend(tr("J-Linkage needs at least 3 line segments, %1 were detected, aborting...\n")
                      .arg(segments.size()),
                  kRed);
        logColor(kBlack);
        return;
    }

    std::vector<cv::Vec4f> outliers;
    int found = 0;
    clusterLinesJLinkage(segments, N, clusters, outliers, found);

    vpColours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {255, 0, 255}};
    while (vpColours.size() < clusters.size() + 1) {
        const unsigned x1 = unsigned(cv::theRNG()), x2 = unsigned(cv::theRNG()), x3 = unsigned(cv::theRNG());
        vpColours.emplace_back(uchar(x3 % 255), uchar(x2 % 255), uchar(x1 % 255));
    }

    const bool weighted = !form->radio_LS->isChecked();
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        float rms = 0;
        cv::Point2f vp;
        try {
            vp = clusterVanishingPoint(clusters[i], rms, weighted);
        } catch (const cv::Exception&) {
            // clusters come largest first: the rest are no larger
            logAppend(tr("Cluster %1 has too few segments for a vanishing point; using the first %2")
                          .arg(i + 1)
                          .arg(i),
                      kRed);
            for (std::size_t j = i; j < clusters.size(); ++j)
                outliers.insert(outliers.end(), clusters[j].begin(), clusters[j].end());
            clusters.resize(i);
            break;
        }
        vanishingPoints.push_back(vp);
        logAppend(QString(kBlock), qcolour(vpColours[i]));
        logInsert(QString(" VP%1: ").arg(i + 1), kBlack);
        logInsert(QString(" (%3, %4), RMS %2, lines in cluster: %5")
                      .arg(double(rms), 0, 'g', 6)
                      .arg(double(vp.x), 0, 'g', 6)
                      .arg(double(vp.y), 0, 'g', 6)
                      .arg(clusters[i].size()),
                  kBlack);
    }
    logColor(kBlack);

    manhattanSegments.clear();
    manhattanColours.clear();
    for (const auto& s : outliers) {
        manhattanSegments.push_back(s);
        manhattanColours.emplace_back(0, 255, 255);
    }
    for (std::size_t j = 0; j < clusters.size(); ++j)
        for (const auto& s : clusters[j]) {
            manhattanSegments.push_back(s);
            manhattanColours.push_back(j < vpColours.size() ? vpColours[j] : cv::Vec3b(255, 255, 0));
        }
    if (form->radio_show_manhattan_lines->isChecked())
        updateImageView();
    else
        form->radio_show_manhattan_lines->setChecked(true);

    if (vanishingPoints.empty()) {
        logAppend(tr("No vanishing point was found, aborting...\n"), kRed);
        logColor(kBlack);
        return;
    }
    if (K.empty()) {
        logAppend(
            tr("The camera has no intrinsics: the vanishing points cannot be turned into directions "
               "or assigned to axes. Load the intrinsics of the %1 in the main window and detect the lines "
               "again.\n")
                .arg(form->combo_sensor->currentText()),
            kRed);
        logColor(kBlack);
        return;
    }
    const cv::Matx33d Km = matx(K);
    {
        std::vector<QString> names;
        for (std::size_t k = 0; k < vanishingPoints.size(); ++k)
            names.push_back(QString("d%1").arg(k + 1));
        drawDirectionThumbnail(
            form->label_vanishing, vanishingPoints,
            std::vector<cv::Vec3b>(vpColours.begin(), vpColours.begin() + long(vanishingPoints.size())),
            names);
    }

    const auto dir = [&](const cv::Point2f& p) { return vanishingDirection(Km, p); };
    if (vanishingPoints.size() == 1) {
        logAppend(tr("[Error] Only one vanishing point found, further analysis is not possible ...\n"), kRed);
        logColor(kBlack);
        return;
    }
    if (vanishingPoints.size() == 2) {
        const cv::Vec3d d1 = dir(vanishingPoints[0]), d2 = dir(vanishingPoints[1]);
        logAppend(tr("Angles between world axes:"));
        logAppend(tr("ang(d1,d2): %1").arg(angleDeg(d1, d2)));
        logAppend(tr("Estimation of the 3rd direction as d3 = d1 x d2 results in the vanishing point:"));
        const cv::Point2f vp3 = thirdVanishingPoint(Km, vanishingPoints[0], vanishingPoints[1]);
        logAppend(QString(kBlock), qcolour(vpColours[2]));
        logInsert(QString(" VP3: (%1, %2)").arg(double(vp3.x), 0, 'g', 6).arg(double(vp3.y), 0, 'g', 6),
                  kBlack);
        vanishingPoints.push_back(vp3);
    } else if (vanishingPoints.size() == 3) {
        const cv::Vec3d d1 = dir(vanishingPoints[0]), d2 = dir(vanishingPoints[1]),
                        d3 = dir(vanishingPoints[2]);
        logAppend(tr("Angles between world axes:"));
        logAppend(tr("ang(d1,d2): %1  ang(d1,d3): %2  ang(d2,d3): %3")
                      .arg(angleDeg(d1, d2))
                      .arg(angleDeg(d1, d3))
                      .arg(angleDeg(d2, d3)));
    } else {
        logAppend(tr("Selecting three best vanishing points ..."));
        int k = -1, l = -1, m = -1;
        if (!bestOrthogonalTriple(Km, vanishingPoints, k, l, m)) {
            logAppend(
                tr("[Error] The directions of all vanishing points lie in one plane; no three of them can "
                   "serve as axes ...\n"),
                kRed);
            logColor(kBlack);
            return;
        }
        logAppend(QString("-> VP%1 , VP%2, VP%3").arg(k + 1).arg(l + 1).arg(m + 1));
        vanishingPoints = {vanishingPoints[std::size_t(k)], vanishingPoints[std::size_t(l)],
                           vanishingPoints[std::size_t(m)]};
        const cv::Vec3d d1 = dir(vanishingPoints[0]), d2 = dir(vanishingPoints[1]),
                        d3 = dir(vanishingPoints[2]);
        logAppend(tr("Angles between world axes:"));
        logAppend(tr("ang(X,Y): %1  ang(X,Z): %2  ang(Y,Z): %3")
                      .arg(angleDeg(d1, d2))
                      .arg(angleDeg(d1, d3))
                      .arg(angleDeg(d2, d3)));
    }

    bool flipped = false;
    axes = assignAxes(Km, vanishingPoints, &flipped);
    if (flipped)
        logAppend(tr("The vanishing points gave a left-handed frame; the Z-axis was inverted to make it "
                     "right-handed."));
    refreshAxisWidgets();
    drawManhattanAxes();
}

void ManhattanWorld::refreshAxisWidgets()
{
    QComboBox* combos[] = {form->combo_x, form->combo_y, form->combo_z};
    QCheckBox* checks[] = {form->check_x_invert, form->check_y_invert, form->check_z_invert};
    const QSignalBlocker b1(form->combo_x), b2(form->combo_y), b3(form->combo_z);
    const QSignalBlocker b4(form->check_x_invert), b5(form->check_y_invert), b6(form->check_z_invert);
    for (int a = 0; a < 3; ++a) {
        if (combos[a]->count() != int(vanishingPoints.size())) {
            combos[a]->clear();
            for (std::size_t k = 0; k < vanishingPoints.size(); ++k)
                combos[a]->addItem(QString("d%1").arg(k + 1));
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
    QPixmap pixmap = QPixmap::fromImage(
        QImage(canvas.data, canvas.cols, canvas.rows, int(canvas.step), QImage::Format_RGB888).rgbSwapped());
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
    std::vector<cv::Point2f> points;
    for (const auto& a : axes)
        points.push_back(axisImagePoint(Km, vanishingPoints, a));
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
    try {
        getCameraPose();
    } catch (const std::exception& e) {
        logAbort(QString::fromLocal8Bit(e.what()));
    }
}

void ManhattanWorld::getCameraPose()
{
    form->text_log->moveCursor(QTextCursor::End);
    const auto refuse = [&](const QString& message) {
        logAppend(message, kRed);
        logColor(kBlack);
    };
    if (K.empty() && !loadedGray.empty()) {
        // no detection run yet: one with the camera's intrinsics, if it has any
        cv::Mat queriedK, queriedKc;
        cv::Size size;
        emit getIntrinsics(form->combo_sensor->currentIndex(), queriedK, queriedKc, size);
        if (!queriedK.empty())
            detectLines();
    }
    if (K.empty()) {
        refuse(tr("Please load the camera intrinsics for the %1 in the main window")
                   .arg(form->combo_sensor->currentText()));
        return;
    }
    const bool oUnset = pointO.x == -1.f && pointO.y == -1.f, pUnset = pointP.x == -1.f && pointP.y == -1.f;
    if (oUnset || pUnset) {
        refuse(tr("Please specify a length segment, points O and P, in an image"));
        return;
    }
    bool ok = false;
    const int D = form->edit_segment_length->text().toInt(&ok, 10);
    if (!ok || D <= 0) {
        refuse(tr("Please specify the segment length, the distance between points O and P"));
        return;
    }
    if (form->combo_world->currentIndex() == form->combo_sensor->currentIndex()) {
        refuse(tr("The camera and the world are the same sensor (%1): choose another sensor as the world, "
                  "aborting...\n")
                   .arg(form->combo_sensor->currentText()));
        return;
    }
    if (axes.size() != 3 || vanishingPoints.size() < 3) {
        getVanishingPoints();
        form->text_log->moveCursor(QTextCursor::End);
        if (axes.size() != 3 || vanishingPoints.size() < 3) {
            refuse(tr("The camera pose needs three vanishing points assigned to the axes X, Y and Z, "
                      "aborting...\n"));
            return;
        }
    }

    ManhattanPoseInput input;
    input.K = K;
    input.axes = axes;
    input.vanishingPoints = vanishingPoints;
    input.O = pointO;
    input.P = pointP;
    input.length = D;
    const ManhattanPoseResult result = manhattanCameraPose(input);
    switch (result.error) {
    case ManhattanPoseError::None:
        break;
    case ManhattanPoseError::SamePoints:
        refuse(tr("O and P are the same point: pick P at the other end of the segment, aborting...\n"));
        return;
    case ManhattanPoseError::Degenerate:
        refuse(tr("Camera translation is unknown"));
        return;
    default:
        refuse(QString::fromStdString(result.message) + tr(", aborting...\n"));
        return;
    }
    const char* axisNames[] = {"X", "Y", "Z"};
    const int vpIndex = axes[std::size_t(result.nearestAxis)].vpIndex;
    logAppend(tr("Line OP is closest to vanishing point VP%1 (dist = %2px), which corresponds to manhattan "
                 "world axis ")
                  .arg(vpIndex + 1)
                  .arg(result.vpDistance, 0, 'f', 2),
              kBlack);
    form->text_log->insertPlainText(axisNames[result.nearestAxis]);
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
    emit updateSecondaryExtrinsics(form->combo_world->currentIndex(), form->combo_sensor->currentIndex(),
                                   R.clone(), t.clone());

    renderer->RemoveAllViewProps();
    drawImagePlane(renderer, colourImage, K, form->combo_sensor->currentText().toStdString());
    drawWorldAxes(renderer, "");
    renderSceneView(form->widget_vtk);
    drawFrame(renderer, R, t, form->combo_world->currentText().toStdString());
    renderSceneView(form->widget_vtk);
}
