#pragma once

// The project file: the whole scene of sensors with one of them chosen as the
// world, written as an OpenCV FileStorage file in YAML (the file the user
// chose) and a JSON twin of the same name with the suffix ".json".
//
// Keys in file order (j is the sensor's row, in decimal):
//   "Version"   "Tessimo v2.10.15" (YAML file only; never read)
//   "ISODate"   local date and time of the save, ISO 8601 without zone
//   "Sensors"   sequence of every sensor's name, in row order
//   "World"     sequence of one name, the world sensor
//   per sensor j:
//     "imgSize"j [width, height] px   } only when the sensor has K; the
//     "K"j       3x3 CV_64F           } size is left out when not known
//                (files of other writers hold [0, 0] then, read as unknown)
//     "kc"j      1xN CV_64F           only when it has K and kc
//     "R"j, "T"j 3x3 and 3x1 CV_64F: x_world = R * x_j + T (mm); the world
//                sensor itself is written with I and 0.
// Files dated before 2019-01-01T00:00:00 ("legacy") store the other
// direction: x_j = R * x_world + T.

#include "core/geometry/Sensor.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// One sensor as read from a project file.
struct ProjectSensor {
    std::string name;
    cv::Mat K;        // 3x3 CV_64F with positive fx, fy; empty when the file has none
    cv::Mat kc;       // 1xN CV_64F (N in 4, 5, 8, 12, 14); empty when the file has none
    cv::Size imgSize; // positive, or (0, 0) when the file has none
    // Pose relative to the world sensor, x_sensor = R_sensor_world * x_world +
    // t_sensor_world (3x3 and 3x1 CV_64F, mm): what the sensor tree takes as
    // updateExtrinsicsIdx(world, j, R, t). Both empty when the file has neither
    // "R"j nor "T"j.
    cv::Mat R_sensor_world;
    cv::Mat t_sensor_world;
};

// A project as read from a file.
struct Project {
    std::vector<ProjectSensor> sensors; // in row order, at least one
    int world = 0;                      // row of the world sensor
    bool legacy = false;                // dated before 2019: poses stored world -> sensor
};

// Path of the JSON twin: the file name's last suffix (from its last ".")
// replaced by ".json", or ".json" appended when the file name has no ".".
// Dots in folder names are never touched.
std::string projectTwinPath(const std::string& path);

// The YAML text (with "Version") or the JSON text (without it) of a project
// of the given sensors with sensor `world` as the world, dated isoDate.
// Raises a cv::Exception when there is no sensor, world is not a row, or a
// record's R or t is not 3x3 or 3x1.
std::string projectText(const std::vector<Sensor>& sensors, int world, const std::string& isoDate, bool json);

// The text of a reduced project: as projectText but without "Version",
// "imgSize" and "kc" (each sensor's "K" when it has one, "R" and "T"). Used
// for the pair of rectified cameras of a stereo rectification.
std::string reducedProjectText(const std::vector<Sensor>& sensors, int world, const std::string& isoDate,
                               bool json);

struct ProjectSaveResult {
    enum Status {
        Saved,            // both files written
        TwinIsMainFile,   // the chosen name already ends in ".json": nothing written
        NamesNotStorable, // a name would not be read back as it is from both
                          // files, or the world's name would not single it out
                          // when the project is loaded: nothing written (see error)
        MainNotOpened,    // the chosen file cannot be written: nothing written
        MainNotWritten,   // writing or replacing the chosen file failed: nothing changed
        TwinNotWritten,   // the YAML file was saved, the JSON twin was not
    };
    Status status = Saved;
    std::string twinPath;
    std::string error; // the failing file's error string
};

// Writes the project as YAML to path and as JSON to its twin. Each file is
// written to a temporary file first and renamed into place, so a failure
// never destroys the previous project; the twin is only replaced after the
// YAML file was. A project whose world shares its stored name with another
// sensor is not written: loading it would take another sensor as the world
// (names are stored as plain strings, without surrounding quotes or trailing
// blanks). Raises a cv::Exception for the
// argument errors of projectText, before anything is written.
ProjectSaveResult saveProjectFiles(const std::string& path, const std::vector<Sensor>& sensors, int world,
                                   const std::string& isoDate);

// As saveProjectFiles, with the reduced project's texts.
ProjectSaveResult saveReducedProjectFiles(const std::string& path, const std::vector<Sensor>& sensors,
                                          int world, const std::string& isoDate);

// Why a project file was refused.
enum class ProjectReadError {
    None,
    BadContent, // the file cannot be opened, or a node does not have its form
    ParserError // OpenCV's parser refused the file (or a node it was asked to read)
};

struct ProjectReadResult {
    bool ok = false;
    ProjectReadError error = ProjectReadError::None;
    std::string message;               // names the file and the offending key
    std::vector<std::string> warnings; // shown before the scene is rebuilt (several worlds)
};

// Reads and checks the whole project file before anything else can use it:
// every node must have its form (see above; numbers of any type are taken as
// doubles, a kc column becomes one row), "World" must name one of the
// "Sensors", and a present "ISODate" must be a valid date. `project` is
// assigned only when the result is ok.
ProjectReadResult readProjectFile(const std::string& path, Project& project);
