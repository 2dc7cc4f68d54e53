#include "gui/shell/About.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QUrl>
#include <cmath>

#include "core/io/version.h"
#include "ui_About.h"

namespace {

const QString kLicenseLink = QStringLiteral("<a href=\"#\">view license</a>");
const QString kContactAddress = QStringLiteral("tessimo@vellant.example");
const QString kWebPage = QStringLiteral("https://www.vellant.example/tessimo");
const QString kWebSite = QStringLiteral("www.vellant.example");

} // namespace

void setLogoPixmap(QLabel* label, const QString& resource, int width)
{
    if (label == nullptr)
        return;
    const QPixmap pixmap(resource);
    label->setScaledContents(true);
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    label->setAlignment(Qt::AlignCenter);
    if (pixmap.isNull() || pixmap.width() <= 0) {
        label->clear();
        label->setFixedWidth(width);
        return;
    }
    const int height = static_cast<int>(std::lround(double(width) / pixmap.width() * pixmap.height()));
    label->setFixedSize(width, height);
    label->setPixmap(pixmap);
}

About::About(QWidget* parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);

    for (QLabel* link : {ui->label_license_opencv, ui->label_license_vtk, ui->label_license_qt,
                         ui->label_license_jlinkage, ui->label_license_scan3d})
        link->setText(kLicenseLink);

    ui->label_version_number->setText(QStringLiteral("Tessimo") + QChar(0x2122) +
                                      QStringLiteral(" Version ") + QString::fromLatin1(kTessimoVersion));
    ui->label_email->setText(QStringLiteral("<a href=\"mailto:%1\">%1</a>").arg(kContactAddress));
    ui->label_web->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(kWebPage, kWebSite));

    applicationDir = QCoreApplication::applicationDirPath();
    setLogoPixmap(ui->label_VellantLogo, QStringLiteral(":/logo/Vellant-Logo.png"), 200);

    QCoreApplication::processEvents();
    resize(0, 0);
}

About::~About()
{
    delete ui;
}

void About::openLicense(const QString& file)
{
    const QString path = QDir::toNativeSeparators(applicationDir + file);
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(applicationDir + file)))
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("The licence text could not be opened: the desktop has no application "
                           "for it.\n%1")
                .arg(path));
}

void About::on_label_license_opencv_linkActivated(const QString&)
{
    openLicense(QStringLiteral("/licenses/OpenCV.txt"));
}

void About::on_label_license_vtk_linkActivated(const QString&)
{
    openLicense(QStringLiteral("/licenses/VTK.txt"));
}

void About::on_label_license_qt_linkActivated(const QString&)
{
    openLicense(QStringLiteral("/licenses/Qt.txt"));
}

void About::on_label_license_jlinkage_linkActivated(const QString&)
{
    openLicense(QStringLiteral("/licenses/JLinkage.txt"));
}

void About::on_label_license_scan3d_linkActivated(const QString&)
{
    openLicense(QStringLiteral("/licenses/3DSS.txt"));
}
