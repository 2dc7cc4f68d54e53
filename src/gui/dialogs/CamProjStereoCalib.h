#pragma once

// Calibration of a projector, alone or together with a camera, from folders of
// captured Gray code image sets: one subfolder per board pose holding the
// camera's pictures of every pattern (see core/structured_light). The camera is
// the primary device of the dialog protocol and the projector the secondary.
//
// The computation of both runs is core/calib/cam_proj_calib
// (calibrateProjectorIntrinsics, calibrateCamProjStereo): the dialog reads the
// form into the run's input, hands over its per-set records (one CamProjSet
// per top-level row of the image-set model, with what earlier runs made of
// the set), and presents what comes back: the log, the row colours, the 3D
// view, the sensor tree, the result files and the image views.

#include "core/calib/cam_proj_calib.h"
#include "gui/dialogs/ChessboardDialog.h"

#include <QModelIndex>
#include <QString>

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <optional>
#include <vector>

class ImageLabel;
class QLabel;
class QGroupBox;
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
    // A folder without image sets is refused: the log says which layout is
    // expected, and the sets, their results, the title and the folder stay.
    void loadImageFolder(const QString& folder);
    // Image `image` of set `set`, read as grey or colour; empty when the row
    // does not exist or the file gives no pixels.
    cv::Mat loadSetImage(int set, int image, SetImageMode mode) const;
    // Empties what the stages and the runs made of every set; the
    // intrinsics and the stereo result stay.
    void clearImageSetResults();

    // Single stages over all sets, as the hidden "Detect Chessboards" and
    // "Decode Patterns" buttons start them. Failed when the stage stopped
    // (a size mismatch, bad options), Aborted on an abort.
    RunStatus detectChessboards();
    RunStatus decodeImageSets();
    // Decodes one set (without log lines). False when it fails; `error`
    // says why.
    bool decodeImageSet(int set, cv::Mat& decoded, cv::Mat& minMax, QString* error = nullptr);

    // The runs behind "Calibrate Projector" and "Calibrate Stereo"; the
    // calling slot holds the run state.
    RunStatus calibrateProjector();
    RunStatus calibrateStereo();

    // Decoded X and Y colour maps of a set (empty when not decoded).
    void renderDecodedMaps(int set, cv::Mat& xImage, cv::Mat& yImage) const;
    // The set's projector view, made again (and the set decoded when the
    // dialog is idle) when missing, when its maps or the options it depends
    // on changed, or when force is set; empty when the set cannot be decoded.
    cv::Mat projectorView(int set, bool force);
    // Redraws the current tab of the views for the current set.
    void drawCurrentView();

    int setCount() const;
    bool isSetChecked(int set) const;
    void setSetChecked(int set, bool checked);
    QModelIndex setIndex(int set) const;
    TreeModel* imageSetModel() const { return model; }

    // The per-set records, one per set in tree order.
    const std::vector<CamProjSet>& imageSetRecords() const { return imageSets; }
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

protected:
    void refreshSensors(const SceneChange& change) override;

public slots:
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
    // Which calibration a run makes.
    enum class RunKind { Projector, Stereo };

    // The projector's reprojection errors of one set after a calibration:
    // the object points projected with the set's projector pose, the
    // smallest and largest corner error (px) and one colour per corner kept.
    struct ProjectorCornerErrors {
        std::vector<cv::Point2f> projReprojPoints;
        double smallest = 0, largest = 0;
        std::vector<cv::Vec3b> projCornerColours;
    };
    // A set's projector view and what it was made from.
    struct ProjectorViewCache {
        cv::Mat image;
        cv::Mat decodedMap; // the map it was made from (shares its data)
        int threshold = -1;
        cv::Size projectorSize;
    };

    void fitPanelsToTheirTexts();
    void onImageTreeCurrentChanged(const QModelIndex& current, const QModelIndex& previous);
    void clearDetectionStage();
    void clearDecodingStage();
    void clearProjectorCornerStage();
    void clearCalibrationResults();
    void setRowBackground(int set, const QColor& colour);
    // Says in red that a folder holds no image sets and which layout is
    // expected.
    void logNoImageSets(const QString& folder);
    cv::Size projectorSize() const;
    int readInt(const class QLineEdit* edit) const;
    QStringList setImagePaths(int set) const;

    // Gathering: the sets with their files and check states, and the form's
    // options. A value that cannot be used is logged in red, naming its
    // field, and gives false.
    std::vector<CamProjSet> gatherSets() const;
    bool readStageOptions(CamProjRunInput& input);
    bool gatherRunInput(RunKind kind, CamProjRunInput& input);
    IntrinsicFlagOptions projectorRunFlags() const;
    IntrinsicFlagOptions stereoFlags(bool camera) const;
    // The checks before a run that log their own message; false stops it.
    bool checkSensorsAndGuesses(RunKind kind);
    bool ensureProjectorIntrinsics();

    // Presenting: the run's progress in the log, the sets it hands back,
    // why it stopped, and its result.
    CamProjProgressFn progressLogger(QStringList& decodeFailures, RunKind kind);
    bool logProgress(const CamProjProgress& step, QStringList& decodeFailures, RunKind kind);
    void logDecodeFailures(QStringList& failures);
    void storeSets(const std::vector<CamProjSet>& sets);
    RunStatus presentStop(const CamProjStatus& status, RunKind kind);
    void presentProjectorResult(const ProjectorRunResult& run);
    void logProjectorIntrinsics(const ProjectorCalibResult& result);
    void drawProjectorScene(const ProjectorRunResult& run);
    void presentStereoResult(const CamProjStereoRunResult& run);
    void logStereoResult(const CamProjStereoResult& result);
    void colourStereoRows(const CamProjStereoRunResult& run);
    void drawStereoScene(const CamProjStereoRunResult& run);
    void showEmptyScene();
    void logAborted();

    // Views.
    void drawDeviceView(bool projector);
    bool drawDeviceErrors(bool projector, const cv::Mat& image);
    void showNoImage(ImageLabel* view, const QString& text);
    void hideErrorLabels(bool projector);
    std::optional<std::pair<double, double>> deviceErrorRange(bool projector) const;

    TreeModel* model = nullptr;
    Ui::CamProjStereoCalib* ui = nullptr;
    vtkSmartPointer<vtkRenderer> renderer;
    QString titleText;
    QString imageDir;
    std::vector<QString> sensorNames;

    // One record per set: what the stages and the last calibration made.
    std::vector<CamProjSet> imageSets;
    std::vector<ProjectorViewCache> projViews;
    std::vector<std::optional<ProjectorCornerErrors>> projCornerErrors;

    cv::Mat camK, projK, camKc, projKc, R, T, E, F;
    int currentSet = 0;
    int currentImage = 0;
};
