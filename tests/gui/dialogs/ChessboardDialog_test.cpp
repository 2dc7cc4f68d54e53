// The shared chessboard dialog frame: the sensor combo boxes.

#include "gui/dialogs/ChessboardDialog.h"

#include <QComboBox>
#include <gtest/gtest.h>

namespace {

// The chosen sensor stays the same sensor when the scene's names change.
TEST(RefillSensorCombo, KeepsTheChosenSensor)
{
    const struct {
        const char* what;
        std::vector<QString> before;
        int chosen;
        std::vector<QString> after;
        int expected;
    } cases[] = {
        {"sensor added", {"Cam0", "Cam1"}, 1, {"Cam0", "Cam1", "Cam2"}, 1},
        {"chosen sensor renamed", {"Cam0", "Cam1", "Cam2"}, 1, {"Cam0", "left", "Cam2"}, 1},
        {"other sensor renamed", {"Cam0", "Cam1", "Cam2"}, 2, {"Cam0", "left", "Cam2"}, 2},
        {"earlier sensor deleted", {"Cam0", "Cam1", "Cam2"}, 2, {"Cam0", "Cam2"}, 1},
        {"chosen sensor deleted", {"Cam0", "Cam1", "Cam2"}, 1, {"Cam0", "Cam2"}, 1},
        {"last sensor deleted while chosen", {"Cam0", "Cam1"}, 1, {"Cam0"}, -1},
        {"nothing chosen", {}, -1, {"Cam0"}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QComboBox combo;
        for (const QString& name : c.before)
            combo.addItem(name);
        combo.setCurrentIndex(c.chosen);
        int changes = 0;
        QObject::connect(&combo, qOverload<int>(&QComboBox::currentIndexChanged), [&changes] { ++changes; });
        refillSensorCombo(&combo, c.after);
        EXPECT_EQ(combo.count(), static_cast<int>(c.after.size()));
        EXPECT_EQ(combo.currentIndex(), c.expected);
        EXPECT_EQ(changes, 0) << "the refill must not look like the user's choice";
    }
}

} // namespace
