#pragma once

// Robot tool-centre-point (TCP) pose files, one pose per calibration image,
// written by the robot controller as XML or as plain text.
//
// XML ("*.xml"):
//   <TCP_Poses>
//     <Pose ID="7" Name="home"> <X>..</X> <Y>..</Y> <Z>..</Z> <RX>..</RX> <RY>..</RY> <RZ>..</RZ> </Pose>
//     ...
//   </TCP_Poses>
// The children of a Pose come in any order; other children are skipped. A
// Pose that lacks one of the six values takes it from the Pose before it.
//
// Text ("*.txt"): one pose per line, "x y z rx ry rz" separated by white
// space ('.' as decimal point); anything after the sixth number is ignored.
//
// A pose maps TCP coordinates into robot-base coordinates: x_base = R(r) x_tcp
// + (x, y, z), with R(r) the rotation of the rotation vector (rx, ry, rz) in
// radians. The position is stored as written; its unit (m or mm) is chosen by
// the user.

#include <QString>

#include <string>
#include <vector>

struct TcpPose {
    int id = 0;                    // XML: the "ID" attribute (0 when not an integer); text: the line index
    std::string name;              // XML: the "Name" attribute; otherwise "TCP_" + index
    double x = 0, y = 0, z = 0;    // TCP position in the robot base, unit of the file
    double rx = 0, ry = 0, rz = 0; // TCP orientation, rotation vector in radians
};

enum class TcpReadOutcome {
    Completed, // the whole file was read
    Failed,    // reading stopped with a message; the poses before the fault are kept
    NoFile     // no path, or the path does not exist: nothing was read or reported
};

struct TcpLogLine {
    QString text;
    bool error = false; // shown as an error (red)
};

struct TcpPoseFileResult {
    TcpReadOutcome outcome = TcpReadOutcome::NoFile;
    std::vector<TcpPose> poses;    // in file order
    std::vector<QString> rowTexts; // one list row per pose: XML "ID: 7 Name: home", text "TCP_0"
    std::vector<TcpLogLine> log;   // the lines to append to the dialog's log, in order
    // The file exists but cannot be opened: the caller shows openError in a
    // message box titled "Error" (it is not in the log).
    bool openFailed = false;
    QString openError;
};

// Reads a TCP pose file. The format follows the file name's suffix, compared
// case-sensitively: "xml" or "txt". The log gets "Parsing <path>" first and,
// on completion, "Found <n> tcp entries". Failures (each with its log line):
//  - another suffix: "Only *.xml and *.txt file extensions can be read.";
//  - XML whose first element is not TCP_Poses (also an empty file), a
//    document that is not well-formed (the Pose being read is dropped), an
//    element directly under the root that is not a Pose, a first Pose that
//    lacks one of the six values, a value that is not a finite number;
//  - text: a line that does not begin with six numbers ("Invalid line <i> in
//    file <path>"), with ": pose TCP_<i>, <X..RZ> value '<text>' is not a
//    finite number" added when the number is too large for a double.
// Values are neither scaled nor checked otherwise: any finite number is a
// value, and a zero rotation vector is the identity.
// poses and rowTexts always have the same length.
TcpPoseFileResult loadTcpPoseFile(const QString& path);
