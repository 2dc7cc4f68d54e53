// The sensor boxes of the dialogs follow their sensors by row.

#include "gui/dialogs/sensor_boxes.h"

#include <QComboBox>
#include <gtest/gtest.h>

namespace {

// The chosen sensor stays the same sensor through the scene's changes; names,
// which can repeat, play no part.
TEST(RefillSensorCombo, FollowsTheChosenSensorByRow)
{
    using Names = std::vector<QString>;
    const struct {
        const char* what;
        Names before;
        int chosen;
        SceneChange change;
        Names after;
        int expected;
    } cases[] = {
        {"sensor added", {"Cam0", "Cam1"}, 1, SceneChange(), {"Cam0", "Cam1", "Cam2"}, 1},
        {"chosen sensor renamed", {"Cam0", "Cam1", "Cam2"}, 1, SceneChange(), {"Cam0", "left", "Cam2"}, 1},
        {"renamed to an earlier sensor's name", {"Cam0", "Cam1"}, 1, SceneChange(), {"Cam0", "Cam0"}, 1},
        {"earlier sensor deleted", {"Cam0", "Cam1", "Cam2"}, 2, SceneChange::removed(1), {"Cam0", "Cam2"}, 1},
        {"later sensor deleted", {"Cam0", "Cam1", "Cam2"}, 1, SceneChange::removed(2), {"Cam0", "Cam1"}, 1},
        {"chosen sensor deleted", {"Cam0", "Cam1", "Cam2"}, 1, SceneChange::removed(1), {"Cam0", "Cam2"}, -1},
        {"chosen last sensor deleted", {"Cam0", "Cam1"}, 1, SceneChange::removed(1), {"Cam0"}, -1},
        {"namesake below a deletion",
         {"Cam0", "Cam1", "Dup", "Dup", "Cam4"},
         3,
         SceneChange::removed(1),
         {"Cam0", "Dup", "Dup", "Cam4"},
         2},
        {"namesake deleted", {"Dup", "Dup"}, 0, SceneChange::removed(0), {"Dup"}, -1},
        {"scene replaced by one of the same names",
         {"Cam0", "Cam1"},
         0,
         SceneChange::replaced(),
         {"Cam0"},
         -1},
        {"blank box, sensor added", {"Cam0"}, -1, SceneChange(), {"Cam0", "Cam1"}, -1},
        {"blank box, sensor deleted", {"Cam0", "Cam1"}, -1, SceneChange::removed(0), {"Cam1"}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QComboBox combo;
        for (const QString& name : c.before)
            combo.addItem(name);
        combo.setCurrentIndex(c.chosen);
        int changes = 0;
        QObject::connect(&combo, qOverload<int>(&QComboBox::currentIndexChanged), [&changes] { ++changes; });
        refillSensorCombo(&combo, c.after, c.change);
        EXPECT_EQ(combo.count(), static_cast<int>(c.after.size()));
        EXPECT_EQ(combo.currentIndex(), c.expected);
        EXPECT_EQ(changes, 0) << "the refill must not look like the user's choice";
    }
}

} // namespace
