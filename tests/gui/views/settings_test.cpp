// Window settings through a real window with every kind of option widget,
// in a store kept in a temporary folder.
#include "gui/views/settings.h"

#include <climits>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

// A window as a dialog's form builds it, with its form defaults.
struct Window {
    std::unique_ptr<QWidget> w{new QWidget};
    QTabWidget* tab;
    QCheckBox* check;
    QRadioButton* radioA;
    QRadioButton* radioB;
    QLineEdit* edit;
    QLineEdit* unnamedEdit;
    QSlider* slider;
    QSpinBox* spin;
    QDoubleSpinBox* dspin;
    QComboBox* combo;
    QGroupBox* group;

    explicit Window(const QString& name = "TestWindow")
    {
        w->setObjectName(name);
        w->move(200, 150);
        w->resize(400, 300);
        auto* layout = new QVBoxLayout(w.get());
        tab = new QTabWidget;
        tab->setObjectName("tab_main");
        for (const char* t : {"One", "Two", "Three"})
            tab->addTab(new QWidget, t);
        tab->setCurrentIndex(1);
        group = new QGroupBox("Options");
        group->setObjectName("group_options");
        group->setCheckable(true);
        group->setChecked(true);
        auto* inner = new QVBoxLayout(group);
        check = new QCheckBox("Check");
        check->setObjectName("check_refine");
        check->setChecked(true);
        radioA = new QRadioButton("A");
        radioA->setObjectName("radio_a");
        radioB = new QRadioButton("B");
        radioB->setObjectName("radio_b");
        radioB->setChecked(true);
        edit = new QLineEdit("default");
        edit->setObjectName("edit_corners_width");
        unnamedEdit = new QLineEdit("unnamed default");
        slider = new QSlider(Qt::Horizontal);
        slider->setObjectName("slider_gain");
        slider->setRange(0, 100);
        slider->setValue(30);
        spin = new QSpinBox;
        spin->setObjectName("spin_win_size");
        spin->setRange(0, 100);
        spin->setValue(7);
        dspin = new QDoubleSpinBox;
        dspin->setObjectName("spin_square_size");
        dspin->setValue(2.5);
        combo = new QComboBox;
        combo->setObjectName("combo_sensor");
        combo->addItems({"a", "b", "c"});
        combo->setCurrentIndex(2);
        for (QWidget* x : std::initializer_list<QWidget*>{check, radioA, radioB, edit, unnamedEdit})
            inner->addWidget(x);
        for (QWidget* x : std::initializer_list<QWidget*>{tab, group, slider, spin, dspin, combo})
            layout->addWidget(x);
    }

    // The user's choices, all different from the defaults.
    void change()
    {
        w->move(310, 220);
        w->resize(520, 410);
        tab->setCurrentIndex(2);
        check->setChecked(false);
        radioA->setChecked(true);
        edit->setText("12.5");
        unnamedEdit->setText("typed");
        slider->setValue(77);
        spin->setValue(42);
        dspin->setValue(9.75);
        combo->setCurrentIndex(0);
        group->setChecked(false);
    }
    void expectDefaults() const
    {
        EXPECT_EQ(w->pos(), QPoint(200, 150));
        EXPECT_EQ(w->size(), QSize(400, 300));
        EXPECT_EQ(tab->currentIndex(), 1);
        EXPECT_TRUE(check->isChecked());
        EXPECT_FALSE(radioA->isChecked());
        EXPECT_TRUE(radioB->isChecked());
        EXPECT_EQ(edit->text(), "default");
        EXPECT_EQ(slider->value(), 30);
        EXPECT_EQ(spin->value(), 7);
        EXPECT_EQ(unnamedEdit->text(), "unnamed default");
        EXPECT_DOUBLE_EQ(dspin->value(), 2.5);
        EXPECT_EQ(combo->currentIndex(), 2);
        EXPECT_TRUE(group->isChecked());
    }
};

class SettingsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        storeDir = new QTemporaryDir;
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, storeDir->path());
    }
    static void TearDownTestSuite()
    {
        delete storeDir;
        storeDir = nullptr;
    }
    void SetUp() override { clearSettings(); }

    // Edits the stored group directly, as another run of the program may have left it.
    static void editGroup(const QString& group, const std::function<void(QSettings&)>& edit)
    {
        QSettings s(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
        s.beginGroup(group);
        edit(s);
        s.endGroup();
    }
    static QStringList groups()
    {
        QSettings s(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
        return s.childGroups();
    }
    static QStringList keys(const QString& group)
    {
        QSettings s(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
        s.beginGroup(group);
        QStringList k = s.childKeys();
        k.sort();
        return k;
    }

    static QTemporaryDir* storeDir;
};
QTemporaryDir* SettingsTest::storeDir = nullptr;

TEST_F(SettingsTest, StoreIsTheTestLocalIniFile)
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
    EXPECT_TRUE(s.fileName().startsWith(storeDir->path())) << s.fileName().toStdString();
    EXPECT_TRUE(s.fileName().endsWith("Vellant/Tessimo.ini")) << s.fileName().toStdString();
}

TEST_F(SettingsTest, FirstStartChangesNothing)
{
    Window win;
    QString dir = "keep", dir1 = "keep1", dir2 = "keep2";
    loadSettings(win.w.get(), dir);
    loadSettings(win.w.get(), dir1, dir2);
    win.expectDefaults();
    EXPECT_EQ(dir, "keep");
    EXPECT_EQ(dir1, "keep1");
    EXPECT_EQ(dir2, "keep2");
}

TEST_F(SettingsTest, WindowComesBackAsItWasLeft)
{
    {
        Window win;
        win.change();
        saveSettings(win.w.get(), "/data/images");
    }
    EXPECT_EQ(keys("TestWindow"),
              (QStringList{"check_refine", "dir", "edit_corners_width", "pos", "radio_a", "radio_b", "size",
                           "slider_gain", "spin_win_size", "tab_main"}));

    Window win;
    QString dir;
    loadSettings(win.w.get(), dir);
    EXPECT_EQ(dir, "/data/images");
    EXPECT_EQ(win.w->pos(), QPoint(310, 220));
    EXPECT_EQ(win.w->size(), QSize(520, 410));
    EXPECT_EQ(win.tab->currentIndex(), 2);
    EXPECT_FALSE(win.check->isChecked());
    EXPECT_TRUE(win.radioA->isChecked());
    EXPECT_FALSE(win.radioB->isChecked());
    EXPECT_EQ(win.edit->text(), "12.5");
    EXPECT_EQ(win.slider->value(), 77);
    EXPECT_EQ(win.spin->value(), 42);
    // Not stored: double spin boxes, combo boxes, checkable group boxes, unnamed widgets.
    EXPECT_DOUBLE_EQ(win.dspin->value(), 2.5);
    EXPECT_EQ(win.combo->currentIndex(), 2);
    EXPECT_TRUE(win.group->isChecked());
    EXPECT_EQ(win.unnamedEdit->text(), "unnamed default");
}

TEST_F(SettingsTest, TwoDirectoryFormAndSeparateGroups)
{
    {
        Window stereo("StereoChessCalibWin");
        saveSettings(stereo.w.get(), "/left", "/right");
        Window other("IntrChessCalibWin");
        other.change();
        saveSettings(other.w.get(), "/intr");
    }
    EXPECT_EQ(groups(), (QStringList{"IntrChessCalibWin", "StereoChessCalibWin"}));
    Window stereo("StereoChessCalibWin");
    QString dir1, dir2;
    loadSettings(stereo.w.get(), dir1, dir2);
    EXPECT_EQ(dir1, "/left");
    EXPECT_EQ(dir2, "/right");
    stereo.expectDefaults(); // the other window's choices stay in its own group
}

// A widget whose key the store does not hold keeps its form default.
TEST_F(SettingsTest, MissingKeysKeepFormDefaults)
{
    {
        Window win;
        win.change();
        saveSettings(win.w.get(), "/data");
    }
    editGroup("TestWindow", [](QSettings& s) {
        for (const char* key : {"check_refine", "slider_gain", "dir"})
            s.remove(key);
    });
    Window win;
    QString dir = "keep";
    loadSettings(win.w.get(), dir);
    EXPECT_EQ(dir, "keep");
    EXPECT_TRUE(win.check->isChecked());
    EXPECT_EQ(win.slider->value(), 30);
    EXPECT_EQ(win.spin->value(), 42); // stored keys are still applied
    EXPECT_EQ(win.tab->currentIndex(), 2);
}

TEST_F(SettingsTest, GroupWithoutPositionIsNotApplied)
{
    editGroup("TestWindow", [](QSettings& s) {
        s.setValue("size", QSize(900, 700));
        s.setValue("dir", "/elsewhere");
        s.setValue("spin_win_size", 99);
    });
    Window win;
    QString dir = "keep";
    loadSettings(win.w.get(), dir);
    EXPECT_EQ(dir, "keep");
    win.expectDefaults();
}

// A position that would put the window off every screen, or a size that is
// not a size, is left out; everything else is restored.
TEST_F(SettingsTest, UnreachablePositionAndInvalidSizeAreNotApplied)
{
    struct Case {
        const char* what;
        QVariant pos, size;
        QPoint expectedPos;
        QSize expectedSize;
    };
    const std::vector<Case> cases = {
        {"on screen", QPoint(100, 80), QSize(640, 480), QPoint(100, 80), QSize(640, 480)},
        {"partly on screen", QPoint(1700, 900), QSize(640, 480), QPoint(1700, 900), QSize(640, 480)},
        {"far right and below", QPoint(5000, 4000), QSize(640, 480), QPoint(200, 150), QSize(640, 480)},
        {"far left", QPoint(-3000, 100), QSize(640, 480), QPoint(200, 150), QSize(640, 480)},
        {"above the screen", QPoint(100, -2000), QSize(640, 480), QPoint(200, 150), QSize(640, 480)},
        {"only a sliver left of the screen", QPoint(-630, 100), QSize(640, 480), QPoint(200, 150),
         QSize(640, 480)},
        {"invalid size", QPoint(100, 80), QSize(-1, -1), QPoint(100, 80), QSize(400, 300)},
        {"zero width", QPoint(100, 80), QSize(0, 480), QPoint(100, 80), QSize(400, 300)},
        {"position is text", QString("garbage"), QSize(640, 480), QPoint(200, 150), QSize(640, 480)},
        {"size is text", QPoint(100, 80), QString("big"), QPoint(100, 80), QSize(400, 300)},
        // Edges near the ends of int's range once overflowed the reachability test.
        {"position near INT_MAX", QPoint(INT_MAX - 5, INT_MAX - 5), QSize(640, 480), QPoint(200, 150),
         QSize(640, 480)},
        {"position near INT_MIN", QPoint(INT_MIN, INT_MIN), QSize(640, 480), QPoint(200, 150),
         QSize(640, 480)},
        {"huge size from the far left", QPoint(INT_MIN + 10, 100), QSize(INT_MAX, 480), QPoint(200, 150),
         QSize(400, 300)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clearSettings();
        editGroup("TestWindow", [&](QSettings& s) {
            s.setValue("pos", c.pos);
            s.setValue("size", c.size);
            s.setValue("spin_win_size", 55);
        });
        Window win;
        QString dir;
        loadSettings(win.w.get(), dir);
        EXPECT_EQ(win.w->pos(), c.expectedPos);
        EXPECT_EQ(win.w->size(), c.expectedSize);
        EXPECT_EQ(win.spin->value(), 55);
    }
}

TEST_F(SettingsTest, RestoreRunsTheWidgetsOwnHandlers)
{
    {
        Window win;
        win.change();
        saveSettings(win.w.get(), QString());
    }
    Window win;
    QSignalSpy spinSpy(win.spin, QOverload<int>::of(&QSpinBox::valueChanged));
    QSignalSpy checkSpy(win.check, &QCheckBox::toggled);
    QSignalSpy tabSpy(win.tab, &QTabWidget::currentChanged);
    QString dir;
    loadSettings(win.w.get(), dir);
    ASSERT_EQ(spinSpy.count(), 1);
    EXPECT_EQ(spinSpy[0][0].toInt(), 42);
    ASSERT_EQ(checkSpy.count(), 1);
    EXPECT_FALSE(checkSpy[0][0].toBool());
    ASSERT_EQ(tabSpy.count(), 1);
    EXPECT_EQ(tabSpy[0][0].toInt(), 2);
}

TEST_F(SettingsTest, ResetEmptiesTheStoreAndOpenWindowsWriteAgain)
{
    Window main("MainWindow");
    Window dialog("IntrChessCalibWin");
    {
        Window closed("TargetPose");
        saveSettings(closed.w.get(), "/t");
    }
    saveSettings(main.w.get(), "/m");
    saveSettings(dialog.w.get(), "/d");
    ASSERT_EQ(groups().size(), 3);

    clearSettings();
    EXPECT_TRUE(groups().isEmpty());
    QSettings raw(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo");
    EXPECT_TRUE(raw.allKeys().isEmpty());

    // The windows still open store their groups when they close.
    saveSettings(main.w.get(), "/m");
    EXPECT_EQ(groups(), QStringList{"MainWindow"});
    saveSettings(dialog.w.get(), "/d");
    EXPECT_EQ(groups(), (QStringList{"IntrChessCalibWin", "MainWindow"}));
}

TEST_F(SettingsTest, WidgetsSharingANameShareOneKey)
{
    QWidget w;
    w.setObjectName("Shared");
    auto* first = new QCheckBox(&w);
    auto* second = new QCheckBox(&w);
    first->setObjectName("check_same");
    second->setObjectName("check_same");
    first->setChecked(false);
    second->setChecked(true);
    saveSettings(&w, QString());
    EXPECT_EQ(keys("Shared"), (QStringList{"check_same", "dir", "pos", "size"}));

    QWidget v;
    v.setObjectName("Shared");
    auto* a = new QCheckBox(&v);
    auto* b = new QCheckBox(&v);
    a->setObjectName("check_same");
    b->setObjectName("check_same");
    QString dir;
    loadSettings(&v, dir);
    EXPECT_TRUE(a->isChecked()); // the later widget's value was stored last
    EXPECT_TRUE(b->isChecked());
}

} // namespace
