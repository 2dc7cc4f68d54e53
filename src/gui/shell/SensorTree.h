#pragma once

// The scene editor: one top-level row per sensor, with child rows for its
// intrinsics and for its pose relative to a sensor of the user's choice.
// The tree owns the Sensor records (record i belongs to row i) and is their
// only writer. Every change is announced through the signals below; the
// calibration dialogs query and update the scene through the receivers
// getSensorNames, getIntrinsicsIdx, updateIntrinsicsIdx and
// updateExtrinsicsIdx, connected by the main window.
//
// Rows of one sensor (child numbers under its top-level row):
//   0 "Intrinsics" (import button)  1-4 fx fy cx cy  5-12 k1 k2 k3 p1 p2 k4 k5 k6
//   13 "Extrinsics wrt" (combo box) 14-16 tx ty tz [mm]  17-19 yaw pitch roll [deg]
// Values are shown with six decimals. The pose rows show the inverse of the
// pose relative to the chosen sensor: its position in that sensor's frame and
// the yaw, pitch and roll of its rotation (see Sensor.h).

#include <QIcon>
#include <QMetaType>
#include <QString>
#include <QWidget>

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "core/geometry/Sensor.h"

class QComboBox;
class QStandardItemModel;
class QTreeWidgetItem;

namespace Ui {
class SensorTree;
}

class SensorTree : public QWidget {
    Q_OBJECT

public:
    explicit SensorTree(QWidget* parent = nullptr);
    ~SensorTree() override;

    // While one lives, the tree's view is off screen, so that it lays its
    // rows out once when the last one ends instead of after every row (a
    // project load adds thousands of rows). Records, rows and signals behave
    // as ever; keyboard focus in the tree is given back at the end.
    class BulkUpdate {
    public:
        explicit BulkUpdate(SensorTree& tree);
        ~BulkUpdate();
        BulkUpdate(const BulkUpdate&) = delete;
        BulkUpdate& operator=(const BulkUpdate&) = delete;

    private:
        SensorTree& tree;
    };

    // Removes every sensor and record and emits sensorsCleared, so that the
    // open dialogs let go of the sensors they had chosen; touches no other
    // widget (the caller clears its 3D scene itself).
    void clearSensors();

    // Renames sensor idx as if the user had edited its name; an index that is
    // not a row, or an empty name, does nothing.
    void setSensorName(int idx, QString name);

    // A copy of the records, in row order.
    std::vector<Sensor> getSensors() const;

    // The image size of sensor idx's record; (0, 0) when it is not known or
    // idx is not a row.
    cv::Size sensorImageSize(int idx) const;

    // The names currently shown, in row order (a query of the dialogs).
    void getSensorNames(std::vector<QString>& names);

    // Reads the intrinsics file fileName ("K", "kc", "imgSize") into sensor
    // idx, as the import button does after its file dialog. A file that cannot
    // be read, or whose K or kc is malformed, shows "Can't open the <file>"
    // and changes nothing. Returns whether the file was imported.
    bool importIntrinsicsFile(int idx, const QString& fileName);

public slots:
    // Appends a sensor named "Cam" + row (or the next free number) standing
    // 1000 * row mm along the y axis of the first sensor's frame.
    void addSensor();

    // Handler of every change of a row: names, intrinsics, distortion and
    // pose cells. An empty name, a value that is not a finite number, or a
    // focal length that is not positive is refused and the previous text
    // restored.
    void onItemChanged(QTreeWidgetItem* item, int column);

    // Intrinsics of sensor idx as shown in its rows: K empty unless fx, fy,
    // cx, cy are all shown; kc of 5 or 8 coefficients from the shown rows,
    // followed by the record's further ones for models of more than 8; empty
    // when no distortion row is shown. An index that is not a row answers
    // empty matrices and (0, 0).
    void getIntrinsicsIdx(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);

    // Stores K (3x3), kc (when not empty) and imgSize (when positive) in
    // sensor idx and shows them. Ignored when K is empty or malformed or idx
    // is not a row.
    void updateIntrinsicsIdx(int idx, cv::Mat K, cv::Mat kc, cv::Size imgSize);

    // States the pose of sensor idx2 relative to sensor idx1:
    // x_idx2 = R * x_idx1 + t (R 3x3, t 3x1, mm). Ignored unless idx1 != idx2,
    // both are rows and R and t are finite and of those shapes.
    void updateExtrinsicsIdx(int idx1, int idx2, cv::Mat R, cv::Mat t);

signals:
    void sensorNameChanged(int idx, std::string name);
    // R and t are the record's: x_sensor = R * x_ref + t.
    void sensorExtrinsicsChanged(int idx, cv::Mat& R, cv::Mat& t);
    void sensorIntrinsicsChanged(int idx, cv::Mat& K);
    void sensorNamesChanged();
    void addSensorToRender(Sensor camera);
    void removeSensorFromRender(int idx);
    // Every sensor went at once (a new or a loaded project).
    void sensorsCleared();

private:
    // Per-sensor handlers; each finds the sensor's current row from its
    // top-level item.
    void deleteSensor(QTreeWidgetItem* top);
    void onReferenceSensorChanged(QTreeWidgetItem* top, int index);
    void importIntrinsics(QTreeWidgetItem* top);

    int rowOf(QTreeWidgetItem* top) const;
    QTreeWidgetItem* topItem(int idx) const;
    QTreeWidgetItem* valueRow(int idx, int child) const;
    QComboBox* referenceCombo(int idx) const;
    QString nextFreeName(int row) const;

    void showRelativePose(int i, int j);
    void writeSilently(QTreeWidgetItem* item, const QString& text);
    void writeIntrinsicsRows(int idx, const cv::Mat& K);
    void writeDistortionRows(int idx, const cv::Mat& kcRow);
    void onPoseEdited(int idx);
    void onDistortionEdited(int idx, int child, double value);

    void disconnectRowWidgets(QTreeWidgetItem* top);

    Ui::SensorTree* ui;
    std::vector<Sensor> sensors;
    QStandardItemModel* names; // the entries of every "Extrinsics wrt" box: the names in row order
    int bulkUpdates = 0;       // BulkUpdate objects alive
    bool viewWasShown = false; // the tree's view before the first of them
    bool viewHadFocus = false;
    QIcon trashIcon;
    QIcon openIcon;
};

Q_DECLARE_METATYPE(Sensor)
