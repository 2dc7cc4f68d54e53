#pragma once

// Hand-eye calibration (AX=XB) of a camera carried by the robot: from images
// of a fixed chessboard target and the TCP pose of each image it finds the
// camera's pose on the flange (X), writes "AX-XB.yml" next to the images and
// shows the robot, its TCPs, the cameras and the targets in its 3D view. The
// result goes to the file and the log only, never into the sensor tree.

#include "gui/dialogs/RobotDialog.h"

namespace Ui {
class HandEyeCalib;
}

class HandEyeCalib : public RobotDialog {
    Q_OBJECT

public:
    HandEyeCalib(QWidget* parent, std::vector<QString> sensorNames);
    ~HandEyeCalib() override;

    void calibrate() override;

    // The last result: camera in the TCP, x_tcp = RX x_cam + tX (mm).
    const cv::Mat& cameraRotation() const { return RX; }
    const cv::Mat& cameraTranslation() const { return tX; }

protected:
    void drawRowScene(bool imageShown, cv::Size imageSize, bool hasTcp, const cv::Mat& R_tcp,
                      const cv::Mat& t_tcp, const RobotImageRecord* record) override;

private:
    cv::HandEyeCalibrationMethod method() const;

    Ui::HandEyeCalib* ui;
};
