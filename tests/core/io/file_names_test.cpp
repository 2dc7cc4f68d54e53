// File names made from sensor names.

#include "core/io/file_names.h"

#include <gtest/gtest.h>

namespace {

TEST(SafeFileNamePart, SensorNamesCannotLeaveTheFolder)
{
    const struct {
        const char* name;
        const char* safe;
    } cases[] = {
        {"Cam0", "Cam0"},
        {"left cam", "left cam"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {"a\\b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_i"},
        {"..", "___"},
        {"", "_"},
        {"tab\there", "tab_here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(safeFileNamePart(QString::fromUtf8(c.name)), QString::fromUtf8(c.safe));
    }
}

} // namespace
