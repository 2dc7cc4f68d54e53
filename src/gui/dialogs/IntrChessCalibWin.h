#pragma once

// Intrinsic calibration of one camera from a list of chessboard images:
// detection, cv::calibrateCamera, the result in the log, the sensor tree, the
// "<sensor>_intr.yml" file next to the images, the image list coloured by
// per-view error, the boards in a 3D view, and per-corner reprojection errors
// with optional outlier removal.

#include "gui/dialogs/ChessboardDialog.h"
#include "gui/dialogs/ReprojectionErrorPanel.h"

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <vector>

class vtkRenderer;

namespace Ui {
class IntrChessCalibWin;
}

class IntrChessCalibWin : public ChessboardDialog {
    Q_OBJECT

public:
    IntrChessCalibWin(QWidget* parent, std::vector<QString> sensorNames);
    ~IntrChessCalibWin() override;

    // Loads the given image files into the list, as choosing them in the
    // "Open Files" dialog does. All are taken to lie in the first one's folder.
    void openImages(const QStringList& files);

    // Runs the calibration (the work behind "Calibrate").
    void calibrate();

    // Calibration flags from the options that are enabled and checked.
    int calibrationFlags() const;

    // Path of the intrinsics file for the sensor chosen now.
    QString intrinsicsFilePath() const;

    // The dialog's current results, for the views and for inspection.
    const cv::Mat& cameraMatrix() const { return K; }
    const cv::Mat& distortion() const { return kc; }
    const std::vector<std::vector<cv::Point2f>>& detectedImagePoints() const { return imagePoints; }
    const std::vector<std::vector<cv::Point2f>>& reprojectedImagePoints() const { return reprojectedPoints; }
    const std::vector<double>& viewErrors() const { return perViewErrors; }
    const std::vector<cv::Vec3b>& imageListColours() const { return listColours; }
    const std::vector<std::vector<cv::Vec3b>>& cornerColours() const { return pointColours; }
    const std::vector<cv::Vec2d>& cornerErrorRanges() const { return errorRanges; }

    // Per-corner reprojection errors, colours and, with removeOutliers, the
    // removal of corners above the threshold. True when a corner was removed.
    int computeReprojErrors(bool removeOutliers);

signals:
    void updateIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);

public slots:
    void updateSensorNames();

private slots:
    void on_button_change_dir_clicked(bool checked);
    void on_list_images_itemSelectionChanged();
    void on_button_calibrate_clicked();
    void on_check_use_rational_model_toggled(bool checked);
    void on_group_use_radial_distortion_toggled(bool checked);
    void on_button_select_10_clicked();
    void on_combo_sensor_currentIndexChanged(int index);
    void on_check_use_intrinsic_guess_toggled(bool checked);
    void on_check_undistort_toggled(bool checked);
    void on_check_radon_detection_toggled(bool checked);
    void on_check_mirror_stateChanged(int);
    void on_spin_corner_count_x_valueChanged(int);
    void on_spin_corner_count_y_valueChanged(int);
    void on_edit_corners_width_editingFinished();
    void on_edit_corners_height_editingFinished();
    void on_check_normalize_image_stateChanged(int);
    void on_spin_win_size_valueChanged(int);
    void on_edit_zero_zone_x_editingFinished();
    void on_edit_zero_zone_y_editingFinished();

private:
    void resetDetections();
    void loadSensorIntrinsics();
    void runCalibration();
    void logResult(double rms, const cv::Mat& stdDevIntrinsics);
    void showSelectedImage();
    cv::Mat loadImage(size_t i, int flags) const;

    Ui::IntrChessCalibWin* ui;
    ReprojectionErrorPanel errorPanel;
    QString titleText;
    std::vector<QString> sensorNames;
    QString lastDirectory;
    cv::Mat K;
    cv::Mat kc;
    vtkSmartPointer<vtkRenderer> renderer;
    std::vector<std::string> imagePaths;
    std::vector<double> perViewErrors;
    std::vector<cv::Vec3b> listColours;
    std::vector<cv::Vec2d> errorRanges;
    std::vector<std::vector<cv::Vec3b>> pointColours;
    std::vector<std::vector<cv::Point2f>> imagePoints;
    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> reprojectedPoints;
    std::vector<cv::Mat> rotationVectors;
    std::vector<cv::Mat> translationVectors;
    // Points read from each image's corner file (empty when it has none);
    // they stand in for detection until the images are opened again.
    std::vector<std::vector<cv::Point2f>> fileImagePoints;
    std::vector<std::vector<cv::Point3f>> fileObjectPoints;
};
