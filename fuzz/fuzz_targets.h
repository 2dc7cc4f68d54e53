#pragma once

// Arbitrary bytes fed to the program's file readers, as the fuzzers and the
// regression tests do. Each target writes the bytes where its reader looks and
// calls the reader; the reader must come back with a result of its own: never
// crash, hang or let an exception out. Targets keep their files in one
// temporary folder per process.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_targets {

// A reader that can be fed bytes.
struct Target {
    const char* name; // also the folder of its regression inputs
    void (*run)(const uint8_t* data, size_t size);
};

// The readers of tessimo_core.
void projectFile(const uint8_t* data, size_t size);
void cornerFile(const uint8_t* data, size_t size);
void intrinsicsFile(const uint8_t* data, size_t size);
void tcpPoseFile(const uint8_t* data, size_t size);
void imageSetFolder(const uint8_t* data, size_t size);

// The Manhattan-world computations (vanishing_fuzz_targets.cpp): the line
// detector on an image made of the bytes, the J-Linkage search with the
// vanishing-point models and the kd-tree, and the chain from vanishing points
// to the camera pose.
void lineDetection(const uint8_t* data, size_t size);
void jlinkageVanishingPoints(const uint8_t* data, size_t size);
void manhattanPose(const uint8_t* data, size_t size);

// Core computations fed parameters and pixels from the bytes
// (calib_fuzz_targets.cpp): each result must keep its function's contract.
void grayCodeDecoder(const uint8_t* data, size_t size);
void axybSolver(const uint8_t* data, size_t size);
void stereoRectification(const uint8_t* data, size_t size);

// The core targets, by name.
const std::vector<Target>& coreTargets();

// The window settings store (needs a QApplication; see gui_fuzz_targets.h).

// Writes bytes to a file in this process's temporary folder and returns its path.
std::string writeInput(const std::string& fileName, const uint8_t* data, size_t size);

} // namespace fuzz_targets
