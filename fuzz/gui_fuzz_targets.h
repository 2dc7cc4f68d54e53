#pragma once

// Fuzz targets of readers that need a QApplication (see fuzz_targets.h).

#include "fuzz_targets.h"

namespace fuzz_targets {

// The per-user settings store: the bytes become the INI file, and a window
// with every kind of saved widget restores itself from it.
void settingsFile(const uint8_t* data, size_t size);

// The GUI targets, by name.
const std::vector<Target>& guiTargets();

} // namespace fuzz_targets
