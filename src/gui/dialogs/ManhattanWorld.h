#pragma once

// The Manhattan-world calibration: one image of a man-made scene, its line
// segments, their vanishing points clustered by J-Linkage and assigned to the
// world axes X, Y and Z, two picked points O (the world origin) and P at a
// known distance along one axis, and from these the camera's pose relative to
// the world, which goes into the scene.
//
// Each computation is one core function: runLineDetection (line detection),
// findManhattanAxes (J-Linkage vanishing points, the choice of three and the
// axes) and manhattanCameraPose (the pose). The dialog gathers their inputs
// from the form, calls them, and logs and draws what they return.
// Pose convention: R and t map world into camera coordinates,
// x_cam = R x_world + t (mm).

#include "core/calib/manhattan_pose.h"

#include "gui/dialogs/RunDialog.h"

#include <QDialog>
#include <QList>
#include <QPointF>
#include <QPointer>
#include <QString>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

class vtkRenderer;
class QLabel;
class QPushButton;
struct LineDetectionResult;

namespace Ui {
class ManhattanWorld;
}

class ManhattanWorld : public RunDialog {
    Q_OBJECT

public:
    ManhattanWorld(QWidget* parent, std::vector<QString> sensorNames);
    ~ManhattanWorld() override;

    // Opens the image, as choosing it in the "Open Image" dialog does.
    void openImage(const QString& path);

    // Fixes the seed of the vanishing-point hypotheses (otherwise the clock's).
    void setSamplingSeed(std::uint32_t seed) { samplingSeed = seed; }

    std::vector<cv::Point2f> vanishingPointList() const { return pointsOf(vanishingPoints); }
    const std::vector<AxisAssignment>& axisAssignment() const { return axes; }
    const std::vector<cv::Vec4f>& lineSegments() const { return segments; }
    const cv::Mat& cameraMatrix() const { return K; }
    const cv::Mat& rotation() const { return R; }
    const cv::Mat& translation() const { return t; }
    // The labels of the direction thumbnail ("d1", "d2", ...) with the
    // vanishing point each one's arrow points at.
    const std::vector<std::pair<QString, cv::Point2f>>& directionLabels() const { return thumbnailLabels; }

signals:
    void updateIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);

protected:
    void refreshSensors(const SceneChange& change) override;

public slots:
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
    // The options of the form, read at the start of a run. A numeric field
    // whose text is not a whole number in the field's range reads as missing;
    // the run that needs it stops with a message naming the field.
    struct Options {
        std::optional<int> minLineLength;   // edit_min_line_length, px
        std::optional<int> vanishingPoints; // edit_num_vps
        bool weighted = false;              // radio_LS_weighted rather than radio_LS
        std::optional<int> segmentLength;   // edit_segment_length, mm
    };
    Options readOptions() const;

    // The intrinsics the scene holds for a sensor, as getIntrinsics answers.
    struct SensorIntrinsics {
        cv::Mat K, kc;
        cv::Size size;
        bool operator==(const SensorIntrinsics& other) const;
    };
    SensorIntrinsics intrinsicsOf(int row);
    // The camera a detection ran for: its row in the sensor boxes (followed
    // through the scene's changes; -1 once that sensor went) and the
    // intrinsics the scene held for it then. The segments, K, the vanishing
    // points and the axes belong to it alone.
    struct DetectionCamera {
        int row = -1;
        SensorIntrinsics intrinsics;
    };

    bool detectLines();
    void showDetection(const LineDetectionResult& result, const cv::Size& storedSize);
    void getVanishingPoints();
    void showClusters(const ManhattanAxesResult& result, int strongest);
    void showAxes(const ManhattanAxesResult& result);
    void logChoiceOfThree(const ManhattanAxesResult& result);
    void getCameraPose();
    bool checkPoseInputs(const Options& options);
    void showPose(const ManhattanPoseResult& result);
    void fitTextsToFont();
    void showThumbnail(const cv::Mat& image, QLabel* label);
    void updateImageView();
    void drawDirectionThumbnail(QLabel* label, const std::vector<cv::Point2f>& points,
                                const std::vector<cv::Vec3b>& colours, const std::vector<QString>& names);
    void drawPicks(const cv::Point2f& first, const char* firstName, const std::optional<cv::Point2f>& second,
                   const char* secondName);
    void drawManhattanAxes();
    void refreshAxisWidgets();
    void clearAxes();
    void dropVanishingPoints();
    void comboChanged(int axis, int index);
    void invertToggled(int axis);

    // Run protocol (RunDialog) of the vanishing-point and pose runs: the
    // button that started the run reads "Abort" and stays live, the controls
    // that change the data are disabled. beginRun refuses (and raises the
    // abort flag) while a run is going on.
    bool beginRun(QPushButton* button);
    // Progress of a run: shows it, processes pending events and tells
    // whether the run may go on.
    bool keepRunning(int percent);

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
    std::optional<DetectionCamera> detectedFor;
    cv::Mat R, t;
    // The vanishing points of the last run, each with its number in the log
    // (VP1, ...), the thumbnail and the axis combo boxes (d1, ...).
    std::vector<NumberedVanishingPoint> vanishingPoints;
    std::vector<cv::Vec4f> segments;
    std::vector<cv::Vec4f> manhattanSegments;
    std::vector<cv::Vec3b> manhattanColours;
    std::vector<std::vector<cv::Vec4f>> clusters;
    cv::Mat colourImage, grayImage, thumbnail;
    cv::Mat loadedColour, loadedGray; // the image as opened; each detection run starts from these
    QString imagePath;
    std::vector<cv::Vec3b> vpColours;
    std::optional<cv::Point2f> pointO, pointP; // picked points, px
    std::vector<AxisAssignment> axes;
    std::optional<std::uint32_t> samplingSeed;
    std::vector<std::pair<QString, cv::Point2f>> thumbnailLabels;
};
