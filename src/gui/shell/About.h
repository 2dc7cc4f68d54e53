#pragma once

#include <QDialog>
#include <QString>

class QLabel;

namespace Ui {
class About;
}

// The modal About dialog: version, logo, contact links and the licence texts
// of the libraries the program is built on.
class About : public QDialog {
    Q_OBJECT

public:
    explicit About(QWidget* parent = nullptr);
    ~About() override;

private slots:
    // Each opens its library's licence text, installed under "licenses" next
    // to the executable, with the desktop's default application.
    void on_label_license_opencv_linkActivated(const QString& link);
    void on_label_license_vtk_linkActivated(const QString& link);
    void on_label_license_qt_linkActivated(const QString& link);
    void on_label_license_jlinkage_linkActivated(const QString& link);
    void on_label_license_scan3d_linkActivated(const QString& link);

private:
    // Says so in a message box when the desktop cannot open the file.
    void openLicense(const QString& file);

    Ui::About* ui;
    QString applicationDir;
};

// Shows the pixmap `resource` in `label` at `width` pixels wide, keeping its
// proportions, and fixes the label to that size. When the pixmap cannot be
// loaded the label is emptied and only its width is fixed.
void setLogoPixmap(QLabel* label, const QString& resource, int width);
