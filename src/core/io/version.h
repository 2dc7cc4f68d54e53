#pragma once

// The program's version: shown in the main window's title and the About
// dialog, and written as "Version" into saved projects.
inline constexpr const char* kTessimoVersion = "2.10.15";
