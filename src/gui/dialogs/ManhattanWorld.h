#pragma once

// The Manhattan-world calibration: one image of a man-made scene, its line
// segments, their vanishing points clustered by J-Linkage and assigned to the
// world axes X, Y and Z, two picked points O (the world origin) and P at a
// known distance along one axis, and from these the camera's pose relative to
// the world, which goes into the scene.
//
// The computations are core functions (runLineDetection, the J-Linkage
// runners, manhattan_pose); the dialog gathers the inputs, logs and draws.
// Pose convention: R and t map world into camera coordinates,
// x_cam = R x_world + t (mm).

#include "core/calib/manhattan_pose.h"

#include <QDialog>
#include <QPointF>
#include <QString>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <cstdint>
#include <optional>
#include <vector>

class vtkRenderer;
class QLabel;

namespace Ui {
class ManhattanWorld;
}

class ManhattanWorld : public QDialog {
    Q_OBJECT

public:
    ManhattanWorld(QWidget* parent, std::vector<QString> sensorNames);
    ~ManhattanWorld() override;

    // Opens the image, as choosing it in the "Open Image" dialog does.
    void openImage(const QString& path);

    // Fixes the seed of the vanishing-point hypotheses (otherwise the clock's).
    void setSamplingSeed(std::uint32_t seed) { samplingSeed = seed; }

    const std::vector<cv::Point2f>& vanishingPointList() const { return vanishingPoints; }
    const std::vector<AxisAssignment>& axisAssignment() const { return axes; }
    const std::vector<cv::Vec4f>& lineSegments() const { return segments; }
    const cv::Mat& cameraMatrix() const { return K; }
    const cv::Mat& rotation() const { return R; }
    const cv::Mat& translation() const { return t; }

signals:
    void updateIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);

public slots:
    void updateSensorNames();
    void getMouseCoord(QPointF mouseXY);

private slots:
    void on_button_detect_lines_clicked();
    void on_button_get_vanishing_points_clicked();
    void on_button_open_image_clicked();
    void on_button_get_cam_pose_clicked();
    void on_edit_min_line_length_textEdited(const QString& arg1);
    void on_button_pick_O_toggled(bool checked);
    void on_button_pick_P_toggled(bool checked);
    void on_combo_z_currentIndexChanged(int index);
    void on_combo_x_currentIndexChanged(int index);
    void on_combo_y_currentIndexChanged(int index);
    void on_check_x_invert_toggled(bool checked);
    void on_check_y_invert_toggled(bool checked);
    void on_check_z_invert_toggled(bool checked);
    void on_check_show_image_stateChanged(int arg1);
    void on_radio_show_lines_toggled(bool checked);
    void on_radio_show_manhattan_lines_toggled(bool checked);

private:
    void detectLines();
    void getVanishingPoints();
    void getCameraPose();
    void clusterLinesJLinkage(const std::vector<cv::Vec4f>& segs, int N,
                              std::vector<std::vector<cv::Vec4f>>& clusterList,
                              std::vector<cv::Vec4f>& outliers, int& found);
    void updateImageView();
    void drawDirectionThumbnail(QLabel* label, const std::vector<cv::Point2f>& points,
                                const std::vector<cv::Vec3b>& colours, const std::vector<QString>& names);
    void drawManhattanAxes();
    void refreshAxisWidgets();
    void clearAxes();
    void comboChanged(int axis, int index);
    void invertToggled(int axis);

    void logColor(const QColor& colour);
    void logAppend(const QString& text, const QColor& colour = Qt::black);
    void logInsert(const QString& text, const QColor& colour = Qt::black);
    void logAbort(const QString& what);

    Ui::ManhattanWorld* form;
    vtkSmartPointer<vtkRenderer> renderer;
    QString baseTitle;
    std::vector<QString> sensorNames;
    QString lastDir;
    cv::Size imgSize;
    cv::Mat K, kc;
    cv::Mat R, t;
    std::vector<cv::Point2f> vanishingPoints;
    std::vector<cv::Vec4f> segments;
    std::vector<cv::Vec4f> manhattanSegments;
    std::vector<cv::Vec3b> manhattanColours;
    std::vector<std::vector<cv::Vec4f>> clusters;
    cv::Mat colourImage, grayImage, thumbnail;
    cv::Mat loadedColour, loadedGray; // the image as opened; each detection run starts from these
    QString imagePath;
    std::vector<cv::Vec3b> vpColours;
    cv::Point2f pointO{-1.f, -1.f}, pointP{-1.f, -1.f};
    std::vector<AxisAssignment> axes;
    std::optional<std::uint32_t> samplingSeed;
};
