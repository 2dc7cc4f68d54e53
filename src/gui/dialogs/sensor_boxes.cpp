#include "gui/dialogs/sensor_boxes.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QSignalBlocker>

SceneChange SceneChange::removed(int row)
{
    SceneChange change;
    change.kind = Removed;
    change.removedRow = row;
    return change;
}

SceneChange SceneChange::replaced()
{
    SceneChange change;
    change.kind = Replaced;
    return change;
}

int SceneChange::rowAfter(int row) const
{
    if (row < 0)
        return -1;
    switch (kind) {
    case Kept:
        return row;
    case Removed:
        if (row == removedRow)
            return -1;
        return row > removedRow ? row - 1 : row;
    case Replaced:
        return -1;
    }
    return -1;
}

void refillSensorCombo(QComboBox* combo, const std::vector<QString>& names, const SceneChange& change)
{
    int row = change.rowAfter(combo->currentIndex());
    if (row >= static_cast<int>(names.size()))
        row = -1;
    const QSignalBlocker blocker(combo);
    combo->clear();
    for (const QString& name : names)
        combo->addItem(name);
    combo->setCurrentIndex(row);
}

QString noSensorChosenText(const QComboBox* combo, const QString& role, const QString& where)
{
    if (combo->count() == 0)
        return QCoreApplication::translate("SensorBoxes",
                                           "No sensor present in the sensor list, aborting...\n");
    return QCoreApplication::translate("SensorBoxes", "No %1 is chosen: choose one in '%2', aborting...\n")
        .arg(role, where);
}
