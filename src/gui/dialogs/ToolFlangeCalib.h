#pragma once

// Robot-world / tool-flange calibration (AX=YB): a fixed camera watches a
// chessboard target carried by the robot. From the board images and the TCP
// pose of each image it finds the camera in the robot base (Y, pushed into
// the sensor tree) and the target on the flange (X), writes "AX-YB.yml" next
// to the images and shows the cell in its 3D view.

#include "gui/dialogs/RobotDialog.h"

namespace Ui {
class ToolFlangeCalib;
}

class ToolFlangeCalib : public RobotDialog {
    Q_OBJECT

public:
    ToolFlangeCalib(QWidget* parent, std::vector<QString> sensorNames);
    ~ToolFlangeCalib() override;

    void calibrate() override;

    // The last result: camera in the robot base (x_base = RY x_cam + tY, mm)
    // and target in the TCP (x_tcp = RX x_target + tX, mm).
    const cv::Mat& cameraRotation() const { return RY; }
    const cv::Mat& cameraTranslation() const { return tY; }
    const cv::Mat& targetRotation() const { return RX; }
    const cv::Mat& targetTranslation() const { return tX; }

protected:
    void discardResults() override;
    void clearRun() override;
    void drawRowScene(bool imageShown, cv::Size imageSize, bool hasTcp, const cv::Mat& R_tcp,
                      const cv::Mat& t_tcp, const RobotImageRecord* record) override;

private:
    // The run's scene of the robot cell (after a result).
    void drawCell(bool invertTcp);

    Ui::ToolFlangeCalib* ui;
    cv::Mat RY, tY;
};
