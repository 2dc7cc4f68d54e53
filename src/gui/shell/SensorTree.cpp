#include "gui/shell/SensorTree.h"

#include "core/geometry/camera_checks.h"
#include "core/geometry/pose_helpers.h"
#include "core/io/intrinsics_file.h"
#include "ui_SensorTree.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QStyle>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QtDebug>

#include <cmath>
#include <exception>

namespace {

// Child rows of a sensor's top-level row.
enum ChildRow {
    kIntrinsics = 0,
    kFx = 1,
    kFy = 2,
    kCx = 3,
    kCy = 4,
    kFirstDistortion = 5, // k1 k2 k3 p1 p2 k4 k5 k6
    kLastDistortion = 12,
    kExtrinsics = 13,
    kTx = 14,
    kTy = 15,
    kTz = 16,
    kYaw = 17,
    kPitch = 18,
    kRoll = 19,
    kChildCount = 20
};

// Position in kc (OpenCV's order k1 k2 p1 p2 k3 k4 k5 k6) of each distortion row.
constexpr int kDistortionIndex[8] = {0, 1, 4, 2, 3, 5, 6, 7};

const char* const kDistortionLabels[8] = {"k1", "k2", "k3", "p1", "p2", "k4", "k5", "k6"};

// The text a row keeps while an edit is checked: the last accepted value.
constexpr int kAcceptedTextRole = Qt::UserRole;

QString number6(double v)
{
    return QString::number(v, 'f', 6);
}

bool isDistortionRow(int child)
{
    return child >= kFirstDistortion && child <= kLastDistortion;
}

bool isValueRow(int child)
{
    return (child >= kFx && child <= kLastDistortion) || (child >= kTx && child <= kRoll);
}

// A number as the rows accept it: finite, and positive for a focal length.
bool parseCell(const QString& text, int child, double& value)
{
    bool ok = false;
    value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return false;
    if ((child == kFx || child == kFy) && value <= 0.0)
        return false;
    return true;
}

bool allFinite(const cv::Mat& m)
{
    return cv::checkRange(m);
}

void splitRt(const cv::Mat& T, cv::Mat& R, cv::Mat& t)
{
    R = T(cv::Rect(0, 0, 3, 3)).clone();
    t = T(cv::Rect(3, 0, 1, 3)).clone();
}

} // namespace

SensorTree::SensorTree(QWidget* parent) : QWidget(parent), ui(new Ui::SensorTree)
{
    qRegisterMetaType<Sensor>("Sensor");
    ui->setupUi(this);
    trashIcon = style()->standardIcon(QStyle::SP_TrashIcon);
    openIcon = style()->standardIcon(QStyle::SP_DialogOpenButton);
    names = new QStandardItemModel(this);
    ui->treeWidget->setColumnCount(2);
    connect(ui->addComponentButton, &QPushButton::clicked, this, &SensorTree::addSensor);
    connect(ui->treeWidget, &QTreeWidget::itemChanged, this, &SensorTree::onItemChanged);
    ui->treeWidget->setColumnWidth(0, 120);
}

SensorTree::~SensorTree()
{
    // The rows' widgets die with the tree widget; none of them may reach
    // this half-destroyed object on the way.
    disconnect(ui->treeWidget, nullptr, this, nullptr);
    for (int i = 0; i < ui->treeWidget->topLevelItemCount(); ++i)
        disconnectRowWidgets(ui->treeWidget->topLevelItem(i));
    delete ui;
}

SensorTree::BulkUpdate::BulkUpdate(SensorTree& tree) : tree(tree)
{
    if (tree.bulkUpdates++ > 0)
        return;
    // A view on screen lays out every row and places every row widget after
    // each inserted row; off screen it only notes that a layout is due.
    QTreeWidget* view = tree.ui->treeWidget;
    tree.viewWasShown = !view->isHidden();
    tree.viewHadFocus = view->hasFocus();
    view->hide();
}

SensorTree::BulkUpdate::~BulkUpdate()
{
    if (--tree.bulkUpdates > 0)
        return;
    QTreeWidget* view = tree.ui->treeWidget;
    if (tree.viewWasShown)
        view->show();
    if (tree.viewHadFocus)
        view->setFocus();
}

// ---------------------------------------------------------------------------
// Rows and records
// ---------------------------------------------------------------------------

int SensorTree::rowOf(QTreeWidgetItem* top) const
{
    const int row = ui->treeWidget->indexOfTopLevelItem(top);
    return (row >= 0 && row < (int)sensors.size()) ? row : -1;
}

QTreeWidgetItem* SensorTree::topItem(int idx) const
{
    if (idx < 0 || idx >= ui->treeWidget->topLevelItemCount())
        return nullptr;
    return ui->treeWidget->topLevelItem(idx);
}

QTreeWidgetItem* SensorTree::valueRow(int idx, int child) const
{
    QTreeWidgetItem* top = topItem(idx);
    if (!top || child >= top->childCount())
        return nullptr;
    return top->child(child);
}

QComboBox* SensorTree::referenceCombo(int idx) const
{
    QTreeWidgetItem* row = valueRow(idx, kExtrinsics);
    return row ? qobject_cast<QComboBox*>(ui->treeWidget->itemWidget(row, 1)) : nullptr;
}

QString SensorTree::nextFreeName(int row) const
{
    for (int number = row;; ++number) {
        const std::string name = "Cam" + std::to_string(number);
        bool taken = false;
        for (const Sensor& s : sensors)
            taken = taken || s.name == name;
        if (!taken)
            return QString::fromStdString(name);
    }
}

void SensorTree::writeSilently(QTreeWidgetItem* item, const QString& text)
{
    const QSignalBlocker blocker(ui->treeWidget);
    item->setText(1, text);
    item->setData(1, kAcceptedTextRole, text);
}

std::vector<Sensor> SensorTree::getSensors() const
{
    // A deep copy: nothing done to it reaches the tree's records.
    std::vector<Sensor> copy = sensors;
    for (Sensor& s : copy) {
        s.K = s.K.clone();
        s.kc = s.kc.clone();
        s.R = s.R.clone();
        s.t = s.t.clone();
    }
    return copy;
}

cv::Size SensorTree::sensorImageSize(int idx) const
{
    return idx >= 0 && idx < (int)sensors.size() ? sensors[idx].imgSize : cv::Size(0, 0);
}

void SensorTree::getSensorNames(std::vector<QString>& names)
{
    names.clear();
    for (int i = 0; i < ui->treeWidget->topLevelItemCount(); ++i)
        names.push_back(ui->treeWidget->topLevelItem(i)->text(0));
}

// ---------------------------------------------------------------------------
// Adding, renaming, deleting
// ---------------------------------------------------------------------------

void SensorTree::addSensor()
{
    try {
        const int row = ui->treeWidget->topLevelItemCount();
        const QString name = nextFreeName(row);

        auto makeButton = [](const QIcon& icon, const QString& tip) {
            auto* button = new QPushButton(icon, QString());
            button->setFixedWidth(25);
            button->setToolTip(tip);
            button->setStyleSheet("QPushButton{background: transparent;}");
            return button;
        };
        QPushButton* deleteButton = makeButton(trashIcon, tr("Delete"));
        QPushButton* importButton = makeButton(openIcon, tr("Import Parameters"));

        auto* top = new QTreeWidgetItem();
        top->setText(0, name);
        top->setFlags(top->flags() | Qt::ItemIsEditable);
        ui->treeWidget->addTopLevelItem(top);
        ui->treeWidget->setItemWidget(top, 1, deleteButton);

        Sensor sensor;
        sensor.name = name.toStdString();
        sensor.R = cv::Mat::eye(3, 3, CV_64F);
        sensor.t = (cv::Mat_<double>(3, 1) << 0.0, 1000.0 * row, 0.0);
        sensors.push_back(sensor);
        emit addSensorToRender(sensors.back());

        auto addChild = [top](const QString& text, bool editable) {
            auto* child = new QTreeWidgetItem();
            child->setText(0, text);
            if (editable)
                child->setFlags(child->flags() | Qt::ItemIsEditable);
            top->addChild(child);
            return child;
        };
        auto setLabel = [this](QTreeWidgetItem* item, const QString& text) {
            auto* label = new QLabel(text);
            label->setContentsMargins(10, 0, 0, 0);
            ui->treeWidget->setItemWidget(item, 0, label);
        };

        QTreeWidgetItem* intrinsics = addChild(tr("Intrinsics"), false);
        ui->treeWidget->setItemWidget(intrinsics, 1, importButton);

        const QStringList intrinsicLabels = {"fx [px]", "fy [px]", "cx [px]", "cy [px]"};
        for (const QString& label : intrinsicLabels) {
            QTreeWidgetItem* item = addChild(QString(), true);
            setLabel(item, label);
            item->setHidden(true);
        }
        for (const char* label : kDistortionLabels) {
            QTreeWidgetItem* item = addChild(QString(), true);
            setLabel(item, label);
            item->setHidden(true);
        }

        // Every "Extrinsics wrt" box lists the names of one model, so a new
        // or renamed sensor is one change for all of them.
        QTreeWidgetItem* extrinsics = addChild(tr("Extrinsics wrt"), false);
        names->appendRow(new QStandardItem(name));
        auto* combo = new QComboBox();
        combo->setFixedWidth(100);
        combo->setModel(names);
        combo->setCurrentIndex(0);
        ui->treeWidget->setItemWidget(extrinsics, 1, combo);

        const QString degree = QString(QChar(0x00B0));
        const QStringList poseLabels = {"tx [mm]",
                                        "ty [mm]",
                                        "tz [mm]",
                                        QString("yaw [%1]").arg(degree),
                                        QString("pitch [%1]").arg(degree),
                                        QString("roll [%1]").arg(degree)};
        const double poseValues[6] = {0.0, 1000.0 * row, 0.0, 0.0, 0.0, 0.0};
        // The last write runs the pose handling, which places the sensor
        // relative to the first one.
        for (int k = 0; k < 6; ++k) {
            QTreeWidgetItem* item = addChild(QString(), true);
            setLabel(item, poseLabels[k]);
            item->setText(1, number6(poseValues[k]));
        }
        top->setExpanded(true);

        connect(deleteButton, &QPushButton::clicked, this, [this, top] { deleteSensor(top); });
        connect(importButton, &QPushButton::clicked, this, [this, top] { importIntrinsics(top); });
        connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                [this, top](int index) { onReferenceSensorChanged(top, index); });

        emit sensorNamesChanged();
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::addSensor:" << e.what();
    }
}

void SensorTree::setSensorName(int idx, QString name)
{
    QTreeWidgetItem* top = topItem(idx);
    if (!top || idx >= (int)sensors.size())
        return;
    top->setText(0, name);
    sensors[idx].name = top->text(0).toStdString();
}

void SensorTree::disconnectRowWidgets(QTreeWidgetItem* top)
{
    QList<QWidget*> widgets = {ui->treeWidget->itemWidget(top, 1)};
    if (top->childCount() > kExtrinsics) {
        widgets << ui->treeWidget->itemWidget(top->child(kIntrinsics), 1)
                << ui->treeWidget->itemWidget(top->child(kExtrinsics), 1);
    }
    for (QWidget* w : widgets)
        if (w)
            disconnect(w, nullptr, this, nullptr);
}

void SensorTree::clearSensors()
{
    // All rows go at once: taken out one by one, each would make the view
    // look through the widgets of every row.
    for (int i = 0; i < ui->treeWidget->topLevelItemCount(); ++i)
        disconnectRowWidgets(ui->treeWidget->topLevelItem(i));
    ui->treeWidget->clear();
    sensors.clear();
    // The boxes left are disconnected and go with their rows.
    names->removeRows(0, names->rowCount());
    emit sensorsCleared();
}

void SensorTree::deleteSensor(QTreeWidgetItem* top)
{
    try {
        const int f = rowOf(top);
        if (f < 0)
            return;
        disconnectRowWidgets(top);
        // The row's widgets go with the item; the view deletes them later,
        // so the button whose click runs this is still alive until we return.
        delete ui->treeWidget->takeTopLevelItem(f);
        const int n = ui->treeWidget->topLevelItemCount();

        if (f == 0 && n > 0) {
            // The next sensor becomes the reference. Records keep their old
            // positions here (the deleted one at 0), as does the 3D scene.
            const cv::Mat T_ref_1 = cal::invertRt4x4(cal::getRt4x4(sensors[1].R, sensors[1].t));
            for (int i = 2; i <= n; ++i) {
                splitRt(cal::getRt4x4(sensors[i].R, sensors[i].t) * T_ref_1, sensors[i].R, sensors[i].t);
                emit sensorExtrinsicsChanged(i, sensors[i].R, sensors[i].t);
            }
            sensors[1].R = cv::Mat::eye(3, 3, CV_64F);
            sensors[1].t = cv::Mat::zeros(3, 1, CV_64F);
            emit sensorExtrinsicsChanged(1, sensors[1].R, sensors[1].t);
        }

        sensors.erase(sensors.begin() + f);

        // A combo box whose chosen entry moves or goes reports its new index,
        // and its sensor is shown relative to the sensor now chosen.
        names->removeRow(f);

        emit removeSensorFromRender(f);
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::deleteSensor:" << e.what();
    }
}

// ---------------------------------------------------------------------------
// Poses
// ---------------------------------------------------------------------------

void SensorTree::showRelativePose(int i, int j)
{
    QTreeWidgetItem* top = topItem(i);
    if (!top || top->childCount() < kChildCount)
        return;
    double values[6] = {0, 0, 0, 0, 0, 0};
    if (i != j) {
        // Pose of i relative to j (x_i = R x_j + t), shown as its inverse.
        const cv::Mat T_i_j = cal::getRt4x4(sensors[i].R, sensors[i].t) *
                              cal::invertRt4x4(cal::getRt4x4(sensors[j].R, sensors[j].t));
        const cv::Mat T_j_i = cal::invertRt4x4(T_i_j);
        const cv::Point3d angles = rotationMatrixToEulerAngles(T_j_i(cv::Rect(0, 0, 3, 3)).clone());
        values[0] = T_j_i.at<double>(0, 3);
        values[1] = T_j_i.at<double>(1, 3);
        values[2] = T_j_i.at<double>(2, 3);
        values[3] = angles.x;
        values[4] = angles.y;
        values[5] = angles.z;
    }
    for (int k = 0; k < 6; ++k)
        writeSilently(top->child(kTx + k), number6(values[k]));
}

void SensorTree::onReferenceSensorChanged(QTreeWidgetItem* top, int index)
{
    try {
        const int idx = rowOf(top);
        if (idx < 0 || index < 0 || index >= (int)sensors.size())
            return;
        showRelativePose(idx, index);
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::onReferenceSensorChanged:" << e.what();
    }
}

void SensorTree::onPoseEdited(int idx)
{
    QTreeWidgetItem* top = topItem(idx);
    if (!top || top->childCount() < kChildCount)
        return;
    double v[6];
    for (int k = 0; k < 6; ++k)
        v[k] = top->child(kTx + k)->text(1).toDouble();

    // The rows show the chosen sensor's view of this one: position and
    // rotation of this sensor in the chosen sensor's frame.
    const cv::Mat R_w_s = eulerAnglesToRotationMatrix(cv::Point3d(v[3], v[4], v[5]));
    const cv::Mat t_w_s = (cv::Mat_<double>(3, 1) << v[0], v[1], v[2]);
    const cv::Mat T_s_w = cal::invertRt4x4(cal::getRt4x4(R_w_s, t_w_s));

    QComboBox* combo = referenceCombo(idx);
    const int w = combo ? combo->currentIndex() : -1;
    if (w < 0 || w >= (int)sensors.size())
        return;
    if (w == idx) {
        showRelativePose(idx, idx);
        return;
    }
    // Compose with the chosen sensor's own pose, whichever row it is in.
    splitRt(T_s_w * cal::getRt4x4(sensors[w].R, sensors[w].t), sensors[idx].R, sensors[idx].t);

    const QSignalBlocker blocker(ui->treeWidget);
    for (int i = 0; i < (int)sensors.size(); ++i) {
        QComboBox* other = referenceCombo(i);
        if (i != idx && other && other->currentIndex() == idx)
            showRelativePose(i, idx);
    }
    emit sensorExtrinsicsChanged(idx, sensors[idx].R, sensors[idx].t);
}

void SensorTree::updateExtrinsicsIdx(int idx1, int idx2, cv::Mat R, cv::Mat t)
{
    try {
        const int n = (int)sensors.size();
        if (idx1 == idx2 || R.empty() || t.empty() || idx1 < 0 || idx1 >= n || idx2 < 0 || idx2 >= n)
            return;
        if (R.rows != 3 || R.cols != 3 || R.channels() != 1 || t.total() != 3 || t.channels() != 1) {
            qWarning() << "SensorTree::updateExtrinsicsIdx: R must be 3x3 and t 3x1; ignored";
            return;
        }
        cv::Mat R_2_1, t_2_1;
        R.convertTo(R_2_1, CV_64F);
        t.reshape(1, 3).convertTo(t_2_1, CV_64F);
        if (!allFinite(R_2_1) || !allFinite(t_2_1)) {
            qWarning() << "SensorTree::updateExtrinsicsIdx: pose is not finite; ignored";
            return;
        }
        // T_2_ref = T_2_1 * T_1_ref, also when sensor 1 is the first row.
        splitRt(cal::getRt4x4(R_2_1, t_2_1) * cal::getRt4x4(sensors[idx1].R, sensors[idx1].t),
                sensors[idx2].R, sensors[idx2].t);

        const QSignalBlocker blocker(ui->treeWidget);
        QComboBox* combo = referenceCombo(idx2);
        const int w = combo ? combo->currentIndex() : -1;
        if (w >= 0 && w < n)
            showRelativePose(idx2, w);
        emit sensorExtrinsicsChanged(idx2, sensors[idx2].R, sensors[idx2].t);
        for (int i = 0; i < (int)sensors.size(); ++i) {
            QComboBox* other = referenceCombo(i);
            if (i != idx2 && other && other->currentIndex() == idx2)
                showRelativePose(i, idx2);
        }
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::updateExtrinsicsIdx:" << e.what();
    }
}

// ---------------------------------------------------------------------------
// Cell edits
// ---------------------------------------------------------------------------

void SensorTree::onItemChanged(QTreeWidgetItem* item, int column)
{
    try {
        if (!item)
            return;
        QTreeWidgetItem* parent = item->parent();
        if (!parent) {
            const int idx = rowOf(item);
            if (idx < 0)
                return;
            const QString name = item->text(0);
            if (name.trimmed().isEmpty()) {
                // A sensor without a name could not be named as a project's world.
                const QSignalBlocker blocker(ui->treeWidget);
                item->setText(0, QString::fromStdString(sensors[idx].name));
                return;
            }
            emit sensorNameChanged(idx, name.toStdString());
            emit sensorNamesChanged();
            sensors[idx].name = name.toStdString();
            if (QStandardItem* entry = names->item(idx))
                entry->setText(name);
            return;
        }

        if (column != 1)
            return;
        const int idx = rowOf(parent);
        const int child = parent->indexOfChild(item);
        if (idx < 0 || !isValueRow(child))
            return;

        const QString text = item->text(1);
        double value = 0.0;
        if (!parseCell(text, child, value)) {
            writeSilently(item, item->data(1, kAcceptedTextRole).toString());
            return;
        }
        {
            const QSignalBlocker blocker(ui->treeWidget);
            item->setData(1, kAcceptedTextRole, text);
        }

        if (child >= kFx && child <= kCy) {
            for (int r = kFx; r <= kCy; ++r)
                if (parent->child(r)->isHidden())
                    return;
            cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
            K.at<double>(0, 0) = parent->child(kFx)->text(1).toDouble();
            K.at<double>(1, 1) = parent->child(kFy)->text(1).toDouble();
            K.at<double>(0, 2) = parent->child(kCx)->text(1).toDouble();
            K.at<double>(1, 2) = parent->child(kCy)->text(1).toDouble();
            sensors[idx].K = K;
            emit sensorIntrinsicsChanged(idx, sensors[idx].K);
        } else if (isDistortionRow(child)) {
            onDistortionEdited(idx, child, value);
        } else {
            onPoseEdited(idx);
        }
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::onItemChanged:" << e.what();
    }
}

void SensorTree::onDistortionEdited(int idx, int child, double value)
{
    // The record follows an edited coefficient, so that what the dialogs are
    // told and what a project stores agree; further coefficients are kept.
    const int k = kDistortionIndex[child - kFirstDistortion];
    const cv::Mat old = checkedDistortionRow(sensors[idx].kc);
    const int length = std::max<int>((int)old.total(), k < 5 ? 5 : 8);
    cv::Mat kc = cv::Mat::zeros(1, length, CV_64F);
    if (!old.empty())
        old.copyTo(kc(cv::Rect(0, 0, (int)old.total(), 1)));
    kc.at<double>(0, k) = value;
    sensors[idx].kc = kc;
}

// ---------------------------------------------------------------------------
// Intrinsics: queries, updates, import
// ---------------------------------------------------------------------------

void SensorTree::getIntrinsicsIdx(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize)
{
    K = cv::Mat();
    kc = cv::Mat();
    imgSize = cv::Size(0, 0);
    QTreeWidgetItem* top = topItem(idx);
    if (!top || idx >= (int)sensors.size() || top->childCount() <= kLastDistortion)
        return;

    bool intrinsicsShown = true;
    for (int r = kFx; r <= kCy; ++r)
        intrinsicsShown = intrinsicsShown && !top->child(r)->isHidden();
    if (intrinsicsShown) {
        cv::Mat Kq = cv::Mat::eye(3, 3, CV_64F);
        Kq.at<double>(0, 0) = top->child(kFx)->text(1).toDouble();
        Kq.at<double>(1, 1) = top->child(kFy)->text(1).toDouble();
        Kq.at<double>(0, 2) = top->child(kCx)->text(1).toDouble();
        Kq.at<double>(1, 2) = top->child(kCy)->text(1).toDouble();
        K = Kq;
    }
    imgSize = sensors[idx].imgSize;

    bool anyShown = false, highShown = false;
    for (int r = kFirstDistortion; r <= kLastDistortion; ++r) {
        const bool shown = !top->child(r)->isHidden();
        anyShown = anyShown || shown;
        highShown = highShown || (shown && kDistortionIndex[r - kFirstDistortion] >= 5);
    }
    // Models of more than eight coefficients reach the dialogs whole: the
    // rows give the first eight, the record the rest.
    const cv::Mat stored = checkedDistortionRow(sensors[idx].kc);
    const int extra = stored.total() > 8 ? (int)stored.total() : 0;
    if (!anyShown && extra == 0)
        return;
    cv::Mat kq = cv::Mat::zeros(1, extra ? extra : (highShown ? 8 : 5), CV_64F);
    for (int r = kFirstDistortion; r <= kLastDistortion; ++r)
        if (!top->child(r)->isHidden())
            kq.at<double>(0, kDistortionIndex[r - kFirstDistortion]) = top->child(r)->text(1).toDouble();
    for (int k = 8; k < extra; ++k)
        kq.at<double>(0, k) = stored.at<double>(0, k);
    kc = kq;
}

void SensorTree::writeIntrinsicsRows(int idx, const cv::Mat& K)
{
    // Not blocked: each changed row runs onItemChanged, which rebuilds K from
    // the rows once all four are shown and announces it.
    const int rows[4] = {kFx, kFy, kCx, kCy};
    const double values[4] = {K.at<double>(0, 0), K.at<double>(1, 1), K.at<double>(0, 2), K.at<double>(1, 2)};
    for (int k = 0; k < 4; ++k) {
        QTreeWidgetItem* item = valueRow(idx, rows[k]);
        if (!item)
            return;
        item->setHidden(false);
        item->setText(1, number6(values[k]));
    }
}

void SensorTree::writeDistortionRows(int idx, const cv::Mat& kcRow)
{
    // Rows of coefficients that kc does not have are cleared; rows that read
    // zero are hidden.
    for (int r = kFirstDistortion; r <= kLastDistortion; ++r) {
        QTreeWidgetItem* item = valueRow(idx, r);
        if (!item)
            return;
        const int k = kDistortionIndex[r - kFirstDistortion];
        if (k < (int)kcRow.total()) {
            const double v = kcRow.at<double>(0, k);
            const QString text = number6(v);
            writeSilently(item, text);
            item->setHidden(text == "0.000000" || text == "-0.000000");
        } else {
            writeSilently(item, QString());
            item->setHidden(true);
        }
    }
}

void SensorTree::updateIntrinsicsIdx(int idx, cv::Mat K, cv::Mat kc, cv::Size imgSize)
{
    try {
        if (K.empty())
            return;
        const cv::Mat K64 = checkedCameraMatrix(K);
        const cv::Mat kcRow = checkedDistortionRow(kc);
        if (K64.empty() || (!kc.empty() && kcRow.empty())) {
            qWarning() << "SensorTree::updateIntrinsicsIdx: malformed K or kc; ignored";
            return;
        }
        if (idx >= 0 && idx < (int)sensors.size() && idx < ui->treeWidget->topLevelItemCount()) {
            sensors[idx].K = K64.clone();
            if (!kc.empty()) {
                cv::Mat kc64;
                kc.convertTo(kc64, CV_64F);
                sensors[idx].kc = kc64.clone();
            }
            if (imgSize.width > 0 && imgSize.height > 0)
                sensors[idx].imgSize = imgSize;

            writeIntrinsicsRows(idx, K64);
            if (kcRow.empty()) {
                for (int r = kFirstDistortion; r <= kLastDistortion; ++r)
                    if (QTreeWidgetItem* item = valueRow(idx, r))
                        item->setHidden(true);
            } else {
                writeDistortionRows(idx, kcRow);
            }
        }
        ui->treeWidget->viewport()->update();
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::updateIntrinsicsIdx:" << e.what();
    }
}

void SensorTree::importIntrinsics(QTreeWidgetItem* top)
{
    try {
        const QString fileName =
            QFileDialog::getOpenFileName(this, tr("Open calibration"), QString(), tr("Calibration (*.yml)"));
        if (fileName.isEmpty())
            return;
        const int idx = rowOf(top);
        if (idx >= 0)
            importIntrinsicsFile(idx, fileName);
    } catch (const std::exception& e) {
        qCritical() << "SensorTree::importIntrinsics:" << e.what();
    }
}

bool SensorTree::importIntrinsicsFile(int idx, const QString& fileName)
{
    if (idx < 0 || idx >= (int)sensors.size() || !topItem(idx))
        return false;

    auto refuse = [&](const QString& reason) {
        QString text = tr("Can't open the %1").arg(fileName);
        if (!reason.isEmpty())
            text += "\n" + reason;
        QMessageBox::critical(this, tr("Error"), text, QMessageBox::Ok);
        return false;
    };

    // Everything is read and checked before the sensor is touched.
    IntrinsicsData data;
    QString error;
    switch (readIntrinsicsFile(fileName, data, error)) {
    case IntrinsicsFileStatus::Ok:
        break;
    case IntrinsicsFileStatus::CannotOpen:
        return refuse(QString());
    case IntrinsicsFileStatus::NoKeys:
        return refuse(error);
    case IntrinsicsFileStatus::BadCameraMatrix:
        return refuse(tr("\"K\" is not a 3x3 camera matrix with positive focal lengths."));
    case IntrinsicsFileStatus::BadDistortion:
        return refuse(tr("\"kc\" is not one row of 4, 5, 8, 12 or 14 coefficients."));
    default:
        return refuse(error);
    }
    const cv::Mat& K = data.K;
    const cv::Mat& kcRow = data.kc;
    const cv::Size imgSize = data.imageSize;

    if (imgSize.width > 0 && imgSize.height > 0)
        sensors[idx].imgSize = imgSize;
    if (!K.empty()) {
        writeIntrinsicsRows(idx, K);
        sensors[idx].K = K.clone();
    }
    if (!kcRow.empty()) {
        writeDistortionRows(idx, kcRow);
        sensors[idx].kc = kcRow.clone();
    }
    ui->treeWidget->viewport()->update();
    return true;
}
