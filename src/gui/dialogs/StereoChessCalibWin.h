#pragma once

// Stereo calibration of two cameras of the scene from paired chessboard
// images (image k of the primary list and image k of the secondary list form
// pair k): detection in both lists, the joint calibration, the results in the
// log, the sensor tree and "<primary>_<secondary>_stereo.yml", the lists
// coloured by error, per-point reprojection and epipolar errors with outlier
// removal, the boards and both cameras in a 3D view, and the rectification of
// the pair with "rectification.yml", a project of the rectified cameras and
// rectified copies of the chosen images.

#include "gui/dialogs/ChessboardDialog.h"

#include "core/calib/stereo_rectification.h"
#include "core/calib/stereo_run.h"

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <utility>
#include <vector>

class QListWidget;
class QScrollBar;
class vtkRenderer;

namespace Ui {
class StereoChessCalibWin;
}

class StereoChessCalibWin : public ChessboardDialog {
    Q_OBJECT

public:
    StereoChessCalibWin(QWidget* parent, std::vector<QString> sensorNames);
    ~StereoChessCalibWin() override;

    // Load the given files into the primary or the secondary list, as choosing
    // them in that list's "Open Files" dialog does; an empty list is a
    // cancelled dialog and changes nothing.
    void openPrimaryImages(const QStringList& files);
    void openSecondaryImages(const QStringList& files);

    // The work behind "Calibrate Stereo", "Rectify Stereo" and "Rectify
    // Selected Images".
    void calibrate();
    void rectify();
    void rectifyInput();

    // Per-point errors and colours of the last calibration; with
    // removeOutliers the points above the thresholds are removed from the
    // detection cache. True when a point was removed.
    bool computeReprojErrors(bool removeOutliers);

    // The flag set of camera 0 (primary) or 1 (secondary) from the form.
    int calibrationFlags(int camera) const;

    // Paths of the result files for the sensors chosen now.
    QString stereoFilePath() const;
    QString rectifiedProjectBasePath() const;

    // Results and caches, for the views and for inspection.
    bool isCalibrated() const { return calibrated; }
    const cv::Mat& primaryCameraMatrix() const { return primaryK; }
    const cv::Mat& primaryDistortion() const { return primaryKc; }
    const cv::Mat& secondaryCameraMatrix() const { return secondaryK; }
    const cv::Mat& secondaryDistortion() const { return secondaryKc; }
    const cv::Mat& rotation() const { return R; }
    const cv::Mat& translation() const { return T; }
    const cv::Mat& fundamental() const { return F; }
    const StereoRectification& rectification() const { return rect; }
    const std::vector<std::vector<cv::Point2f>>& primaryCornerCache() const { return primaryCorners; }
    const std::vector<std::vector<cv::Point2f>>& secondaryCornerCache() const { return secondaryCorners; }
    const std::vector<std::vector<cv::Point3f>>& objectPointCache() const { return objectPoints; }
    const std::vector<double>& pairErrors() const { return viewErrors; }
    const std::vector<double>& primaryPairErrors() const { return primaryViewErrors; }
    const std::vector<double>& secondaryPairErrors() const { return secondaryViewErrors; }
    const std::vector<double>& epipolarPairErrors() const { return epipolarRms; }
    const std::vector<cv::Vec3b>& primaryColours() const { return primaryListColours; }
    const std::vector<cv::Vec3b>& secondaryColours() const { return secondaryListColours; }
    const std::vector<cv::Mat>& primaryPoseRotations() const { return primaryRvecs; }
    const std::vector<cv::Mat>& primaryPoseTranslations() const { return primaryTvecs; }

signals:
    void updatePrimaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getPrimaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);

public slots:
    void updateSensorNames();

private slots:
    void on_button_change_dir_primary_clicked(bool checked);
    void on_button_change_dir_secondary_clicked(bool checked);
    void on_list_images_primary_currentRowChanged(int currentRow);
    void on_list_images_secondary_currentRowChanged(int currentRow);
    void on_button_calibrate_clicked();
    void on_combo_sensor_primary_currentIndexChanged(int);
    void on_combo_sensor_secondary_currentIndexChanged(int);
    void on_check_radon_detection_toggled(bool checked);
    void on_check_fix_intrinsic1_toggled(bool checked);
    void on_check_fix_intrinsic2_toggled(bool checked);
    void on_group_use_radial_distortion1_toggled(bool checked);
    void on_group_use_radial_distortion2_toggled(bool checked);
    void on_check_use_rational_model_1_toggled(bool checked);
    void on_check_use_rational_model_2_toggled(bool checked);
    void on_check_mirror_primary_toggled(bool);
    void on_check_mirror_secondary_toggled(bool);
    void on_spin_corner_count_x_valueChanged(int);
    void on_spin_corner_count_y_valueChanged(int);
    void on_edit_corners_width_textChanged(const QString&);
    void on_edit_corners_height_textChanged(const QString&);
    void on_spin_win_size_valueChanged(int);
    void on_edit_zero_zone_x_textChanged(const QString&);
    void on_edit_zero_zone_y_textChanged(const QString&);
    void on_button_rectify_clicked();
    void on_button_rectify_input_clicked();
    void on_radio_alpha_custom_toggled(bool checked);
    void on_tabWidget_currentChanged(int);
    void on_check_show_epi_lines_toggled(bool checked);
    void on_spin_epi_lines_valueChanged(int);

private:
    enum Side { Primary = 0, Secondary = 1 };

    void openImages(Side side, const QStringList& files);
    void resetDetections();
    void restorePairFromFiles(size_t i);
    void clearResult();
    void runCalibration();
    bool detectPass(int n, const ChessboardOptions& options);
    bool detectSide(Side side, size_t i, const cv::Mat& gray, const ChessboardOptions& options,
                    bool& detected);
    StereoCameraOptions cameraOptions(Side side) const;
    void drawScene(const std::vector<int>& used, const StereoRunResult& result);
    cv::Mat loadImage(Side side, size_t i, int flags) const;
    void showPair(Side first, int row);
    bool showSide(Side side, int row); // true when it shows the errors
    void showReprojErrors(Side side, int row, const cv::Mat& image);
    void showEpipolarLabels(int row);
    void showRectified(Side first, int row);
    void redisplay();
    void syncScrollBars(QScrollBar* target, int value);
    QListWidget* list(Side side) const;

    bool calibrated = false;
    Ui::StereoChessCalibWin* ui;
    int lastScrollValue = 0;
    cv::Size primaryImageSize, secondaryImageSize;
    std::vector<QString> sensorNames;
    QString dir1, dir2;
    cv::Mat primaryK, primaryKc, secondaryK, secondaryKc;
    cv::Mat R, T;
    cv::Mat E, F;
    // rectR0, rectR1, rectP0, rectP1, rectQ and the four remap tables.
    StereoRectification rect;
    std::vector<std::string> primaryPaths, secondaryPaths;
    std::vector<cv::Mat> primaryRvecs, primaryTvecs, secondaryRvecs, secondaryTvecs;
    std::vector<double> viewErrors, primaryViewErrors, secondaryViewErrors;
    std::vector<double> epipolarRms;
    std::vector<cv::Vec2d> primaryMinMax, secondaryMinMax, epipolarMinMax;
    std::vector<cv::Vec3b> primaryListColours, secondaryListColours, epipolarColours;
    std::vector<std::vector<cv::Vec3b>> primaryPointColours, secondaryPointColours;
    std::vector<std::vector<cv::Point2f>> primaryCorners, secondaryCorners;
    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> primaryReprojected, secondaryReprojected;
    vtkSmartPointer<vtkRenderer> renderer;

    // What each list's corner files hold (empty where an image has none);
    // they stand in for detection until that list is opened again.
    std::vector<std::vector<cv::Point2f>> fileCorners[2];
    std::vector<std::vector<cv::Point3f>> fileObjectPoints[2];
    // The sensors the pose in R and T belongs to; rectification uses R and T
    // only while both combo boxes still show them.
    QString resultPrimary, resultSecondary;
};
