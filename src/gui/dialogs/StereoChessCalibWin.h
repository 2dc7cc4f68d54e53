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

#include <QBrush>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <array>
#include <optional>
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

    // After a calibration: with removeOutliers, the points the run found
    // above the thresholds are removed from the pairs' records (and left out
    // of the next run), each pair's count logged. True when a point was
    // removed.
    bool computeReprojErrors(bool removeOutliers);

    // The flag set of camera 0 (primary) or 1 (secondary) from the form.
    int calibrationFlags(int camera) const;

    // Paths of the result files for the sensors chosen now.
    QString stereoFilePath() const;
    QString rectifiedProjectBasePath() const;

    // Results and caches, for the views and for inspection.
    bool isCalibrated() const { return calibrated; }
    // The last successful calibration (empty before one, and after the
    // chosen cameras changed).
    const cv::Mat& primaryCameraMatrix() const { return lastResult.K[Primary]; }
    const cv::Mat& primaryDistortion() const { return lastResult.kc[Primary]; }
    const cv::Mat& secondaryCameraMatrix() const { return lastResult.K[Secondary]; }
    const cv::Mat& secondaryDistortion() const { return lastResult.kc[Secondary]; }
    const cv::Mat& rotation() const { return lastResult.R; }
    const cv::Mat& translation() const { return lastResult.T; }
    const cv::Mat& fundamental() const { return lastResult.F; }
    const StereoRectification& rectification() const { return rect; }
    // One record per list row: the points the next run starts from and,
    // after a calibration, the pair's fit.
    const std::vector<StereoPair>& pairRecords() const { return pairs; }
    // Per list row, from the records (empty or 0 where a row has none).
    std::vector<std::vector<cv::Point2f>> primaryCornerCache() const;
    std::vector<std::vector<cv::Point2f>> secondaryCornerCache() const;
    std::vector<std::vector<cv::Point3f>> objectPointCache() const;
    std::vector<double> pairErrors() const; // mean of both cameras
    std::vector<double> primaryPairErrors() const;
    std::vector<double> secondaryPairErrors() const;
    std::vector<double> epipolarPairErrors() const;
    std::vector<cv::Vec3b> primaryColours() const;
    std::vector<cv::Vec3b> secondaryColours() const;
    std::vector<cv::Mat> primaryPoseRotations() const;
    std::vector<cv::Mat> primaryPoseTranslations() const;

signals:
    void updatePrimaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getPrimaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);

protected:
    void refreshSensors(const SceneChange& change) override;

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

    // The result of the last successful calibration, kept whole: both
    // cameras' intrinsics, the pose of the secondary relative to the primary,
    // E and F, the board its pairs' poses place, and the sensors (tree rows)
    // they belong to. Only the next successful run replaces it, and only a
    // change of the chosen cameras drops it; a run reads its start values
    // from it but never writes to it.
    struct LastResult {
        std::array<cv::Mat, 2> K, kc; // per camera: 3x3 and one row, CV_64F
        cv::Mat R, T, E, F;           // x_secondary = R x_primary + T (mm)
        ChessboardOptions board;      // pattern and square size (mm) the run was given
        std::array<int, 2> sensors{-1, -1};

        bool holdsPose() const { return !R.empty() && !T.empty() && !K[0].empty() && !K[1].empty(); }
    };

    // Smallest and largest error of the used pairs: the colour ranges.
    struct ErrorRanges {
        cv::Vec2d mean{1e100, 0}, camera[2]{{1e100, 0}, {1e100, 0}}, epipolar{1e100, 0};
    };

    void openImages(Side side, const QStringList& files);
    void readCornerFiles(Side side);
    void resetPairs();
    void resetDetections();
    void clearResult();
    void showNoResult();
    void showRectificationState();

    // What a run voids before it starts: whether the last result is on view,
    // its rectification, the pairs' records with their fits, and the lists'
    // colours. A run that is refused (points far outside their image, or no
    // camera as its result) gives them back.
    struct HeldViews {
        bool resultHeld = false; // lastResult held a result
        bool calibrated = false;
        StereoRectification rect;
        std::vector<StereoPair> pairs;
        std::array<std::vector<QBrush>, 2> listBackgrounds;
    };
    HeldViews holdViews() const;
    void restoreViews(HeldViews held);
    static bool isRefusal(StereoRunResult::Status status);

    // The run: gather the inputs, run the core, present the outcome.
    void runCalibration();
    bool checkChosenSensors(const QColor& colour);
    bool checkDistinctSensors();
    bool checkSensors();
    bool takeStartIntrinsics(Side side, cv::Mat& K, cv::Mat& kc);
    bool gatherRunInput(StereoRunInput& input);
    bool logRunStep(const StereoRunProgress& step);
    void logPairStep(size_t i, const StereoPair& pair);
    void markPairUnused(int row);
    void takePairs(const StereoRunResult& result);
    void presentFailure(const StereoRunResult& result);
    void presentCalibration(const StereoRunResult& result);
    void logCalibration(const StereoCalibration& calibration);
    std::array<int, 2> chosenSensors() const;
    bool emitResults(LastResult& next);
    void colourLists();
    enum class Framing { FitToScene, KeepCamera };
    void drawScene(Framing framing);
    void writeResultFile(double rms);

    StereoCameraOptions cameraOptions(Side side) const;
    ErrorRanges errorRanges() const;
    std::vector<cv::Vec3b> pointColours(Side side, const StereoPair& pair) const;
    cv::Mat loadImage(Side side, size_t i, int flags) const;
    void showPair(Side first, int row);
    bool showSide(Side side, int row); // true when it shows the errors
    void showReprojErrors(Side side, int row, const cv::Mat& image);
    void showEpipolarLabels(int row);
    void showRectified(Side first, int row);
    void redisplay();
    void syncScrollBars(QScrollBar* target, int value);
    QListWidget* list(Side side) const;
    QString sensorName(Side side) const;

    bool gatherRectification(StereoRectifyRun& run);
    void logCopyFailure(RectifiedCopyStatus status, const RectifiedCopy& copy, const std::string& error);

    bool calibrated = false;
    Ui::StereoChessCalibWin* ui;
    int lastScrollValue = 0;
    cv::Size primaryImageSize, secondaryImageSize;
    std::vector<QString> sensorNames;
    QString dir1, dir2;
    LastResult lastResult;
    // rectR0, rectR1, rectP0, rectP1, rectQ and the four remap tables.
    StereoRectification rect;
    std::vector<std::string> primaryPaths, secondaryPaths;
    // One record per list row (the longer list): the points the next run
    // starts from (the corner files, or the last run's points without the
    // outliers it removed) and, after a calibration, the pair's fit.
    std::vector<StereoPair> pairs;
    // Per row: points removed as outliers, left out while the pair's images
    // and the detection options stay the same.
    std::vector<std::vector<size_t>> excludedPoints;
    // What each list's corner files hold; they stand in for detection until
    // that list is opened again.
    std::array<std::vector<std::optional<StereoCornerFile>>, 2> cornerFiles;
    vtkSmartPointer<vtkRenderer> renderer;
};
