#include "gui_fuzz_targets.h"

#include "gui/views/settings.h"

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace fuzz_targets {

void settingsFile(const uint8_t* data, size_t size)
{
    // The store is the INI file under the folder QSettings is pointed at.
    static const QTemporaryDir store;
    static const bool pointed = [] {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, store.path());
        return QDir().mkpath(store.filePath("Vellant"));
    }();
    if (!pointed)
        std::abort();
    FILE* f = std::fopen(store.filePath("Vellant/Tessimo.ini").toLocal8Bit().constData(), "wb");
    if (!f)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);

    QWidget window;
    window.setObjectName("FuzzWindow");
    auto* layout = new QVBoxLayout(&window);
    auto* tabs = new QTabWidget;
    tabs->setObjectName("tab_widget");
    tabs->addTab(new QWidget, "a");
    tabs->addTab(new QWidget, "b");
    layout->addWidget(tabs);
    auto* check = new QCheckBox;
    check->setObjectName("check_box");
    layout->addWidget(check);
    auto* radio = new QRadioButton;
    radio->setObjectName("radio_button");
    layout->addWidget(radio);
    auto* edit = new QLineEdit;
    edit->setObjectName("edit_text");
    layout->addWidget(edit);
    auto* slider = new QSlider;
    slider->setObjectName("slider_value");
    layout->addWidget(slider);
    auto* spin = new QSpinBox;
    spin->setObjectName("spin_value");
    layout->addWidget(spin);

    QString dir1, dir2;
    loadSettings(&window, dir1, dir2);
    QString dir;
    loadSettings(&window, dir);
}

const std::vector<Target>& guiTargets()
{
    static const std::vector<Target> targets = {
        {"settings", settingsFile},
    };
    return targets;
}

} // namespace fuzz_targets
