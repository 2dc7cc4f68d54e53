#pragma once

// The sensor boxes of the calibration dialogs. A box lists the scene's
// sensor names in row order, and its current index is the row of the sensor
// the dialog works on. Names can repeat, so a box follows its sensor by row,
// never by name: renaming a sensor or adding one (always at the end) leaves
// every row where it is; deleting a sensor moves the rows below it up by one
// and leaves a box that was on it without a sensor; replacing the scene (a
// new or a loaded project) leaves no box on a sensor. A box without a sensor
// stays blank until the user chooses one.

#include <QString>

#include <vector>

class QComboBox;

// What happened to the scene's rows since the boxes were last filled.
class SceneChange {
public:
    // Names changed or a sensor was added: every row stays.
    SceneChange() = default;
    // The sensor at `row` was deleted.
    static SceneChange removed(int row);
    // Every sensor went at once (new or loaded project).
    static SceneChange replaced();

    // The row that the sensor at `row` has after the change, or -1 when it
    // went (and for -1, no sensor).
    int rowAfter(int row) const;

private:
    enum Kind { Kept, Removed, Replaced };
    Kind kind = Kept;
    int removedRow = -1;
};

// Refills a sensor box with the scene's names and keeps it on its sensor
// through `change`; blank when that sensor went. Signals of the box are
// blocked while it is refilled, so the refill never looks like a choice of
// the user's.
void refillSensorCombo(QComboBox* combo, const std::vector<QString>& names,
                       const SceneChange& change = SceneChange());

// The red line of a step that needs the sensor of `combo` while the box is
// blank: when the scene has no sensor at all, "No sensor present in the
// sensor list, aborting..."; otherwise it names the `role` to choose
// ("camera", "secondary camera") and the box's group title `where`.
QString noSensorChosenText(const QComboBox* combo, const QString& role, const QString& where);
