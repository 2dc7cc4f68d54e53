#pragma once

// The dialog protocol between a calibration dialog and the sensor tree: the
// dialog asks the tree for sensor names and intrinsics and pushes its
// intrinsics into it; the tree tells the dialog when names change or a sensor
// goes. Used by the main window's launchers and by the dialogs' tests.

#include <QObject>

#include <type_traits>

#include "gui/shell/SensorTree.h"

// Whether a dialog pushes intrinsics into the tree (the robot dialogs only
// ask for them).
template <class Dialog, class = void> struct pushesIntrinsics : std::false_type {
};
template <class Dialog>
struct pushesIntrinsics<Dialog, std::void_t<decltype(&Dialog::updateIntrinsics)>> : std::true_type {
};

// The names of the scene, and what happens to its rows: the dialog's sensor
// boxes follow their sensors through renames, additions, deletions and a
// replaced scene.
template <class Dialog> void connectSensorNames(Dialog* dialog, SensorTree* tree)
{
    QObject::connect(dialog, &Dialog::getSensorNames, tree, &SensorTree::getSensorNames);
    QObject::connect(tree, &SensorTree::sensorNamesChanged, dialog, &Dialog::updateSensorNames);
    QObject::connect(tree, &SensorTree::removeSensorFromRender, dialog, &Dialog::sensorRemoved);
    QObject::connect(tree, &SensorTree::sensorsCleared, dialog, &Dialog::sensorsReplaced);
}

template <class Dialog> void connectIntrinsicsDialog(Dialog* dialog, SensorTree* tree)
{
    if constexpr (pushesIntrinsics<Dialog>::value)
        QObject::connect(dialog, &Dialog::updateIntrinsics, tree, &SensorTree::updateIntrinsicsIdx);
    QObject::connect(dialog, &Dialog::getIntrinsics, tree, &SensorTree::getIntrinsicsIdx);
    connectSensorNames(dialog, tree);
}

// The two-camera dialogs: both cameras' intrinsics go to and come from the
// tree's one receiver, the index telling which sensor is meant; the pose of
// the secondary relative to the primary goes to the tree's extrinsics.
template <class Dialog> void connectStereoDialog(Dialog* dialog, SensorTree* tree)
{
    QObject::connect(dialog, &Dialog::updatePrimaryIntrinsics, tree, &SensorTree::updateIntrinsicsIdx);
    QObject::connect(dialog, &Dialog::updateSecondaryIntrinsics, tree, &SensorTree::updateIntrinsicsIdx);
    QObject::connect(dialog, &Dialog::updateSecondaryExtrinsics, tree, &SensorTree::updateExtrinsicsIdx);
    QObject::connect(dialog, &Dialog::getPrimaryIntrinsics, tree, &SensorTree::getIntrinsicsIdx);
    QObject::connect(dialog, &Dialog::getSecondaryIntrinsics, tree, &SensorTree::getIntrinsicsIdx);
    connectSensorNames(dialog, tree);
}

// Dialogs with a primary and a secondary camera declare updatePrimaryIntrinsics.
template <class Dialog, class = void> struct IsStereoDialog : std::false_type {
};
template <class Dialog>
struct IsStereoDialog<Dialog, std::void_t<decltype(&Dialog::updatePrimaryIntrinsics)>> : std::true_type {
};

// The protocol connections a dialog of this kind needs.
template <class Dialog> void connectDialog(Dialog* dialog, SensorTree* tree)
{
    if constexpr (IsStereoDialog<Dialog>::value)
        connectStereoDialog(dialog, tree);
    else
        connectIntrinsicsDialog(dialog, tree);
}

// A dialog that places one sensor relative to another pushes that pose into
// the tree (x_idx2 = R x_idx1 + t).
template <class Dialog> void connectExtrinsicsDialog(Dialog* dialog, SensorTree* tree)
{
    QObject::connect(dialog, &Dialog::updateSecondaryExtrinsics, tree, &SensorTree::updateExtrinsicsIdx);
}
