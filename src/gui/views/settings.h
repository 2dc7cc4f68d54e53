#pragma once

// Window settings: each window keeps its position, size, last directory (or
// two) and the state of its named option widgets in the per-user INI store
// (organisation "Vellant", application "Tessimo"), in a group named after the
// window's object name. A window loads in its constructor, once its form is
// built, and saves in its destructor.
//
// Stored widget kinds, one key per object name: QTabWidget (current index),
// QCheckBox and QRadioButton (checked), QLineEdit except spin-box editors
// (text), QSlider (position) and QSpinBox (value). Widgets without an object
// name are never stored.
//
// Loading changes nothing unless the window's group holds "pos"; then only
// the keys the group holds are applied. A position off every screen and an
// invalid size are not applied.

#include <QString>

class QObject;
class QSettings;
class QWidget;

void loadSettings(QWidget* window, QString& dir);
void loadSettings(QWidget* window, QString& dir1, QString& dir2);
void saveSettings(QWidget* window, const QString& dir);
void saveSettings(QWidget* window, const QString& dir1, const QString& dir2);

// Empties the whole store. Windows open at that moment store their group
// again when they close.
void clearSettings();

// The walks over an object and all its descendants; settings is already
// inside the window's group.
void loadWidgetSettings(QSettings& settings, QObject* object);
void saveWidgetSettings(QSettings& settings, QObject* object);
