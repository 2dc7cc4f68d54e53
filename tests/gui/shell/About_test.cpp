// The About dialog: version, logo, and the licence links, which must ask the
// desktop to open the right file next to the executable.
#include "gui/shell/About.h"
#include "gui/shell/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

#include <cmath>

// The logo is compiled into the gui library, whose resources a program
// registers by hand.
static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

const char* const kLogo = ":/logo/Vellant-Logo.png";

// Stands in for the desktop: records the URLs it is asked to open.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    UrlRecorder() { QDesktopServices::setUrlHandler("file", this, "open"); }
    ~UrlRecorder() override { QDesktopServices::unsetUrlHandler("file"); }
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.append(url); }
};

struct LicenseRow {
    const char* nameLabel;
    const char* name;
    const char* linkLabel;
    const char* file;
};

const LicenseRow kRows[] = {
    {"label_opencv", "Open Source Computer Vision Library", "label_license_opencv", "OpenCV.txt"},
    {"label_vtk", "Visualization Toolkit (VTK)", "label_license_vtk", "VTK.txt"},
    {"label_qt", "Qt Framework", "label_license_qt", "Qt.txt"},
    {"label_jlinkage", "JLinkage Library", "label_license_jlinkage", "JLinkage.txt"},
    {"label_scan3d", "3D Scanning Software", "label_license_scan3d", "3DSS.txt"},
};

TEST(About, ShowsTitleVersionLibrariesAndContactLinks)
{
    About about;
    EXPECT_EQ(about.windowTitle(), QString("About Tessimo"));
    auto* version = about.findChild<QLabel*>("label_version_number");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QString::fromUtf8("Tessimo\u2122 Version 2.10.15"));

    for (const LicenseRow& row : kRows) {
        SCOPED_TRACE(row.linkLabel);
        auto* name = about.findChild<QLabel*>(row.nameLabel);
        auto* link = about.findChild<QLabel*>(row.linkLabel);
        ASSERT_NE(name, nullptr);
        ASSERT_NE(link, nullptr);
        EXPECT_EQ(name->text(), QString(row.name));
        EXPECT_EQ(link->text(), QString("<a href=\"#\">view license</a>"));
        EXPECT_FALSE(link->openExternalLinks());
    }

    for (const char* contact : {"label_email", "label_web"}) {
        SCOPED_TRACE(contact);
        auto* label = about.findChild<QLabel*>(contact);
        ASSERT_NE(label, nullptr);
        EXPECT_TRUE(label->openExternalLinks());
    }
    EXPECT_TRUE(about.findChild<QLabel*>("label_email")->text().contains("href=\"mailto:"));
    EXPECT_TRUE(about.findChild<QLabel*>("label_web")->text().contains("href=\"https://"));
}

TEST(About, LogoIsTwoHundredPixelsWide)
{
    registerResources();
    const QPixmap resource(kLogo);
    ASSERT_FALSE(resource.isNull());
    About about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    auto* logo = about.findChild<QLabel*>("label_VellantLogo");
    ASSERT_NE(logo, nullptr);
    const QSize expected(200, int(std::lround(200.0 / resource.width() * resource.height())));
    EXPECT_EQ(logo->size(), expected);
    EXPECT_EQ(logo->minimumSize(), expected);
    EXPECT_EQ(logo->maximumSize(), expected);
    EXPECT_EQ(logo->pixmap(Qt::ReturnByValue).size(), resource.size());
}

TEST(About, SetLogoPixmapScalesToTheWidthKeepingProportions)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        QSize pixmap;
        int width;
        QSize label;
    };
    const Case cases[] = {
        {{400, 102}, 200, {200, 51}}, {{100, 100}, 200, {200, 200}},
        {{300, 101}, 200, {200, 67}}, // 67.33 rounds down
        {{300, 103}, 200, {200, 69}}, // 68.67 rounds up
        {{50, 500}, 20, {20, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("%1 x %2").arg(c.pixmap.width()).arg(c.pixmap.height()).toStdString());
        const QString file = dir.filePath("logo.png");
        QImage image(c.pixmap, QImage::Format_RGB32);
        image.fill(Qt::darkBlue);
        ASSERT_TRUE(image.save(file));
        QLabel label;
        setLogoPixmap(&label, file, c.width);
        EXPECT_EQ(label.minimumSize(), c.label);
        EXPECT_EQ(label.maximumSize(), c.label);
        EXPECT_TRUE(label.hasScaledContents());
        EXPECT_EQ(label.alignment(), Qt::AlignCenter);
        EXPECT_EQ(label.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        EXPECT_EQ(label.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        EXPECT_EQ(label.pixmap(Qt::ReturnByValue).size(), c.pixmap);
    }
}

TEST(About, SetLogoPixmapWithoutAPictureLeavesAnEmptyLabelOfTheWidth)
{
    QLabel label;
    label.setPixmap(QPixmap(10, 10));
    setLogoPixmap(&label, "/nonexistent/logo.png", 200);
    EXPECT_TRUE(label.pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(label.minimumWidth(), 200);
    EXPECT_EQ(label.maximumWidth(), 200);
}

TEST(About, EachViewLicenseLinkOpensItsFileNextToTheExecutable)
{
    UrlRecorder desktop;
    About about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    const QString appDir = QCoreApplication::applicationDirPath();

    for (const LicenseRow& row : kRows) {
        SCOPED_TRACE(row.linkLabel);
        auto* link = about.findChild<QLabel*>(row.linkLabel);
        ASSERT_NE(link, nullptr);
        desktop.urls.clear();
        // A click on the middle of the link text.
        const QPoint centre(link->fontMetrics().horizontalAdvance("view license") / 2, link->height() / 2);
        QTest::mouseClick(link, Qt::LeftButton, Qt::NoModifier, centre);
        ASSERT_EQ(desktop.urls.size(), 1);
        EXPECT_EQ(desktop.urls.front(), QUrl::fromLocalFile(appDir + "/licenses/" + row.file));
        EXPECT_TRUE(desktop.urls.front().isLocalFile());
    }

    // Whatever link text the label holds, the file is the same.
    auto* qt = about.findChild<QLabel*>("label_license_qt");
    desktop.urls.clear();
    emit qt->linkActivated("https://elsewhere.example/license");
    ASSERT_EQ(desktop.urls.size(), 1);
    EXPECT_EQ(desktop.urls.front(), QUrl::fromLocalFile(appDir + "/licenses/Qt.txt"));
}

// A desktop that cannot open files: its handler has no such slot, so
// QDesktopServices::openUrl fails.
class BrokenDesktop {
public:
    BrokenDesktop() { QDesktopServices::setUrlHandler("file", &target, "noSuchSlot"); }
    ~BrokenDesktop() { QDesktopServices::unsetUrlHandler("file"); }

private:
    QObject target;
};

TEST(About, ALicenceTheDesktopCannotOpenIsReportedInTheDialog)
{
    BrokenDesktop desktop;
    About about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
    QString title, text;
    QWidget* parent = nullptr;
    QTimer::singleShot(0, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            parent = box->parentWidget();
            box->done(QMessageBox::Ok);
        }
    });
    emit about.findChild<QLabel*>("label_license_vtk")->linkActivated("#");
    EXPECT_EQ(parent, &about);
    EXPECT_EQ(title, about.windowTitle());
    EXPECT_TRUE(text.contains("could not be opened")) << text.toStdString();
    EXPECT_TRUE(text.contains("VTK.txt")) << text.toStdString();
}

TEST(About, LicenceTextsAreInstalledNextToTheExecutable)
{
    struct Text {
        const char* file;
        const char* phrase;
    };
    const Text texts[] = {
        {"OpenCV.txt", "Apache License"},
        {"VTK.txt", "Visualization Toolkit"},
        {"Qt.txt", "GNU LESSER GENERAL PUBLIC LICENSE"},
        {"JLinkage.txt", "J-Linkage"},
        {"3DSS.txt", "3D Scanning Software"},
    };
    const QDir dir(TESSIMO_LICENSE_DIR);
    for (const Text& t : texts) {
        SCOPED_TRACE(t.file);
        QFile file(dir.filePath(t.file));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
        EXPECT_TRUE(QString::fromUtf8(file.readAll()).contains(t.phrase));
    }
}

TEST(About, TheMainWindowsMenuOpensItModallyAndAnewEachTime)
{
    QTemporaryDir settings;
    ASSERT_TRUE(settings.isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* action = window.findChild<QAction*>("actionTessimo");
    ASSERT_NE(action, nullptr);
    auto* menu = window.findChild<QMenu*>("menuAbout");
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->actions().contains(action));

    for (int use = 0; use < 2; ++use) {
        SCOPED_TRACE(use);
        bool seen = false;
        // Looks for the dialog from inside its own event loop; the dialog
        // processes events while it is built, before it is shown.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &window, [&] {
            auto* about = qobject_cast<About*>(QApplication::activeModalWidget());
            if (about == nullptr)
                return;
            poll.stop();
            seen = true;
            EXPECT_TRUE(about->isVisible());
            EXPECT_EQ(about->windowModality(), Qt::ApplicationModal);
            EXPECT_EQ(about->parentWidget(), &window);
            EXPECT_FALSE(about->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
            EXPECT_EQ(window.findChildren<About*>().size(), 1);
            EXPECT_EQ(about->findChild<QLabel*>("label_version_number")->text(),
                      QString::fromUtf8("Tessimo\u2122 Version 2.10.15"));
            EXPECT_EQ(about->findChild<QLabel*>("label_VellantLogo")->width(), 200);
            about->reject();
        });
        poll.start(10);
        // Should the dialog never come up modally, nothing may hang.
        QTimer::singleShot(5000, &window, [&] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        action->trigger(); // returns once the dialog is closed
        EXPECT_TRUE(seen);
        EXPECT_TRUE(window.findChildren<About*>().isEmpty()) << "the dialog is destroyed when it closes";
    }
}

} // namespace

#include "About_test.moc"
