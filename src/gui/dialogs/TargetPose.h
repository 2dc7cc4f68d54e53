#pragma once

// Places the world relative to a calibrated camera: detects the chessboard in
// one image, solves the board's pose by PnP (optionally with RANSAC) and hands
// it to the sensor tree, so that the sensor chosen as the world takes the
// board's place in the scene.

#include "core/calib/target_pose.h"
#include "gui/dialogs/ChessboardDialog.h"
#include "gui/dialogs/ReprojectionErrorPanel.h"

#include <QString>

#include <opencv2/core.hpp>

#include <vector>

namespace Ui {
class TargetPose;
}

class TargetPose : public ChessboardDialog {
    Q_OBJECT

public:
    TargetPose(QWidget* parent, std::vector<QString> sensorNames);
    ~TargetPose() override;

    // Opens the image, as choosing it in the "Open Image" dialog does.
    void openImage(const QString& path);

    // Rotation of the last estimated pose (board to camera).
    const cv::Mat& rotation() const { return R; }

signals:
    void updateIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);

protected:
    void refreshSensors(const SceneChange& change) override;

private slots:
    void on_button_open_image_clicked();
    void on_button_calibrate_clicked();
    void on_check_radon_detection_toggled(bool checked);
    void on_radio_EP3P_toggled(bool checked);
    void on_radio_iterative_PNP_toggled(bool checked);
    void on_radio_EPNP_toggled(bool checked);

private:
    // The estimate: gathers the inputs from the form and the sensor tree,
    // runs estimateTargetPose and presents its result.
    void estimatePose();
    bool gatherPoseInput(TargetPoseInput& input);
    bool readPnpOptions(TargetPoseInput& input);
    void presentPose(const TargetPoseResult& pose);
    void showPose(const TargetPoseResult& pose);
    void logPose(const TargetPoseResult& pose);
    void showPlainImage();
    void hideErrors();

    Ui::TargetPose* ui;
    ReprojectionErrorPanel errorPanel;
    QString titleText;
    std::vector<QString> sensorNames;
    QString lastDirectory;
    QString imagePath;
    cv::Mat K;
    cv::Mat kc;
    cv::Mat R;
    cv::Mat colourImage;
    cv::Mat grayImage;
};
