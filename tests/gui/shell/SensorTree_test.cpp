// The sensor tree driven as a user and the dialogs drive it: real widgets, the
// signals it emits in their exact order, poses through the rows against
// rotations built here by hand, the dialog queries and updates, and the
// import of intrinsics files, good and bad.
#include "gui/shell/SensorTree.h"
#include "screenshots.h"

#include "test_helpers.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::string)

namespace {

// Child rows of a sensor, as the user sees them.
enum {
    kFx = 1,
    kFy,
    kCx,
    kCy,
    kK1,
    kK2,
    kK3,
    kP1,
    kP2,
    kK4,
    kK5,
    kK6,
    kWrt = 13,
    kTx,
    kTy,
    kTz,
    kYaw,
    kPitch,
    kRoll
};

// ---- ground truth built independently of the program's pose helpers ----

cv::Mat rotZ(double deg)
{
    const double a = deg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
    return (cv::Mat_<double>(3, 3) << c, -s, 0, s, c, 0, 0, 0, 1);
}
cv::Mat rotY(double deg)
{
    const double a = deg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
    return (cv::Mat_<double>(3, 3) << c, 0, s, 0, 1, 0, -s, 0, c);
}
cv::Mat rotX(double deg)
{
    const double a = deg * CV_PI / 180, c = std::cos(a), s = std::sin(a);
    return (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, c, -s, 0, s, c);
}

// What a sensor's pose rows show of a relative pose x_s = R x_w + t: its
// position p in the chosen sensor's frame and the angles of R = Rz Ry Rx.
struct ShownPose {
    double x, y, z, yaw, pitch, roll;
    cv::Mat R() const { return rotZ(yaw) * rotY(pitch) * rotX(roll); }
    cv::Mat p() const { return (cv::Mat_<double>(3, 1) << x, y, z); }
    cv::Mat t() const { return -R() * p(); }
};

cv::Mat rt4(const cv::Mat& R, const cv::Mat& t)
{
    cv::Mat T = cv::Mat::eye(4, 4, CV_64F);
    R.copyTo(T(cv::Rect(0, 0, 3, 3)));
    t.copyTo(T(cv::Rect(3, 0, 1, 3)));
    return T;
}

// Pose of sensor b relative to sensor a from their records: T_b * T_a^-1.
cv::Mat relative(const Sensor& b, const Sensor& a)
{
    return rt4(b.R, b.t) * rt4(a.R, a.t).inv();
}

cv::Mat cameraMatrix(double fx, double fy, double cx, double cy)
{
    return (cv::Mat_<double>(3, 3) << fx, 0, cx, 0, fy, cy, 0, 0, 1);
}

// ---- every signal of the tree, in order ----

struct Recorder {
    struct Event {
        std::string text;
        int idx;
        cv::Mat a, b;
    };
    std::vector<Event> events;
    QObject context; // the connections end with the recorder

    explicit Recorder(SensorTree& tree)
    {
        QObject::connect(&tree, &SensorTree::addSensorToRender, &context, [this](Sensor s) {
            events.push_back({"add " + s.name, -1, s.R.clone(), s.t.clone()});
        });
        QObject::connect(&tree, &SensorTree::sensorNamesChanged, &context, [this] {
            events.push_back({"names", -1, {}, {}});
        });
        QObject::connect(&tree, &SensorTree::sensorNameChanged, &context, [this](int idx, std::string name) {
            events.push_back({"name " + std::to_string(idx) + " " + name, idx, {}, {}});
        });
        QObject::connect(&tree, &SensorTree::sensorIntrinsicsChanged, &context, [this](int idx, cv::Mat& K) {
            events.push_back({"intr " + std::to_string(idx), idx, K.clone(), {}});
        });
        QObject::connect(&tree, &SensorTree::sensorExtrinsicsChanged, &context,
                         [this](int idx, cv::Mat& R, cv::Mat& t) {
                             events.push_back({"ext " + std::to_string(idx), idx, R.clone(), t.clone()});
                         });
        QObject::connect(&tree, &SensorTree::removeSensorFromRender, &context, [this](int idx) {
            events.push_back({"remove " + std::to_string(idx), idx, {}, {}});
        });
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const Event& e : events)
            out.push_back(e.text);
        return out;
    }
    void clear() { events.clear(); }
};

using Texts = std::vector<std::string>;

// Runs handler on the next modal window (message box or file dialog) that
// opens while a blocking call is running.
class ModalHandler {
public:
    explicit ModalHandler(std::function<void(QWidget*)> handler) : handler_(std::move(handler))
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal && !handled_) {
                handled_ = true;
                timer_.stop();
                handler_(modal);
            }
        });
        timer_.start(10);
    }
    bool handled() const { return handled_; }

private:
    std::function<void(QWidget*)> handler_;
    QTimer timer_;
    bool handled_ = false;
};

struct Message {
    QString title, text;
    bool shown = false;
};

// Closes the next message box with Ok and tells what it said.
std::unique_ptr<ModalHandler> closeMessageBox(Message& message, const QString& screenshot = QString())
{
    return std::make_unique<ModalHandler>([&message, screenshot](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return;
        message.shown = true;
        message.title = box->windowTitle();
        message.text = box->text();
        if (!screenshot.isEmpty())
            box->grab().save(screenshot);
        box->button(QMessageBox::Ok)->click();
    });
}

class SensorTreeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qRegisterMetaType<std::string>("std::string");
        tree.resize(320, 640);
        tree.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    }

    QTreeWidget* view() const { return tree.findChild<QTreeWidget*>("treeWidget"); }
    QTreeWidgetItem* top(int idx) const { return view()->topLevelItem(idx); }
    QTreeWidgetItem* row(int idx, int child) const { return top(idx)->child(child); }
    QString cell(int idx, int child) const { return row(idx, child)->text(1); }
    bool shown(int idx, int child) const { return !row(idx, child)->isHidden(); }
    QComboBox* wrt(int idx) const { return qobject_cast<QComboBox*>(view()->itemWidget(row(idx, kWrt), 1)); }
    QPushButton* deleteButton(int idx) const
    {
        return qobject_cast<QPushButton*>(view()->itemWidget(top(idx), 1));
    }
    QPushButton* importButton(int idx) const
    {
        return qobject_cast<QPushButton*>(view()->itemWidget(row(idx, 0), 1));
    }
    QStringList comboEntries(int idx) const
    {
        QStringList out;
        for (int i = 0; i < wrt(idx)->count(); ++i)
            out << wrt(idx)->itemText(i);
        return out;
    }
    // Opens the item editor of a value cell, as a double click does.
    QLineEdit* openEditor(int idx, int child)
    {
        view()->editItem(row(idx, child), 1);
        for (QLineEdit* e : view()->viewport()->findChildren<QLineEdit*>())
            if (e->isVisible())
                return e;
        return nullptr;
    }
    // Types a value into a cell, as the item editor commits it.
    void type(int idx, int child, const QString& text) { row(idx, child)->setText(1, text); }
    void typePose(int idx, const ShownPose& p)
    {
        const double v[6] = {p.x, p.y, p.z, p.yaw, p.pitch, p.roll};
        for (int k = 0; k < 6; ++k)
            type(idx, kTx + k, QString::number(v[k], 'f', 6));
    }
    void expectRowsShow(int idx, const ShownPose& p, double tol = 1e-6)
    {
        const double v[6] = {p.x, p.y, p.z, p.yaw, p.pitch, p.roll};
        for (int k = 0; k < 6; ++k) {
            SCOPED_TRACE("pose row " + std::to_string(kTx + k));
            bool ok = false;
            EXPECT_NEAR(cell(idx, kTx + k).toDouble(&ok), v[k], tol);
            EXPECT_TRUE(ok);
        }
    }
    void expectZeroPose(int idx)
    {
        for (int k = kTx; k <= kRoll; ++k)
            EXPECT_EQ(cell(idx, k), "0.000000") << "row " << k;
    }
    void addSensors(int n)
    {
        for (int i = 0; i < n; ++i)
            tree.addSensor();
    }
    // Everything a user or a dialog can see of the tree.
    struct Snapshot {
        std::vector<QStringList> cells;
        std::vector<std::vector<bool>> hidden;
        std::vector<Sensor> sensors;
    };
    Snapshot snapshot() const
    {
        Snapshot s;
        s.sensors = tree.getSensors();
        for (int i = 0; i < view()->topLevelItemCount(); ++i) {
            QStringList cells{top(i)->text(0)};
            std::vector<bool> hidden;
            for (int c = 0; c < top(i)->childCount(); ++c) {
                cells << row(i, c)->text(1);
                hidden.push_back(row(i, c)->isHidden());
            }
            s.cells.push_back(cells);
            s.hidden.push_back(hidden);
        }
        return s;
    }
    static void expectSameRecords(const std::vector<Sensor>& a, const std::vector<Sensor>& b)
    {
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            SCOPED_TRACE("sensor " + std::to_string(i));
            EXPECT_EQ(a[i].name, b[i].name);
            EXPECT_EQ(a[i].imgSize, b[i].imgSize);
            const std::initializer_list<std::pair<cv::Mat, cv::Mat>> pairs = {
                {a[i].K, b[i].K}, {a[i].kc, b[i].kc}, {a[i].R, b[i].R}, {a[i].t, b[i].t}};
            for (const auto& [x, y] : pairs) {
                ASSERT_EQ(x.rows, y.rows);
                ASSERT_EQ(x.cols, y.cols);
                EXPECT_MAT_NEAR(x, y, 0.0);
            }
        }
    }
    void expectUnchanged(const Snapshot& before) const
    {
        const Snapshot after = snapshot();
        EXPECT_EQ(after.cells, before.cells);
        EXPECT_EQ(after.hidden, before.hidden);
        expectSameRecords(after.sensors, before.sensors);
    }

    SensorTree tree;
};

// ---------------------------------------------------------------------------
// Adding sensors
// ---------------------------------------------------------------------------

TEST_F(SensorTreeTest, FirstSensorFromTheAddButtonIsCam0AtTheOrigin)
{
    Recorder rec(tree);
    QSignalSpy added(&tree, &SensorTree::addSensorToRender);
    QSignalSpy names(&tree, &SensorTree::sensorNamesChanged);

    QTest::mouseClick(tree.findChild<QPushButton*>("addComponentButton"), Qt::LeftButton);

    EXPECT_EQ(rec.texts(), (Texts{"add Cam0", "names"}));
    ASSERT_EQ(added.count(), 1);
    EXPECT_EQ(qvariant_cast<Sensor>(added[0][0]).name, "Cam0");
    EXPECT_EQ(names.count(), 1);

    ASSERT_EQ(view()->topLevelItemCount(), 1);
    EXPECT_EQ(top(0)->text(0), "Cam0");
    EXPECT_EQ(top(0)->childCount(), 20);
    const std::vector<Sensor> s = tree.getSensors();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].name, "Cam0");
    EXPECT_MAT_NEAR(s[0].R, cv::Mat::eye(3, 3, CV_64F), 0.0);
    EXPECT_MAT_NEAR(s[0].t, cv::Mat::zeros(3, 1, CV_64F), 0.0);
    EXPECT_TRUE(s[0].K.empty());
    EXPECT_TRUE(s[0].kc.empty());
    EXPECT_EQ(s[0].imgSize, cv::Size(0, 0));

    EXPECT_EQ(comboEntries(0), QStringList{"Cam0"});
    EXPECT_EQ(wrt(0)->currentIndex(), 0);
    expectZeroPose(0);
    for (int c = kFx; c <= kK6; ++c)
        EXPECT_FALSE(shown(0, c)) << "row " << c;
    for (int c = kTx; c <= kRoll; ++c)
        EXPECT_TRUE(shown(0, c)) << "row " << c;
    EXPECT_EQ(row(0, 0)->text(0), "Intrinsics");
    EXPECT_EQ(row(0, kWrt)->text(0), "Extrinsics wrt");
    EXPECT_EQ(qobject_cast<QLabel*>(view()->itemWidget(row(0, kYaw), 0))->text(), QString("yaw [\u00B0]"));
    EXPECT_EQ(deleteButton(0)->toolTip(), "Delete");
    EXPECT_EQ(importButton(0)->toolTip(), "Import Parameters");
}

TEST_F(SensorTreeTest, FurtherSensorsStandAlongYOfTheFirst)
{
    tree.addSensor();
    Recorder rec(tree);

    tree.addSensor();
    EXPECT_EQ(rec.texts(), (Texts{"add Cam1", "ext 1", "names"}));
    EXPECT_MAT_NEAR(rec.events[1].a, cv::Mat::eye(3, 3, CV_64F), 0.0);
    EXPECT_MAT_NEAR(rec.events[1].b, (cv::Mat_<double>(3, 1) << 0, -1000, 0), 0.0);
    expectRowsShow(1, {0, 1000, 0, 0, 0, 0}, 0.0);
    EXPECT_EQ(cell(1, kTy), "1000.000000");
    EXPECT_EQ(comboEntries(0), (QStringList{"Cam0", "Cam1"}));
    EXPECT_EQ(comboEntries(1), (QStringList{"Cam0", "Cam1"}));
    EXPECT_EQ(wrt(0)->currentIndex(), 0);
    EXPECT_EQ(wrt(1)->currentIndex(), 0);

    rec.clear();
    tree.addSensor();
    EXPECT_EQ(rec.texts(), (Texts{"add Cam2", "ext 2", "names"}));
    EXPECT_EQ(cell(2, kTy), "2000.000000");
    expectRowsShow(1, {0, 1000, 0, 0, 0, 0}, 0.0);
    const std::vector<Sensor> s = tree.getSensors();
    EXPECT_MAT_NEAR(s[2].t, (cv::Mat_<double>(3, 1) << 0, -2000, 0), 0.0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(comboEntries(i), (QStringList{"Cam0", "Cam1", "Cam2"}));
}

// A new sensor never takes a name that is in use, so a project's world
// reference stays unambiguous.
TEST_F(SensorTreeTest, NewSensorGetsTheNextFreeName)
{
    struct Case {
        const char* what;
        std::function<void(SensorTree&, QPushButton* deleteCam1)> before;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"Cam1 deleted from Cam0..Cam2", [](SensorTree&, QPushButton* del) { del->click(); }, "Cam3"},
        {"Cam0 renamed Cam3", [](SensorTree& t, QPushButton*) { t.setSensorName(0, "Cam3"); }, "Cam4"},
        {"nothing taken", [](SensorTree&, QPushButton*) {}, "Cam3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree.clearSensors();
        addSensors(3);
        c.before(tree, deleteButton(1));
        tree.addSensor();
        std::vector<QString> names;
        tree.getSensorNames(names);
        EXPECT_EQ(names.back().toStdString(), c.expected);
        EXPECT_EQ(tree.getSensors().back().name, c.expected);
    }
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

TEST_F(SensorTreeTest, RenameUpdatesRecordCombosAndAnnouncesInOrder)
{
    addSensors(3);
    Recorder rec(tree);
    QSignalSpy nameSpy(&tree, &SensorTree::sensorNameChanged);

    tree.setSensorName(1, "Left");
    EXPECT_EQ(rec.texts(), (Texts{"name 1 Left", "names"}));
    ASSERT_EQ(nameSpy.count(), 1);
    EXPECT_EQ(nameSpy[0][0].toInt(), 1);
    EXPECT_EQ(qvariant_cast<std::string>(nameSpy[0][1]), "Left");
    EXPECT_EQ(tree.getSensors()[1].name, "Left");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(comboEntries(i), (QStringList{"Cam0", "Left", "Cam2"}));

    // The user's own edit of the name cell takes the same way.
    rec.clear();
    top(2)->setText(0, "Projector");
    EXPECT_EQ(rec.texts(), (Texts{"name 2 Projector", "names"}));
    std::vector<QString> names{"stale"};
    tree.getSensorNames(names);
    EXPECT_EQ(names, (std::vector<QString>{"Cam0", "Left", "Projector"}));

    // Out of range, or an empty name (a project could not name it as its
    // world): nothing changes.
    rec.clear();
    tree.setSensorName(3, "Nobody");
    tree.setSensorName(-1, "Nobody");
    tree.setSensorName(1, "");
    top(2)->setText(0, "  ");
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(top(1)->text(0), "Left");
    EXPECT_EQ(top(2)->text(0), "Projector");
    EXPECT_EQ(tree.getSensors()[1].name, "Left");
    EXPECT_EQ(tree.getSensors()[2].name, "Projector");
    EXPECT_EQ(comboEntries(0), (QStringList{"Cam0", "Left", "Projector"}));
}

// Names and values open an editor; labels and button cells do not.
TEST_F(SensorTreeTest, OnlyNamesAndValuesAreEditable)
{
    addSensors(1);
    tree.updateIntrinsicsIdx(0, cameraMatrix(900, 910, 320, 240), cv::Mat(), cv::Size(640, 480));
    struct Case {
        const char* what;
        QTreeWidgetItem* item;
        int column;
        bool editable;
    };
    const std::vector<Case> cases = {
        {"name", top(0), 0, true},
        {"delete button cell", top(0), 1, false},
        {"fx value", row(0, kFx), 1, true},
        {"fx label", row(0, kFx), 0, false},
        {"yaw value", row(0, kYaw), 1, true},
        {"yaw label", row(0, kYaw), 0, false},
        {"Intrinsics", row(0, 0), 1, false},
        {"Extrinsics wrt", row(0, kWrt), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        view()->editItem(c.item, c.column);
        QLineEdit* editor = nullptr;
        for (QLineEdit* e : view()->viewport()->findChildren<QLineEdit*>())
            if (e->isVisible())
                editor = e;
        EXPECT_EQ(editor != nullptr, c.editable);
        if (editor) {
            QTest::keyClick(editor, Qt::Key_Escape);
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
}

// ---------------------------------------------------------------------------
// Cell edits
// ---------------------------------------------------------------------------

TEST_F(SensorTreeTest, IntrinsicsEditsCountOnlyOnceAllFourRowsAreShown)
{
    addSensors(1);
    Recorder rec(tree);
    type(0, kFx, "800");
    EXPECT_TRUE(rec.events.empty());
    EXPECT_TRUE(tree.getSensors()[0].K.empty());

    tree.updateIntrinsicsIdx(0, cameraMatrix(900, 910, 320, 240), cv::Mat(), cv::Size(640, 480));
    rec.clear();
    type(0, kCx, "321.25");
    ASSERT_EQ(rec.texts(), Texts{"intr 0"});
    EXPECT_MAT_NEAR(rec.events[0].a, cameraMatrix(900, 910, 321.25, 240), 0.0);
    EXPECT_MAT_NEAR(tree.getSensors()[0].K, cameraMatrix(900, 910, 321.25, 240), 0.0);
}

// A cell edit that is not a number, or a focal length that is not positive,
// is refused: the previous text comes back and nothing else happens.
TEST_F(SensorTreeTest, InvalidCellEditIsRefusedAndRestored)
{
    addSensors(2);
    tree.updateIntrinsicsIdx(1, cameraMatrix(900, 910, 320, 240),
                             (cv::Mat_<double>(1, 5) << -0.2, 0.1, 0.01, 0.02, 0.03), cv::Size(640, 480));
    tree.updateExtrinsicsIdx(0, 1, rotZ(20) * rotX(-10), (cv::Mat_<double>(3, 1) << 15, -30, 400));

    struct Case {
        int child;
        const char* text;
    };
    const std::vector<Case> cases = {
        {kFx, "abc"},  {kFx, "0"},    {kFx, "-5"},     {kFy, "-0.1"},    {kCx, ""},
        {kCy, "12,5"}, {kK1, "x"},    {kP2, "nan"},    {kTx, "1e"},      {kTy, "inf"},
        {kTz, " "},    {kYaw, "ten"}, {kPitch, "--3"}, {kRoll, "1.2.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(c.child) + " text '" + c.text + "'");
        const Snapshot before = snapshot();
        Recorder rec(tree);
        type(1, c.child, c.text);
        EXPECT_TRUE(rec.events.empty());
        expectUnchanged(before);
    }

    // Through the real item editor, as a user types and presses Enter.
    const Snapshot before = snapshot();
    Recorder rec(tree);
    int commits = 0;
    QObject::connect(view(), &QTreeWidget::itemChanged, &rec.context, [&] { ++commits; });
    QLineEdit* editor = openEditor(1, kFy);
    ASSERT_NE(editor, nullptr);
    editor->setText("fast");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents(); // the delegate commits in a queued call
    EXPECT_EQ(commits, 1);
    EXPECT_TRUE(rec.events.empty());
    expectUnchanged(before);
    EXPECT_EQ(cell(1, kFy), "910.000000");

    // A good value is still taken afterwards.
    editor = openEditor(1, kFy);
    ASSERT_NE(editor, nullptr);
    editor->setText("915.5");
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents(); // the delegate commits in a queued call
    EXPECT_EQ(rec.texts(), Texts{"intr 1"});
    EXPECT_DOUBLE_EQ(tree.getSensors()[1].K.at<double>(1, 1), 915.5);
}

TEST_F(SensorTreeTest, DistortionEditReachesQueryAndRecord)
{
    addSensors(1);
    const cv::Mat kc14 =
        (cv::Mat_<double>(1, 14) << -0.2, 0.1, 0.01, 0.02, 0.03, 0.4, 0.5, 0.6, 1, 2, 3, 4, 5, 6);
    tree.updateIntrinsicsIdx(0, cameraMatrix(900, 910, 320, 240), kc14, cv::Size(640, 480));
    Recorder rec(tree);
    type(0, kK3, "0.125");
    EXPECT_TRUE(rec.events.empty());
    cv::Mat expected = kc14.clone();
    expected.at<double>(0, 4) = 0.125;
    EXPECT_MAT_NEAR(tree.getSensors()[0].kc, expected, 0.0);
    cv::Mat K, kc;
    cv::Size size;
    tree.getIntrinsicsIdx(0, K, kc, size);
    EXPECT_MAT_NEAR(kc, expected, 0.0);
}

// ---------------------------------------------------------------------------
// Poses through the rows
// ---------------------------------------------------------------------------

TEST_F(SensorTreeTest, PoseRowsRoundTripNonTrivialRotations)
{
    const std::vector<ShownPose> poses = {
        {100, 0, 0, 0, 0, 0},        {120.5, -340.25, 910, 30, 0, 0},
        {-55, 12, 300, 35, -20, 50}, {0.5, 250, -75, -150, 60, -120},
        {10, 20, 30, 80, 89, 170},
    };
    addSensors(2);
    for (const ShownPose& p : poses) {
        SCOPED_TRACE(::testing::Message() << "yaw " << p.yaw << " pitch " << p.pitch << " roll " << p.roll);

        // Rows typed by the user become the record x_1 = R x_0 + t.
        Recorder rec(tree);
        typePose(1, p);
        ASSERT_FALSE(rec.events.empty());
        EXPECT_EQ(rec.texts().back(), "ext 1");
        const Sensor s1 = tree.getSensors()[1];
        EXPECT_POSE_NEAR(s1.R, s1.t, p.R(), p.t(), 1e-5, 1e-4);
        EXPECT_POSE_NEAR(rec.events.back().a, rec.events.back().b, p.R(), p.t(), 1e-5, 1e-4);

        // A dialog's update of the same pose shows the same rows.
        tree.updateExtrinsicsIdx(0, 1, rotZ(1), cv::Mat::zeros(3, 1, CV_64F)); // disturb, then restore
        tree.updateExtrinsicsIdx(0, 1, p.R(), p.t());
        expectRowsShow(1, p, 2e-6);
    }
}

TEST_F(SensorTreeTest, ExtrinsicsUpdateFromFirstSensor)
{
    addSensors(2);
    const ShownPose p{-55, 12, 300, 35, -20, 50};
    Recorder rec(tree);
    tree.updateExtrinsicsIdx(0, 1, p.R(), p.t());
    ASSERT_EQ(rec.texts(), Texts{"ext 1"});
    EXPECT_MAT_NEAR(rec.events[0].a, p.R(), 1e-12);
    EXPECT_MAT_NEAR(rec.events[0].b, p.t(), 1e-9);
    expectRowsShow(1, p);
}

// Whatever the reference sensor's own pose is, a pose given relative to it
// (typed, pushed by a dialog, or of a new sensor) is relative to it.
TEST_F(SensorTreeTest, PosesComposeWithTheReferenceSensorAlsoRowZero)
{
    const ShownPose cam0From1{200, -50, 30, 40, 10, -25};
    const ShownPose wanted{-80, 300, 900, -60, 25, 15};
    struct Case {
        const char* what;
        std::function<void()> write;
        int sensor;
        ShownPose expected;
    };
    const std::vector<Case> cases = {
        {"typed relative to row 0", [&] { typePose(2, wanted); }, 2, wanted},
        {"dialog update relative to row 0", [&] { tree.updateExtrinsicsIdx(0, 2, wanted.R(), wanted.t()); },
         2, wanted},
        {"new sensor", [&] { tree.addSensor(); }, 3, {0, 3000, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree.clearSensors();
        addSensors(3);
        // Sensor 0 moves away from the identity: it is given relative to sensor 1.
        tree.updateExtrinsicsIdx(1, 0, cam0From1.R(), cam0From1.t());
        ASSERT_GT(cv::norm(tree.getSensors()[0].t), 1.0);

        c.write();
        const std::vector<Sensor> s = tree.getSensors();
        const cv::Mat T = relative(s[c.sensor], s[0]);
        EXPECT_POSE_NEAR(T(cv::Rect(0, 0, 3, 3)), T(cv::Rect(3, 0, 1, 3)), c.expected.R(), c.expected.t(),
                         1e-5, 1e-4);
        expectRowsShow(c.sensor, c.expected, 2e-6);
    }
}

TEST_F(SensorTreeTest, ChoosingAnotherReferenceShowsTheRelativePoseAndEmitsNothing)
{
    addSensors(3);
    const ShownPose p1{100, 200, 300, 30, 20, 10};
    const ShownPose p2{-400, 50, 700, -45, 15, 120};
    tree.updateExtrinsicsIdx(0, 1, p1.R(), p1.t());
    tree.updateExtrinsicsIdx(0, 2, p2.R(), p2.t());
    Recorder rec(tree);

    wrt(2)->setCurrentIndex(1);
    EXPECT_TRUE(rec.events.empty());
    // Pose of 2 relative to 1, computed here from the two known poses.
    const cv::Mat T21 = rt4(p2.R(), p2.t()) * rt4(p1.R(), p1.t()).inv();
    const cv::Mat R21 = T21(cv::Rect(0, 0, 3, 3)), t21 = T21(cv::Rect(3, 0, 1, 3));
    const cv::Mat pos = -R21.t() * t21;
    EXPECT_NEAR(cell(2, kTx).toDouble(), pos.at<double>(0), 1e-6);
    EXPECT_NEAR(cell(2, kTy).toDouble(), pos.at<double>(1), 1e-6);
    EXPECT_NEAR(cell(2, kTz).toDouble(), pos.at<double>(2), 1e-6);
    const ShownPose shown21{
        0, 0, 0, cell(2, kYaw).toDouble(), cell(2, kPitch).toDouble(), cell(2, kRoll).toDouble()};
    EXPECT_LT(testing_support::rotationDiffDeg(shown21.R(), R21), 1e-5);

    // Its own row shows zeros, and a pose typed relative to itself is undone.
    wrt(2)->setCurrentIndex(2);
    expectZeroPose(2);
    type(2, kYaw, "45");
    expectZeroPose(2);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_POSE_NEAR(tree.getSensors()[2].R, tree.getSensors()[2].t, p2.R(), p2.t(), 1e-9, 1e-9);
}

TEST_F(SensorTreeTest, EditingASensorRewritesThoseShownRelativeToIt)
{
    addSensors(3);
    const ShownPose p2{-400, 50, 700, -45, 15, 120};
    tree.updateExtrinsicsIdx(0, 2, p2.R(), p2.t());
    wrt(2)->setCurrentIndex(1);
    Recorder rec(tree);

    const ShownPose p1{100, 200, 300, 30, 20, 10};
    const double typed[5] = {p1.x, p1.y, p1.z, p1.yaw, p1.pitch};
    for (int k = 0; k < 5; ++k)
        type(1, kTx + k, QString::number(typed[k], 'f', 6));
    rec.clear();
    type(1, kRoll, QString::number(p1.roll, 'f', 6));
    ASSERT_EQ(rec.texts(), Texts{"ext 1"});

    // Sensor 2's record is unchanged; its rows now show it relative to the moved sensor 1.
    const std::vector<Sensor> s = tree.getSensors();
    EXPECT_POSE_NEAR(s[2].R, s[2].t, p2.R(), p2.t(), 1e-9, 1e-9);
    const cv::Mat T21 = relative(s[2], s[1]);
    const ShownPose shown{cell(2, kTx).toDouble(),  cell(2, kTy).toDouble(),    cell(2, kTz).toDouble(),
                          cell(2, kYaw).toDouble(), cell(2, kPitch).toDouble(), cell(2, kRoll).toDouble()};
    EXPECT_POSE_NEAR(shown.R(), shown.t(), T21(cv::Rect(0, 0, 3, 3)), T21(cv::Rect(3, 0, 1, 3)), 1e-5, 1e-4);
    // Sensor 1's own rows keep what was typed.
    EXPECT_EQ(cell(1, kRoll), QString::number(p1.roll, 'f', 6));
}

// ---------------------------------------------------------------------------
// Deleting and clearing
// ---------------------------------------------------------------------------

TEST_F(SensorTreeTest, DeletingTheFirstSensorMakesTheNextTheReference)
{
    addSensors(3);
    const ShownPose p1{100, 200, 300, 30, 20, 10};
    const ShownPose p2{-400, 50, 700, -45, 15, 120};
    tree.updateExtrinsicsIdx(0, 1, p1.R(), p1.t());
    tree.updateExtrinsicsIdx(0, 2, p2.R(), p2.t());
    const cv::Mat T21 = rt4(p2.R(), p2.t()) * rt4(p1.R(), p1.t()).inv();
    Recorder rec(tree);
    QSignalSpy removed(&tree, &SensorTree::removeSensorFromRender);

    QTest::mouseClick(deleteButton(0), Qt::LeftButton);

    EXPECT_EQ(rec.texts(), (Texts{"ext 2", "ext 1", "remove 0"}));
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed[0][0].toInt(), 0);
    EXPECT_POSE_NEAR(rec.events[0].a, rec.events[0].b, T21(cv::Rect(0, 0, 3, 3)), T21(cv::Rect(3, 0, 1, 3)),
                     1e-9, 1e-9);
    EXPECT_MAT_NEAR(rec.events[1].a, cv::Mat::eye(3, 3, CV_64F), 0.0);
    EXPECT_MAT_NEAR(rec.events[1].b, cv::Mat::zeros(3, 1, CV_64F), 0.0);

    const std::vector<Sensor> s = tree.getSensors();
    ASSERT_EQ(s.size(), 2u);
    ASSERT_EQ(view()->topLevelItemCount(), 2);
    EXPECT_EQ(s[0].name, "Cam1");
    EXPECT_EQ(s[1].name, "Cam2");
    EXPECT_POSE_NEAR(s[1].R, s[1].t, T21(cv::Rect(0, 0, 3, 3)), T21(cv::Rect(3, 0, 1, 3)), 1e-9, 1e-9);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(comboEntries(i), (QStringList{"Cam1", "Cam2"}));
    // Both were shown relative to the deleted sensor; each combo now picks the
    // entry at the same position, and its rows follow.
    EXPECT_EQ(wrt(0)->currentIndex(), 0);
    EXPECT_EQ(wrt(1)->currentIndex(), 0);
    expectZeroPose(0);
    const ShownPose shown{cell(1, kTx).toDouble(),  cell(1, kTy).toDouble(),    cell(1, kTz).toDouble(),
                          cell(1, kYaw).toDouble(), cell(1, kPitch).toDouble(), cell(1, kRoll).toDouble()};
    EXPECT_POSE_NEAR(shown.R(), shown.t(), T21(cv::Rect(0, 0, 3, 3)), T21(cv::Rect(3, 0, 1, 3)), 1e-5, 1e-4);

    // The handlers of the moved rows still address the right sensor.
    rec.clear();
    tree.setSensorName(1, "Right");
    type(1, kTz, "1234");
    EXPECT_EQ(rec.texts(), (Texts{"name 1 Right", "names", "ext 1"}));
}

TEST_F(SensorTreeTest, DeletingAMiddleOrOnlySensor)
{
    addSensors(3);
    wrt(2)->setCurrentIndex(1);
    Recorder rec(tree);
    deleteButton(1)->click();
    EXPECT_EQ(rec.texts(), Texts{"remove 1"});
    EXPECT_EQ(comboEntries(0), (QStringList{"Cam0", "Cam2"}));
    // Cam2 was shown relative to Cam1; its combo now chooses Cam2 itself.
    EXPECT_EQ(wrt(1)->currentIndex(), 1);
    expectZeroPose(1);
    EXPECT_MAT_NEAR(tree.getSensors()[1].t, (cv::Mat_<double>(3, 1) << 0, -2000, 0), 0.0);

    tree.clearSensors();
    tree.addSensor();
    rec.clear();
    deleteButton(0)->click();
    EXPECT_EQ(rec.texts(), Texts{"remove 0"});
    EXPECT_EQ(view()->topLevelItemCount(), 0);
    EXPECT_TRUE(tree.getSensors().empty());
}

TEST_F(SensorTreeTest, ClearSensorsEmitsNothingAndGetSensorsIsACopy)
{
    addSensors(3);
    std::vector<Sensor> copy = tree.getSensors();
    copy[1].name = "changed";
    copy[1].t.at<double>(0) = 42; // a copy of the vector shares matrix data; the tree must not
    copy[1].t = cv::Mat();
    EXPECT_EQ(tree.getSensors()[1].name, "Cam1");

    Recorder rec(tree);
    tree.clearSensors();
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(view()->topLevelItemCount(), 0);
    EXPECT_TRUE(tree.getSensors().empty());
    tree.addSensor();
    EXPECT_EQ(rec.texts(), (Texts{"add Cam0", "names"}));
}

// ---------------------------------------------------------------------------
// Dialog protocol: queries and updates
// ---------------------------------------------------------------------------

TEST_F(SensorTreeTest, QueryOfAnUncalibratedOrUnknownSensorIsEmpty)
{
    addSensors(2);
    for (int idx : {1, -1, 2, 99}) {
        SCOPED_TRACE(idx);
        cv::Mat K = cv::Mat::eye(3, 3, CV_64F), kc = cv::Mat::ones(1, 5, CV_64F);
        cv::Size size(10, 10);
        tree.getIntrinsicsIdx(idx, K, kc, size);
        EXPECT_TRUE(K.empty());
        EXPECT_TRUE(kc.empty());
        EXPECT_EQ(size, cv::Size(0, 0));
    }
}

TEST_F(SensorTreeTest, UpdateThenQueryAnswersWhatTheRowsShow)
{
    const cv::Mat K = cameraMatrix(1234.5678912, 1236.25, 640.1234567, 479.9876543);
    const cv::Mat K6 = cameraMatrix(1234.567891, 1236.25, 640.123457, 479.987654);
    struct Case {
        const char* what;
        cv::Mat kc;
        cv::Mat expectedQuery;
        std::vector<int> shownRows;
    };
    const cv::Mat kc14 = (cv::Mat_<double>(1, 14) << -0.21, 0.11, 0.001, -0.002, 0.05, 0.3, 0.02, 0.01, 1e-3,
                          2e-3, 3e-3, 4e-3, 0.5, 0.25);
    const std::vector<Case> cases = {
        {"5 with k3 zero",
         (cv::Mat_<double>(1, 5) << -0.21, 0.11, 0.001, -0.002, 0),
         (cv::Mat_<double>(1, 5) << -0.21, 0.11, 0.001, -0.002, 0),
         {kK1, kK2, kP1, kP2}},
        {"8 with k4..k6 zero",
         (cv::Mat_<double>(1, 8) << -0.21, 0.11, 0.001, -0.002, 0.05, 0, 0, 0),
         (cv::Mat_<double>(1, 5) << -0.21, 0.11, 0.001, -0.002, 0.05),
         {kK1, kK2, kK3, kP1, kP2}},
        {"8 as a column",
         (cv::Mat_<double>(8, 1) << -0.21, 0.11, 0.001, -0.002, 0.05, 0.3, 0.02, 0.01),
         (cv::Mat_<double>(1, 8) << -0.21, 0.11, 0.001, -0.002, 0.05, 0.3, 0.02, 0.01),
         {kK1, kK2, kK3, kP1, kP2, kK4, kK5, kK6}},
        {"14, rounded first eight and whole rest",
         kc14,
         (cv::Mat_<double>(1, 14) << -0.21, 0.11, 0.001, -0.002, 0.05, 0.3, 0.02, 0.01, 1e-3, 2e-3, 3e-3,
          4e-3, 0.5, 0.25),
         {kK1, kK2, kK3, kP1, kP2, kK4, kK5, kK6}},
        {"4",
         (cv::Mat_<double>(1, 4) << -0.21, 0.11, 0.001, -0.002),
         (cv::Mat_<double>(1, 5) << -0.21, 0.11, 0.001, -0.002, 0),
         {kK1, kK2, kP1, kP2}},
        {"float 5",
         (cv::Mat_<float>(1, 5) << -0.25f, 0.125f, 0, 0, 0.5f),
         (cv::Mat_<double>(1, 5) << -0.25, 0.125, 0, 0, 0.5),
         {kK1, kK2, kK3}},
    };
    addSensors(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree.clearSensors();
        addSensors(2);
        tree.updateIntrinsicsIdx(1, K, c.kc, cv::Size(1280, 960));

        cv::Mat Kq, kcq;
        cv::Size size;
        tree.getIntrinsicsIdx(1, Kq, kcq, size);
        EXPECT_MAT_NEAR(Kq, K6, 0.0);
        EXPECT_EQ(kcq.rows, 1);
        EXPECT_EQ(kcq.type(), CV_64F);
        EXPECT_MAT_NEAR(kcq, c.expectedQuery, 1e-12);
        EXPECT_EQ(size, cv::Size(1280, 960));
        for (int r = kK1; r <= kK6; ++r) {
            const bool expectShown =
                std::find(c.shownRows.begin(), c.shownRows.end(), r) != c.shownRows.end();
            EXPECT_EQ(shown(1, r), expectShown) << "row " << r;
        }
        // The record holds the rows' K and the whole kc as given.
        const Sensor s = tree.getSensors()[1];
        EXPECT_MAT_NEAR(s.K, K6, 0.0);
        EXPECT_EQ(s.kc.total(), c.kc.total());
        EXPECT_MAT_NEAR(s.kc, c.kc, 1e-7);
        EXPECT_EQ(s.imgSize, cv::Size(1280, 960));
        // The other sensor is untouched.
        cv::Mat K0, kc0;
        tree.getIntrinsicsIdx(0, K0, kc0, size);
        EXPECT_TRUE(K0.empty());
    }
}

// Coefficients a later model no longer has must not linger in the rows.
TEST_F(SensorTreeTest, FewerCoefficientsClearTheRowsTheyNoLongerHave)
{
    addSensors(1);
    const cv::Mat K = cameraMatrix(900, 900, 320, 240);
    tree.updateIntrinsicsIdx(0, K, (cv::Mat_<double>(1, 8) << -0.2, 0.1, 0.01, 0.02, 0.03, 0.4, 0.5, 0.6),
                             cv::Size(640, 480));
    tree.updateIntrinsicsIdx(0, K, (cv::Mat_<double>(1, 5) << -0.3, 0.2, 0.03, 0.04, 0.05), cv::Size(0, 0));
    for (int r : {kK4, kK5, kK6}) {
        EXPECT_FALSE(shown(0, r)) << "row " << r;
        EXPECT_TRUE(cell(0, r).isEmpty()) << "row " << r;
    }
    cv::Mat Kq, kcq;
    cv::Size size;
    tree.getIntrinsicsIdx(0, Kq, kcq, size);
    EXPECT_MAT_NEAR(kcq, (cv::Mat_<double>(1, 5) << -0.3, 0.2, 0.03, 0.04, 0.05), 0.0);
    EXPECT_EQ(size, cv::Size(640, 480)); // (0, 0) keeps the known size

    // An update without kc hides all distortion rows.
    tree.updateIntrinsicsIdx(0, K, cv::Mat(), cv::Size(0, 0));
    tree.getIntrinsicsIdx(0, Kq, kcq, size);
    EXPECT_TRUE(kcq.empty());
    EXPECT_MAT_NEAR(Kq, K, 0.0);
}

TEST_F(SensorTreeTest, UpdateOfShownIntrinsicsAnnouncesEachChangedRow)
{
    addSensors(1);
    Recorder rec(tree);
    QSignalSpy namesSpy(&tree, &SensorTree::sensorNamesChanged);
    tree.updateIntrinsicsIdx(0, cameraMatrix(900, 910, 320, 240), cv::Mat(), cv::Size(640, 480));
    ASSERT_EQ(rec.texts(), Texts{"intr 0"});
    EXPECT_MAT_NEAR(rec.events[0].a, cameraMatrix(900, 910, 320, 240), 0.0);

    rec.clear();
    tree.updateIntrinsicsIdx(0, cameraMatrix(950, 910, 330, 240), cv::Mat(), cv::Size(640, 480));
    ASSERT_EQ(rec.texts(), (Texts{"intr 0", "intr 0"}));
    EXPECT_MAT_NEAR(rec.events[0].a, cameraMatrix(950, 910, 320, 240), 0.0);
    EXPECT_MAT_NEAR(rec.events[1].a, cameraMatrix(950, 910, 330, 240), 0.0);
    EXPECT_EQ(namesSpy.count(), 0);
}

TEST_F(SensorTreeTest, UpdatesThatChangeNothing)
{
    addSensors(2);
    tree.updateIntrinsicsIdx(1, cameraMatrix(900, 910, 320, 240),
                             (cv::Mat_<double>(1, 5) << -0.2, 0.1, 0, 0, 0.03), cv::Size(640, 480));
    tree.updateExtrinsicsIdx(0, 1, rotZ(20) * rotY(10), (cv::Mat_<double>(3, 1) << 1, 2, 3));
    const cv::Mat R = rotX(30), t = (cv::Mat_<double>(3, 1) << 10, 20, 30);
    const cv::Mat K = cameraMatrix(800, 800, 300, 200);
    struct Case {
        const char* what;
        std::function<void(SensorTree&)> call;
    };
    const std::vector<Case> cases = {
        {"empty K with kc",
         [&](SensorTree& s) {
             s.updateIntrinsicsIdx(1, cv::Mat(), cv::Mat::ones(1, 5, CV_64F), {640, 480});
         }},
        {"intrinsics of row n",
         [&](SensorTree& s) {
             s.updateIntrinsicsIdx(2, K, cv::Mat(), {640, 480});
         }},
        {"intrinsics of row -1",
         [&](SensorTree& s) {
             s.updateIntrinsicsIdx(-1, K, cv::Mat(), {640, 480});
         }},
        {"K 2x3",
         [&](SensorTree& s) {
             s.updateIntrinsicsIdx(1, K.rowRange(0, 2), cv::Mat(), {640, 480});
         }},
        {"K with NaN",
         [&](SensorTree& s) {
             cv::Mat k = K.clone();
             k.at<double>(0, 2) = NAN;
             s.updateIntrinsicsIdx(1, k, cv::Mat(), {});
         }},
        {"K with fy 0",
         [&](SensorTree& s) { s.updateIntrinsicsIdx(1, cameraMatrix(800, 0, 1, 1), cv::Mat(), {}); }},
        {"kc 3x3", [&](SensorTree& s) { s.updateIntrinsicsIdx(1, K, cv::Mat::eye(3, 3, CV_64F), {}); }},
        {"extrinsics to itself", [&](SensorTree& s) { s.updateExtrinsicsIdx(1, 1, R, t); }},
        {"extrinsics with empty t", [&](SensorTree& s) { s.updateExtrinsicsIdx(0, 1, R, cv::Mat()); }},
        {"extrinsics with empty R", [&](SensorTree& s) { s.updateExtrinsicsIdx(0, 1, cv::Mat(), t); }},
        {"extrinsics of row n", [&](SensorTree& s) { s.updateExtrinsicsIdx(0, 2, R, t); }},
        {"extrinsics from row -1", [&](SensorTree& s) { s.updateExtrinsicsIdx(-1, 1, R, t); }},
        {"extrinsics with R 3x4",
         [&](SensorTree& s) { s.updateExtrinsicsIdx(0, 1, cv::Mat::eye(3, 4, CV_64F), t); }},
        {"extrinsics with t 4x1",
         [&](SensorTree& s) { s.updateExtrinsicsIdx(0, 1, R, cv::Mat::ones(4, 1, CV_64F)); }},
        {"extrinsics with infinite t",
         [&](SensorTree& s) { s.updateExtrinsicsIdx(0, 1, R, cv::Mat(3, 1, CV_64F, cv::Scalar(INFINITY))); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Snapshot before = snapshot();
        Recorder rec(tree);
        EXPECT_NO_THROW(c.call(tree));
        EXPECT_TRUE(rec.events.empty());
        expectUnchanged(before);
    }
}

// The dialogs talk to the tree only through signals; a query is answered
// before its emit returns.
class FakeDialog : public QObject {
    Q_OBJECT
signals:
    void getSensorNames(std::vector<QString>& names);
    void getIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateIntrinsics(int idx, cv::Mat& K, cv::Mat& kc, cv::Size& imgSize);
    void updateSecondaryExtrinsics(int idx1, int idx2, cv::Mat R, cv::Mat t);
};

TEST_F(SensorTreeTest, DialogSignalsQueryAndUpdateTheTree)
{
    addSensors(3);
    FakeDialog dialog;
    QObject::connect(&dialog, &FakeDialog::getSensorNames, &tree, &SensorTree::getSensorNames);
    QObject::connect(&dialog, &FakeDialog::getIntrinsics, &tree, &SensorTree::getIntrinsicsIdx);
    QObject::connect(&dialog, &FakeDialog::updateIntrinsics, &tree, &SensorTree::updateIntrinsicsIdx);
    QObject::connect(&dialog, &FakeDialog::updateSecondaryExtrinsics, &tree,
                     &SensorTree::updateExtrinsicsIdx);
    Recorder rec(tree);

    std::vector<QString> names;
    emit dialog.getSensorNames(names);
    EXPECT_EQ(names, (std::vector<QString>{"Cam0", "Cam1", "Cam2"}));

    cv::Mat K = cameraMatrix(1000, 1001, 640, 480), kc = (cv::Mat_<double>(1, 5) << -0.1, 0.05, 0, 0, 0.01);
    cv::Size size(1280, 960);
    emit dialog.updateIntrinsics(2, K, kc, size);
    cv::Mat Kq, kcq;
    cv::Size sizeq;
    emit dialog.getIntrinsics(2, Kq, kcq, sizeq);
    EXPECT_MAT_NEAR(Kq, K, 0.0);
    EXPECT_MAT_NEAR(kcq, kc, 0.0);
    EXPECT_EQ(sizeq, size);

    // Stereo result: pose of sensor 2 relative to sensor 1.
    const ShownPose p{-120, 5, 10, -3, 12, 2};
    emit dialog.updateSecondaryExtrinsics(1, 2, p.R(), p.t());
    EXPECT_EQ(rec.texts(), (Texts{"intr 2", "ext 2"}));
    const std::vector<Sensor> s = tree.getSensors();
    const cv::Mat T = relative(s[2], s[1]);
    EXPECT_POSE_NEAR(T(cv::Rect(0, 0, 3, 3)), T(cv::Rect(3, 0, 1, 3)), p.R(), p.t(), 1e-9, 1e-9);
}

// ---------------------------------------------------------------------------
// Intrinsics import
// ---------------------------------------------------------------------------

class SensorTreeImportTest : public SensorTreeTest {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QString writeText(const QString& name, const QByteArray& text) const
    {
        QFile f(path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        return path(name);
    }
    // An intrinsics result file as the intrinsic calibration writes it.
    QString writeIntrinsicsFile(const QString& name, const cv::Mat& K, const cv::Mat& kc,
                                bool withSize = true, cv::Size size = {2048, 1536}) const
    {
        cv::FileStorage fs(path(name).toStdString(), cv::FileStorage::WRITE);
        if (withSize)
            fs << "imgSize" << size;
        if (!K.empty())
            fs << "K" << K;
        if (!kc.empty())
            fs << "kc" << kc;
        fs << "reprojErrRMS" << 0.21;
        return path(name);
    }
    QTemporaryDir dir;
};

TEST_F(SensorTreeImportTest, ImportShowsTheFileAndKeepsFullPrecision)
{
    addSensors(2);
    const cv::Mat K = cameraMatrix(2100.123456789, 2101.987654321, 1023.5555559, 767.4444441);
    const cv::Mat kc = (cv::Mat_<double>(1, 5) << -0.123456789, 0.0987654321, 0.0001234, -0.0004321, 0);
    const QString file = writeIntrinsicsFile("Cam1_intr.yml", K, kc);

    Recorder rec(tree);
    cv::Size sizeAtSignal;
    QObject::connect(&tree, &SensorTree::sensorIntrinsicsChanged,
                     [&](int idx, cv::Mat&) { sizeAtSignal = tree.getSensors()[idx].imgSize; });
    EXPECT_TRUE(tree.importIntrinsicsFile(1, file));

    EXPECT_EQ(rec.texts(), Texts{"intr 1"});
    EXPECT_EQ(sizeAtSignal, cv::Size(2048, 1536)); // the frustum is rebuilt with the size
    const Sensor s = tree.getSensors()[1];
    EXPECT_MAT_NEAR(s.K, K, 0.0);
    EXPECT_MAT_NEAR(s.kc, kc, 0.0);
    EXPECT_EQ(s.imgSize, cv::Size(2048, 1536));
    EXPECT_EQ(cell(1, kFx), "2100.123457");
    EXPECT_EQ(cell(1, kK1), "-0.123457");
    EXPECT_FALSE(shown(1, kK3));
    cv::Mat Kq, kcq;
    cv::Size size;
    tree.getIntrinsicsIdx(1, Kq, kcq, size);
    EXPECT_MAT_NEAR(Kq, cameraMatrix(2100.123457, 2101.987654, 1023.555556, 767.444444), 1e-9);
    EXPECT_TRUE(tree.getSensors()[0].K.empty());
}

TEST_F(SensorTreeImportTest, PartialFilesChangeOnlyWhatTheyHold)
{
    addSensors(1);
    const cv::Mat K = cameraMatrix(900, 910, 320, 240);
    tree.updateIntrinsicsIdx(0, K, cv::Mat(), cv::Size(640, 480));

    // Only kc, stored as a column: rows and record change, K does not, nothing is emitted.
    Recorder rec(tree);
    const cv::Mat kcCol = (cv::Mat_<double>(8, 1) << -0.2, 0.1, 0.01, 0.02, 0.03, 0.4, 0.5, 0.6);
    EXPECT_TRUE(tree.importIntrinsicsFile(0, writeIntrinsicsFile("kc.yml", cv::Mat(), kcCol, false)));
    EXPECT_TRUE(rec.events.empty());
    Sensor s = tree.getSensors()[0];
    EXPECT_MAT_NEAR(s.K, K, 0.0);
    EXPECT_EQ(s.kc.rows, 1);
    EXPECT_MAT_NEAR(s.kc, kcCol.reshape(1, 1), 0.0);
    for (int r = kK1; r <= kK6; ++r)
        EXPECT_TRUE(shown(0, r)) << r;

    // An image size that is not positive is ignored; the rest is imported.
    EXPECT_TRUE(tree.importIntrinsicsFile(0, writeIntrinsicsFile("neg.yml", cameraMatrix(950, 950, 330, 250),
                                                                 cv::Mat(), true, cv::Size(-640, 480))));
    s = tree.getSensors()[0];
    EXPECT_EQ(s.imgSize, cv::Size(640, 480));
    EXPECT_MAT_NEAR(s.K, cameraMatrix(950, 950, 330, 250), 0.0);
}

// A file that cannot be read as intrinsics tells the user so and leaves the
// scene exactly as it was.
TEST_F(SensorTreeImportTest, BadFilesChangeNothing)
{
    addSensors(2);
    tree.updateIntrinsicsIdx(1, cameraMatrix(900, 910, 320, 240),
                             (cv::Mat_<double>(1, 5) << -0.2, 0.1, 0.01, 0.02, 0.03), cv::Size(640, 480));
    tree.updateExtrinsicsIdx(0, 1, rotZ(20) * rotY(-35), (cv::Mat_<double>(3, 1) << 15, -30, 400));

    const cv::Mat goodK = cameraMatrix(1000, 1000, 500, 400);
    const cv::Mat goodKc = (cv::Mat_<double>(1, 5) << -0.1, 0.05, 0, 0, 0.01);
    auto withK = [&](const QString& name, const cv::Mat& K) { return writeIntrinsicsFile(name, K, goodKc); };
    auto withKc = [&](const QString& name, const cv::Mat& kc) {
        return writeIntrinsicsFile(name, goodK, kc);
    };
    cv::Mat nanK = goodK.clone();
    nanK.at<double>(0, 2) = NAN;

    struct Case {
        const char* what;
        QString file;
    };
    const std::vector<Case> cases = {
        {"missing file", path("missing.yml")},
        {"not YAML", writeText("garbage.yml", "%YAML:1.0\nK: [1, 2\n  ::: }{\n")},
        {"empty file", writeText("empty.yml", "")},
        {"no known key", writeText("other.yml", "%YAML:1.0\nfoo: 3\n")},
        {"only an empty imgSize", writeText("empty_size.yml", "%YAML:1.0\nimgSize:\n")},
        {"K is a number", writeText("k_number.yml", "%YAML:1.0\nK: 5\nkc: [0.1, 0.2]\n")},
        {"K is text", writeText("k_text.yml", "%YAML:1.0\nK: \"camera\"\n")},
        {"K matrix with wrong element count",
         writeText("k_count.yml",
                   "%YAML:1.0\nK: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 1., 2. ]\n")},
        {"K 3x4", withK("k34.yml", cv::Mat::eye(3, 4, CV_64F))},
        {"K 2x3", withK("k23.yml", goodK.rowRange(0, 2))},
        {"K two channels", withK("k2ch.yml", cv::Mat(3, 3, CV_64FC2, cv::Scalar(1, 1)))},
        {"K with NaN", withK("knan.yml", nanK)},
        {"K with fx 0", withK("kfx0.yml", cameraMatrix(0, 1000, 500, 400))},
        {"K with negative fy", withK("kfyneg.yml", cameraMatrix(1000, -1000, 500, 400))},
        {"kc of 3", withKc("kc3.yml", (cv::Mat_<double>(1, 3) << 0.1, 0.2, 0.3))},
        {"kc of 6", withKc("kc6.yml", cv::Mat::zeros(1, 6, CV_64F))},
        {"kc 3x3", withKc("kc33.yml", cv::Mat::eye(3, 3, CV_64F))},
        {"kc with infinity", withKc("kcinf.yml", (cv::Mat_<double>(1, 5) << 0.1, INFINITY, 0, 0, 0))},
        {"kc is a sequence", writeText("kc_seq.yml", "%YAML:1.0\nkc: [0.1, 0.2, 0.0, 0.0, 0.0]\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Snapshot before = snapshot();
        Recorder rec(tree);
        Message message;
        auto closer =
            closeMessageBox(message, QString(c.what) == "K 3x4"
                                         ? testing_support::screenshotPath("sensortree_import_error.png")
                                         : QString());
        bool imported = true;
        EXPECT_NO_THROW(imported = tree.importIntrinsicsFile(1, c.file));
        EXPECT_FALSE(imported);
        EXPECT_TRUE(message.shown);
        EXPECT_EQ(message.title, "Error");
        EXPECT_TRUE(message.text.startsWith("Can't open the " + c.file)) << message.text.toStdString();
        EXPECT_TRUE(rec.events.empty());
        expectUnchanged(before);
    }
}

TEST_F(SensorTreeImportTest, ImportButtonAsksForAFile)
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    addSensors(2);
    const QString file = writeIntrinsicsFile("Cam0_intr.yml", cameraMatrix(1500, 1501, 800, 600),
                                             (cv::Mat_<double>(1, 5) << -0.1, 0.05, 0.001, 0.002, 0.01));

    // Cancelled: nothing happens.
    {
        const Snapshot before = snapshot();
        QString caption, filter;
        ModalHandler cancel([&](QWidget* w) {
            auto* fd = qobject_cast<QFileDialog*>(w);
            ASSERT_NE(fd, nullptr);
            caption = fd->windowTitle();
            filter = fd->nameFilters().join(";");
            fd->reject();
        });
        importButton(0)->click();
        EXPECT_TRUE(cancel.handled());
        EXPECT_EQ(caption, "Open calibration");
        EXPECT_EQ(filter, "Calibration (*.yml)");
        expectUnchanged(before);
    }
    // A file chosen: the sensor of that button takes it.
    Recorder rec(tree);
    ModalHandler choose([&](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(fd, nullptr);
        auto* nameEdit = fd->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(nameEdit, nullptr);
        nameEdit->setText(file);
        static_cast<QDialog*>(fd)->accept();
    });
    importButton(0)->click();
    EXPECT_TRUE(choose.handled());
    EXPECT_EQ(rec.texts(), Texts{"intr 0"});
    EXPECT_MAT_NEAR(tree.getSensors()[0].K, cameraMatrix(1500, 1501, 800, 600), 0.0);
    EXPECT_TRUE(tree.getSensors()[1].K.empty());
}

TEST_F(SensorTreeTest, Screenshot)
{
    addSensors(3);
    tree.setSensorName(1, "Projector");
    tree.updateIntrinsicsIdx(1, cameraMatrix(2100.5, 2101.25, 960, 540),
                             (cv::Mat_<double>(1, 5) << -0.12, 0.05, 0.001, -0.002, 0.0),
                             cv::Size(1920, 1080));
    const ShownPose p{-120, 5, 10, -3, 12, 2};
    tree.updateExtrinsicsIdx(0, 1, p.R(), p.t());
    top(0)->setExpanded(false);
    top(2)->setExpanded(false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(tree.grab().save(testing_support::screenshotPath("sensortree.png")));
}

} // namespace

#include "SensorTree_test.moc"
