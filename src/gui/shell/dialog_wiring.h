#pragma once

// The dialog protocol between a calibration dialog and the sensor tree: the
// dialog asks the tree for sensor names and intrinsics and pushes its
// intrinsics into it; the tree tells the dialog when names change or a sensor
// goes. Used by the main window's launchers and by the dialogs' tests.

#include <QObject>

#include "gui/shell/SensorTree.h"

#include <type_traits>

// Whether a dialog pushes intrinsics into the tree (the robot dialogs only
// ask for them).
template <class Dialog, class = void> struct pushesIntrinsics : std::false_type {};
template <class Dialog>
struct pushesIntrinsics<Dialog, std::void_t<decltype(&Dialog::updateIntrinsics)>> : std::true_type {};

template <class Dialog>
void connectIntrinsicsDialog(Dialog* dialog, SensorTree* tree)
{
    if constexpr (pushesIntrinsics<Dialog>::value)
        QObject::connect(dialog, &Dialog::updateIntrinsics, tree, &SensorTree::updateIntrinsicsIdx);
    QObject::connect(dialog, &Dialog::getIntrinsics, tree, &SensorTree::getIntrinsicsIdx);
    QObject::connect(dialog, &Dialog::getSensorNames, tree, &SensorTree::getSensorNames);
    QObject::connect(tree, &SensorTree::sensorNamesChanged, dialog, &Dialog::updateSensorNames);
    QObject::connect(tree, &SensorTree::removeSensorFromRender, dialog, &Dialog::updateSensorNames);
}

// A dialog that places one sensor relative to another pushes that pose into
// the tree (x_idx2 = R x_idx1 + t).
template <class Dialog>
void connectExtrinsicsDialog(Dialog* dialog, SensorTree* tree)
{
    QObject::connect(dialog, &Dialog::updateSecondaryExtrinsics, tree, &SensorTree::updateExtrinsicsIdx);
}
