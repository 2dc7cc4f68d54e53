#pragma once

// Calibration of a projector, alone or together with a camera, from folders of
// captured Gray code image sets: one subfolder per board pose holding the
// camera's pictures of every pattern (see core/structured_light). The camera is
// the primary device of the dialog protocol and the projector the secondary.
//
// Per-set data (objectPoints, camCorners, projCorners, decodedMaps, ...) is
// indexed by the top-level row of the image-set model; a list may be shorter
// than the number of sets (it is emptied when an option it depends on
// changes), and every reader checks its length before indexing.

#include "gui/dialogs/ChessboardDialog.h"

#include <QModelIndex>
#include <QString>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <utility>
#include <vector>

class TreeModel;
class vtkRenderer;

namespace Ui {
class CamProjStereoCalib;
}

enum class SetImageMode { Grey, Colour };

class CamProjStereoCalib : public ChessboardDialog {
    Q_OBJECT

public:
    CamProjStereoCalib(QWidget* parent, std::vector<QString> sensorNames);
    ~CamProjStereoCalib() override;

    // How a stage or a run ended.
    enum class RunStatus { Done, Failed, Aborted };

    // Loads the sets of a folder into the tree, as "Open Image Folder" does.
    void loadImageFolder(const QString& folder);
    // Image `image` of set `set`, read as grey or colour; empty when the row
    // does not exist or the file gives no pixels.
    cv::Mat loadSetImage(int set, int image, SetImageMode mode) const;
    // Empties every per-set list; the intrinsics and the stereo result stay.
    void clearImageSetResults();

    // Stages of the runs. Each returns Failed when the run has to stop (a
    // size mismatch, bad options) and Aborted on an abort.
    RunStatus detectChessboards();
    RunStatus decodeImageSets();
    // Decodes one set (without log lines of the driver). False when it fails;
    // `error` says why.
    bool decodeImageSet(int set, cv::Mat& decoded, cv::Mat& minMax, QString* error = nullptr);

    // The runs behind "Calibrate Projector" and "Calibrate Stereo"; the
    // calling slot holds the run state.
    RunStatus calibrateProjector();
    RunStatus calibrateStereo();

    // Decoded X and Y colour maps of a set (empty when not decoded).
    void renderDecodedMaps(int set, cv::Mat& xImage, cv::Mat& yImage) const;
    // The set's projector view from the cache, made (and the set decoded)
    // when missing or when force is set.
    cv::Mat projectorView(int set, bool force);
    // Redraws the current tab of the views for the current set.
    void drawCurrentView();

    int setCount() const;
    bool isSetChecked(int set) const;
    void setSetChecked(int set, bool checked);
    QModelIndex setIndex(int set) const;
    TreeModel* imageSetModel() const { return model; }

    // Read access for the views and for inspection.
    const std::vector<std::vector<cv::Point3f>>& setObjectPoints() const { return objectPoints; }
    const std::vector<std::vector<cv::Point2f>>& setCamCorners() const { return camCorners; }
    const std::vector<std::vector<cv::Point2f>>& setProjCorners() const { return projCorners; }
    const std::vector<cv::Mat>& setDecodedMaps() const { return decodedMaps; }
    const std::vector<cv::Mat>& setMinMaxMaps() const { return minMaxMaps; }
    const std::vector<double>& setProjErrors() const { return projErrors; }
    const std::vector<double>& setCamErrors() const { return camErrors; }
    const std::vector<cv::Vec3b>& setProjColours() const { return projColours; }
    const std::vector<cv::Vec3b>& setCamColours() const { return camColours; }
    const cv::Mat& cameraMatrix() const { return camK; }
    const cv::Mat& cameraDistortion() const { return camKc; }
    const cv::Mat& projectorMatrix() const { return projK; }
    const cv::Mat& projectorDistortion() const { return projKc; }
    const cv::Mat& stereoRotation() const { return R; }
    const cv::Mat& stereoTranslation() const { return T; }
    int currentSetIndex() const { return currentSet; }
    int currentImageIndex() const { return currentImage; }
    QString imageFolder() const { return imageDir; }

signals:
    void updatePrimaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getPrimaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSecondaryIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat& R, cv::Mat& t);

public slots:
    void updateSensorNames();
    bool projComputeReprojErrors(bool removeOultiers);

private slots:
    void on_change_dir_button_clicked();
    void on_button_detect_chessboards_clicked();
    void on_button_decode_clicked();
    void on_button_calibrate_clicked();
    void on_tab_img_view_currentChanged(int index);
    void on_button_calibrate_projector_clicked();
    void on_button_gen_images_clicked();
    void on_check_fix_intrinsic1_toggled(bool checked);
    void on_check_fix_intrinsic2_toggled(bool checked);
    void on_group_use_radial_distortion_toggled(bool checked);
    void on_group_use_radial_distortion1_toggled(bool checked);
    void on_group_use_radial_distortion2_toggled(bool checked);
    void on_check_radon_detection_toggled(bool checked);
    void on_edit_b_textChanged(const QString&);
    void on_edit_m_textChanged(const QString&);
    void on_edit_proj_width_textChanged(const QString&);
    void on_edit_proj_height_textChanged(const QString&);
    void on_spin_corner_count_x_valueChanged(int);
    void on_spin_corner_count_y_valueChanged(int);
    void on_edit_corners_width_textChanged(const QString&);
    void on_edit_corners_height_textChanged(const QString&);
    void on_spin_win_size_valueChanged(int);
    void on_edit_zero_zone_x_textChanged(const QString&);
    void on_edit_zero_zone_y_textChanged(const QString&);
    void on_edit_homography_win_textChanged(const QString&);
    void on_edit_threshold_textChanged(const QString&);
    void on_edit_reproj_err_textChanged(const QString&);
    void on_radio_outlier_ransac_toggled(bool checked);
    void on_radio_outlier_lmeds_toggled(bool checked);
    void on_group_proj_outliers_toggled(bool checked);

private:
    void onImageTreeCurrentChanged(const QModelIndex& current, const QModelIndex& previous);
    void clearDetectionStage();
    void clearDecodingStage();
    void clearProjectorCornerStage();
    void setRowBackground(int set, const QColor& colour);
    // Of the first n sets, those with board corners in the camera and the
    // projector, in set order; sets among them that are not checked are
    // painted white and left out.
    std::vector<int> setsReadyForCalibration(int n);
    cv::Size projectorSize() const;
    int readInt(const class QLineEdit* edit) const;
    QStringList setImagePaths(int set) const;
    // Carries the camera corners of every checked set into the projector.
    RunStatus extractProjectorCornerStage(bool abortChecks);
    // The abort check of the runs: processes events and, on an abort, logs it.
    bool runAborted();
    // Detection and decoding with the abort checks between them.
    RunStatus runDetectionAndDecoding();
    void clearRunResults();
    cv::TermCriteria readCriteria() const;
    void drawDeviceView(bool projector);

    TreeModel* model = nullptr;
    Ui::CamProjStereoCalib* ui = nullptr;
    vtkSmartPointer<vtkRenderer> renderer;
    QString titleText;
    QString imageDir;
    std::vector<QString> sensorNames;

    std::vector<std::vector<cv::Point3f>> objectPoints;
    std::vector<std::vector<cv::Point2f>> camCorners;
    std::vector<std::vector<cv::Point2f>> projCorners;
    std::vector<cv::Mat> decodedMaps;
    std::vector<cv::Mat> minMaxMaps;
    std::vector<cv::Mat> projViews;

    std::vector<double> camErrors, projErrors;
    std::vector<cv::Mat> camRvecs, camTvecs, projRvecs, projTvecs;
    std::vector<cv::Vec3b> camColours, projColours;
    std::vector<std::vector<cv::Point2f>> projReprojPoints;
    std::vector<std::pair<double, double>> projErrorRange;
    std::vector<std::vector<cv::Vec3b>> projCornerColours;

    cv::Mat camK, projK, camKc, projKc, R, T, E, F;
    int currentSet = 0;
    int currentImage = 0;
};
