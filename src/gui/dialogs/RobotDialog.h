#pragma once

// The frame shared by the two robot-camera calibration dialogs, hand-eye
// (HandEyeCalib) and robot-world (ToolFlangeCalib): the image and TCP lists
// kept row for row in step, opening images and TCP pose files, the run steps
// before the solver (options and opening checks, detection, target pose per
// image, dropping images without a pose), and the result view of one row.
//
// A dialog builds its Designer form on itself, then calls
// initRobotFrame(ui); the frame reaches the widgets through the form's own
// members, so a widget missing from a form fails to compile. The dialog adds
// its solver, its log lines, its result file and its scene.

#include "gui/dialogs/ChessboardDialog.h"

#include "core/calib/robot_calib.h"
#include "core/calib/target_pose.h"
#include "core/io/tcp_pose_file.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <opencv2/core.hpp>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>

#include <vector>

class ImageLabel;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QVTKOpenGLNativeWidget;

class RobotDialog : public ChessboardDialog {
    Q_OBJECT

public:
    RobotDialog(QWidget* parent, std::vector<QString> sensorNames);
    ~RobotDialog() override;

    // Lists the image files (all taken to lie in the first one's folder), as
    // choosing them in "Open Image Files" does.
    void openImages(const QStringList& files);
    // Reads a TCP pose file, as choosing it in "Open TCP File" does; an empty
    // path stands for a cancelled file dialog.
    void openTcpFile(const QString& path);

    // Runs the calibration (the work behind "Calibrate").
    virtual void calibrate() = 0;
    // Shows one row of the lists: image, errors, TCP pose, and the 3D view.
    void showResults(int row);

    // Inspection.
    const std::vector<TcpPose>& poses() const { return tcpPoses; }
    bool tcpFileRead() const { return tcpReadComplete; }
    bool hasResult() const { return resultValid; }
    const QVector<int>& resultRows() const { return boardRows; }
    // Per board image of the last run, in the order of resultRows(): (RMS,
    // min, max) reprojection error in px, and (RMS 3D mm, translation mm,
    // rotation deg). Also those of a run refused as implausible, which leaves
    // no result; empty when the last run measured none.
    std::vector<cv::Vec3d> reprojectionErrors() const;
    std::vector<cv::Vec3d> poseErrorList() const;
    // The records of the last run, one per image row (empty without one).
    const RobotRunResult& lastRunResult() const { return lastRun; }
    vtkRenderer* sceneRenderer() const { return renderer; }

signals:
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void getSensorNames(std::vector<QString>& sensorNames);

protected:
    void refreshSensors(const SceneChange& change) override;

protected slots:
    void on_button_open_images_clicked();
    void on_button_open_tcp_clicked();
    void on_button_calibrate_clicked();
    void on_list_images_currentRowChanged(int currentRow);
    void on_list_positions_currentRowChanged(int currentRow);
    void on_radio_EP3P_toggled(bool checked);
    void on_radio_iterative_PNP_toggled(bool checked);
    void on_radio_EPNP_toggled(bool checked);
    void on_check_radon_detection_toggled(bool checked);
    void on_radio_m_toggled(bool checked);

protected:
    // The form's widgets the frame uses.
    struct Form {
        QComboBox *combo_sensor, *combo_robot;
        QListWidget *list_images, *list_positions;
        QCheckBox *check_mirror, *check_radon_detection;
        QRadioButton *radio_m, *radio_mm, *radio_EP3P, *radio_iterative_PNP, *radio_EPNP;
        QPushButton *button_open_images, *button_open_tcp, *button_calibrate;
        QTabWidget* tabWidget;
        ImageLabel* image_label;
        QVTKOpenGLNativeWidget* widget_vtk;
        QGroupBox *group_TCP_positions, *group_reproj_err, *group_3d_err, *group_ransac, *group_corner_subpix,
            *group_chessboard, *group_target_pose, *group_length_unit;
        QLabel *label_x, *label_y, *label_z, *label_rx, *label_ry, *label_rz;
        QLabel *label_rms_err, *label_min_err, *label_max_err, *label_rms_3d, *label_trans_err,
            *label_rot_err;
        QLineEdit *edit_iterations, *edit_reproj_err, *edit_confidence;
        QProgressBar* progress_bar;
    };

    template <class Ui> void initRobotFrame(Ui* ui, const QString& title, const QList<QWidget*>& extraLocked)
    {
        Form f{ui->combo_sensor,      ui->combo_robot,
               ui->list_images,       ui->list_positions,
               ui->check_mirror,      ui->check_radon_detection,
               ui->radio_m,           ui->radio_mm,
               ui->radio_EP3P,        ui->radio_iterative_PNP,
               ui->radio_EPNP,        ui->button_open_images,
               ui->button_open_tcp,   ui->button_calibrate,
               ui->tabWidget,         ui->image_label,
               ui->widget_vtk,        ui->group_TCP_positions,
               ui->group_reproj_err,  ui->group_3d_err,
               ui->group_ransac,      ui->group_corner_subpix,
               ui->group_chessboard,  ui->group_target_pose,
               ui->group_length_unit, ui->label_x,
               ui->label_y,           ui->label_z,
               ui->label_rx,          ui->label_ry,
               ui->label_rz,          ui->label_rms_err,
               ui->label_min_err,     ui->label_max_err,
               ui->label_rms_3d,      ui->label_trans_err,
               ui->label_rot_err,     ui->edit_iterations,
               ui->edit_reproj_err,   ui->edit_confidence,
               ui->progress_bar};
        setupFrame(f, chessboardFormOf(ui), title, extraLocked);
    }

    // Clears the results of an earlier run (opening images or a TCP file):
    // the per-image results and the colours of both lists.
    virtual void discardResults();
    // Empties every list of the run and the result (run start).
    virtual void clearRun();

    // Run start: resets the log and the progress bar, empties the run's lists,
    // reads the options, checks the camera and its intrinsics, and fills the
    // input record common to both runs. Logs its message and returns false
    // when the run cannot start.
    bool gatherRunInput(RobotRunInput& input);
    // The callback that logs the detection of each image and polls Abort.
    RobotRunCallback runLogger();
    // Presents what both runs share: the inlier lines, the rows the run took
    // out, and the message of a run that stopped (then the result view says
    // there is no result). A result is kept as the last run; so are the
    // per-image errors of a run refused as implausible, which colour the rows
    // and fill the error panel without a result. Returns result.ok().
    bool presentRun(const RobotRunResult& result, const RobotRunInput& input, bool handEyeInlierText);
    // The dialog's own part of a row's 3D view: imageShown when the row's
    // image was read (imageSize (0, 0) when it could not be), hasTcp with the
    // row's TCP pose in mm (in the unit chosen now), record the row's record
    // of a valid result (null otherwise).
    virtual void drawRowScene(bool imageShown, cv::Size imageSize, bool hasTcp, const cv::Mat& R_tcp,
                              const cv::Mat& t_tcp, const RobotImageRecord* record) = 0;

    // Shared result handling.
    void colourRows();
    // The image and error panel and the TCP labels of the row shown last,
    // without the 3D view (which keeps a run's scene).
    void refreshRowPanel();
    void logMatrix(const QString& name, const cv::Mat& t, const cv::Mat& R, const QString& tName);
    // Reads the board's size from the form again (for the result view),
    // without logging; false when the form holds no valid board.
    bool rereadBoard();
    QString cameraName() const;
    QString robotName() const;
    double lengthScale() const; // 1000 for metres, 1 for millimetres
    cv::Size2d squareSizeMm() const;
    void renderView();

    Form form;
    QString baseTitle;
    vtkSmartPointer<vtkRenderer> renderer;
    QString lastDir;
    std::vector<QString> sensorNames;
    std::vector<TcpPose> tcpPoses;
    bool tcpReadComplete = false;
    QVector<int> checkedRows, boardRows;
    RobotRunResult lastRun; // the records of the last run that measured per-image errors
    bool resultValid = false;
    // lastRun holds per-image errors: of a result, or of a run refused as
    // implausible (then without X and Y, and resultValid stays false).
    bool errorsMeasured = false;
    cv::Mat K, kc;
    cv::Mat RX, tX;
    cv::Size lastImageSize;
    int shownRow = -1; // the row showResults() showed last

private:
    void setupFrame(const Form& f, const ChessboardForm& board, const QString& title,
                    const QList<QWidget*>& extraLocked);
    void resetErrorLabels();
    void selectOtherRow(QListWidget* other, int row);
    // The PnP method and, when RANSAC is used, its checked parameters.
    bool readPoseOptions(RobotPoseOptions& options);
    void whiteRow(int row);
    void clearRowColours();
    // The record of a row with errors of the last run (null when there is
    // none, or, with checkedOnly, when the row is unchecked now).
    const RobotImageRecord* measuredRecord(int row, bool checkedOnly) const;
    // Keeps the records and rows of a run that measured per-image errors.
    void keepMeasuredRun(const RobotRunResult& result);
    // The image part of a row's view; false when the row has no image shown.
    bool showRowImage(int row, cv::Size& imageSize);
    // The TCP labels of a row, with the unit chosen now; false without a pose.
    bool showRowTcp(int row, cv::Mat& R_tcp, cv::Mat& t_tcp);
    void logRunError(const RobotRunResult& result, const RobotRunInput& input);
    void logImplausible(const RobotRunResult& result);
    int selectedCount = 0; // selected images of the current run
};
