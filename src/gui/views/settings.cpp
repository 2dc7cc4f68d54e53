#include "gui/views/settings.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QRect>
#include <QScreen>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QWidget>

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace {

// The per-user INI store. Opened per call; QSettings writes it when it goes.
class Store : public QSettings {
public:
    Store() : QSettings(QSettings::IniFormat, QSettings::UserScope, "Vellant", "Tessimo") {}
};

// Whether a window placed at pos with the given size can still be grabbed:
// a strip along its top edge lies on some screen.
bool reachableOnScreen(const QPoint& pos, const QSize& size)
{
    // In 64 bits: a stored position may lie anywhere in int's range, where
    // QRect's edge arithmetic would overflow.
    const qint64 width = std::max(size.width(), 1);
    const qint64 height = std::clamp(size.height(), 1, 30);
    const qint64 minWidth = std::min<qint64>(width, 40);
    const qint64 minHeight = std::min<qint64>(height, 10);
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        const qint64 left = std::max<qint64>(pos.x(), g.x());
        const qint64 right = std::min<qint64>(qint64(pos.x()) + width, qint64(g.x()) + g.width());
        const qint64 top = std::max<qint64>(pos.y(), g.y());
        const qint64 bottom = std::min<qint64>(qint64(pos.y()) + height, qint64(g.y()) + g.height());
        if (right - left >= minWidth && bottom - top >= minHeight)
            return true;
    }
    return false;
}

void loadWindow(QWidget* window, std::initializer_list<std::pair<const char*, QString*>> dirs)
{
    if (!window)
        return;
    Store settings;
    settings.beginGroup(window->objectName());
    if (settings.contains("pos")) {
        const QVariant storedSize = settings.value("size");
        const QSize size = storedSize.type() == QVariant::Size ? storedSize.toSize() : QSize();
        const bool sizeValid = size.isValid() && !size.isEmpty() && size.width() <= QWIDGETSIZE_MAX &&
                               size.height() <= QWIDGETSIZE_MAX;

        const QVariant storedPos = settings.value("pos");
        if (storedPos.type() == QVariant::Point) {
            const QPoint pos = storedPos.toPoint();
            if (reachableOnScreen(pos, sizeValid ? size : window->size()))
                window->move(pos);
        }
        if (sizeValid)
            window->resize(size);
        for (const auto& dir : dirs)
            if (settings.contains(dir.first))
                *dir.second = settings.value(dir.first).toString();
        loadWidgetSettings(settings, window);
    }
    settings.endGroup();
}

void saveWindow(QWidget* window, std::initializer_list<std::pair<const char*, QString>> dirs)
{
    if (!window)
        return;
    Store settings;
    settings.beginGroup(window->objectName());
    settings.setValue("pos", window->pos());
    settings.setValue("size", window->size());
    for (const auto& dir : dirs)
        settings.setValue(dir.first, dir.second);
    saveWidgetSettings(settings, window);
    settings.endGroup();
}

} // namespace

void loadSettings(QWidget* window, QString& dir)
{
    loadWindow(window, {{"dir", &dir}});
}

void loadSettings(QWidget* window, QString& dir1, QString& dir2)
{
    loadWindow(window, {{"dir1", &dir1}, {"dir2", &dir2}});
}

void saveSettings(QWidget* window, const QString& dir)
{
    saveWindow(window, {{"dir", dir}});
}

void saveSettings(QWidget* window, const QString& dir1, const QString& dir2)
{
    saveWindow(window, {{"dir1", dir1}, {"dir2", dir2}});
}

void clearSettings()
{
    Store settings;
    settings.clear();
}

void saveWidgetSettings(QSettings& settings, QObject* object)
{
    if (!object)
        return;
    const QString key = object->objectName();
    if (!key.isEmpty()) {
        if (auto* tab = qobject_cast<QTabWidget*>(object))
            settings.setValue(key, tab->currentIndex());
        else if (auto* check = qobject_cast<QCheckBox*>(object))
            settings.setValue(key, check->isChecked());
        else if (auto* radio = qobject_cast<QRadioButton*>(object))
            settings.setValue(key, radio->isChecked());
        else if (auto* edit = qobject_cast<QLineEdit*>(object)) {
            if (key != "qt_spinbox_lineedit")
                settings.setValue(key, edit->text());
        } else if (auto* slider = qobject_cast<QSlider*>(object))
            settings.setValue(key, slider->sliderPosition());
        else if (auto* spin = qobject_cast<QSpinBox*>(object))
            settings.setValue(key, spin->value());
    }
    const QObjectList children = object->children();
    for (QObject* child : children)
        saveWidgetSettings(settings, child);
}

void loadWidgetSettings(QSettings& settings, QObject* object)
{
    if (!object)
        return;
    const QString key = object->objectName();
    // Only keys the store holds are applied; other widgets keep their form
    // defaults.
    if (!key.isEmpty() && settings.contains(key)) {
        const QVariant value = settings.value(key);
        if (auto* tab = qobject_cast<QTabWidget*>(object))
            tab->setCurrentIndex(value.toInt());
        else if (auto* check = qobject_cast<QCheckBox*>(object))
            check->setChecked(value.toBool());
        else if (auto* radio = qobject_cast<QRadioButton*>(object))
            radio->setChecked(value.toBool());
        else if (auto* edit = qobject_cast<QLineEdit*>(object)) {
            if (key != "qt_spinbox_lineedit")
                edit->setText(value.toString());
        } else if (auto* slider = qobject_cast<QSlider*>(object))
            slider->setValue(value.toInt());
        else if (auto* spin = qobject_cast<QSpinBox*>(object))
            spin->setValue(value.toInt());
    }
    const QObjectList children = object->children();
    for (QObject* child : children)
        loadWidgetSettings(settings, child);
}
