#pragma once

// Intrinsic calibration of one camera from a list of chessboard images:
// detection, cv::calibrateCamera, the result in the log, the sensor tree, the
// "<sensor>_intr.yml" file next to the images, the image list coloured by
// per-view error, the boards in a 3D view, and per-corner reprojection errors
// with optional outlier removal.

#include "core/calib/intrinsic_calibration.h"
#include "gui/dialogs/ChessboardDialog.h"
#include "gui/dialogs/ReprojectionErrorPanel.h"

#include <QBrush>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <optional>
#include <string>
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

    // The dialog's current intrinsics: the chosen sensor's, or those of the
    // last calibration.
    const cv::Mat& cameraMatrix() const { return K; }
    const cv::Mat& distortion() const { return kc; }
    // The last run: one record per image of the list (none before a run and
    // after images are opened).
    const IntrinsicCalibrationResult& lastRunResult() const { return lastRun; }

    // Per image, from the records of the last run and the corners the images
    // hold, for the views and for inspection. The corners each image holds
    // for the next run: its corner file's or those the last outlier removal
    // kept, else those found by the last detection while it is still valid.
    std::vector<std::vector<cv::Point2f>> detectedImagePoints() const;
    // Of the last calibration, per image (empty or 0 where it was not used):
    // the projections of its kept corners (none once a detection option
    // changed), its RMS error, its list colour,
    // the colours of its kept corners and the range of its corner errors
    // (1e100 and 0 when it has none).
    std::vector<std::vector<cv::Point2f>> reprojectedImagePoints() const;
    std::vector<double> viewErrors() const;
    std::vector<cv::Vec3b> imageListColours() const;
    std::vector<std::vector<cv::Vec3b>> cornerColours() const;
    std::vector<cv::Vec2d> cornerErrorRanges() const;

signals:
    void updateIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);

protected:
    void refreshSensors(const SceneChange& change) override;

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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // One image of the list.
    struct ImageEntry {
        std::string path;
        std::optional<BoardCorners> cornerFile; // read when the images were opened
        // What the next run uses instead of detecting: the corner file's
        // corners, or those the last outlier removal kept.
        std::optional<BoardCorners> standIn;
    };

    void fitOptionsColumn();
    void resetDetections();
    void loadSensorIntrinsics();
    // The run: gathers the inputs, calls calibrateIntrinsics, presents the
    // result.
    void runCalibration();
    bool gatherRunInput(IntrinsicCalibrationInput& input);
    bool readTermCriteria(cv::TermCriteria& criteria);
    double readOutlierThreshold();
    bool logImage(size_t index, const std::optional<BoardDetection>& detection, bool reused);
    bool logRunFailure(const IntrinsicCalibrationResult& result);
    bool presentCalibration(const IntrinsicCalibrationResult& result);
    void logResult(double rms, const cv::Mat& stdDevIntrinsics);
    void writeResultFile(const IntrinsicCalibrationResult& result);
    void applyOutlierRemoval(const IntrinsicCalibrationResult& result, bool removeOutliers);
    // What the last run left in the dialog: a run that is refused (its
    // points far outside the image, or no camera as its result) gives it back.
    struct HeldRun {
        IntrinsicCalibrationResult run;
        cv::Mat K, kc;
        bool cornersHeld = false;
        std::vector<QBrush> listBackgrounds;
    };
    HeldRun holdLastRun() const;
    void restoreLastRun(HeldRun held);
    static bool isRefusal(IntrinsicCalibrationError error);
    // The views of the last run: list colours, 3D view, selected image.
    void forgetLastRun();
    void colourImageList(const std::vector<IntrinsicImage>& images);
    void drawLastRun();
    void showSelectedImage();
    const IntrinsicViewFit* fitOf(size_t i) const;
    cv::Point3d viewColourOf(size_t i) const;
    cv::Vec3b listColourOf(size_t i) const;
    std::vector<cv::Vec3b> cornerColoursOf(const IntrinsicViewFit& fit) const;
    cv::Mat blankImage() const;
    cv::Mat loadImage(size_t i, int flags) const;

    Ui::IntrChessCalibWin* ui;
    ReprojectionErrorPanel errorPanel;
    QString titleText;
    std::vector<QString> sensorNames;
    QString lastDirectory;
    cv::Mat K;
    cv::Mat kc;
    vtkSmartPointer<vtkRenderer> renderer;
    std::vector<ImageEntry> images;
    IntrinsicCalibrationResult lastRun;
    // Whether the images still hold the corners the last run calibrated
    // with: a change of a detection option drops them, and the views then
    // show none of the run's corners or projections.
    bool lastRunCornersHeld = false;
};
