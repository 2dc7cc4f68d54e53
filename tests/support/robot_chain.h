#pragma once

// Robot pose chains with known truth for hand-eye (AX=XB) and robot-world
// (AX=YB) calibration, built around board views in which the whole board is
// visible (synth::boardViews), so that the same chain can be rendered into
// board images. TCP pose files of a chain in XML or text, in metres or
// millimetres.
//
// Poses (R 3x3, t 3x1, CV_64F, mm):
//   tcp[i]   TCP in the base          x_base = R x_tcp + t
//   views[i] target in the camera     x_cam  = R(rvec) x_target + tvec
//   hand-eye:    X camera in the TCP, target fixed in the base (targetInBase)
//   robot-world: X target in the TCP, Y camera in the base
// so that, exactly, hand-eye: tcp[i] X B[i] = targetInBase; robot-world:
// tcp[i] X = Y B[i].

#include "synthetic.h"

#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace robot_chain {

struct Pose {
    cv::Mat R; // 3x3 CV_64F
    cv::Mat t; // 3x1 CV_64F, mm
};

Pose makePose(double rx, double ry, double rz, double tx, double ty, double tz);
Pose compose(const Pose& a, const Pose& b); // a * b
Pose inverse(const Pose& p);
Pose viewPose(const synth::View& v);

struct Chain {
    std::vector<synth::View> views; // target in camera per image
    std::vector<Pose> tcp;          // TCP in base per image
    Pose X;                         // hand-eye: camera in TCP; robot-world: target in TCP
    Pose Y;                         // robot-world: camera in base
    Pose targetInBase;              // hand-eye: the fixed target in the base
};

// n views of a camera carried by the robot looking at a fixed target.
Chain handEyeChain(const synth::Camera& cam, cv::Size pattern, double square, int n, std::uint64_t seed);

// n views of a fixed camera looking at a target carried by the robot.
Chain robotWorldChain(const synth::Camera& cam, cv::Size pattern, double square, int n, std::uint64_t seed);

// The poses with a random rotation of about `deg` degrees and a random
// translation of about `mm` millimetres (Gaussian per component) applied.
std::vector<Pose> perturb(const std::vector<Pose>& poses, double deg, double mm, std::uint64_t seed);

// Rotation of the TCP poses about one fixed axis (a degenerate chain).
std::vector<Pose> oneAxisPoses(int n, const cv::Vec3d& axis);

enum class TcpFormat { Xml, Text };

// Writes the TCP poses, positions divided by 1000 when inMetres, with full
// double precision. Returns false when the file cannot be written.
bool writeTcpFile(const QString& path, const std::vector<Pose>& tcp, TcpFormat format, bool inMetres);

// Board images of a chain rendered into a folder, and its TCP files.
struct RenderedChain {
    synth::Camera cam = synth::makeCamera(cv::Size(800, 600), 860, {-0.08, 0.03, 0, 0, 0});
    cv::Size pattern{9, 6};
    double square = 25.7; // a real number on purpose: truncated to 25 mm lengths come out 3 % short
    Chain chain;
    QString folder;
    QStringList images;

    // Writes the chain's TCP poses (or the given ones) into the folder.
    QString tcpFile(const QString& name, TcpFormat format, bool inMetres,
                    const std::vector<Pose>* tcp = nullptr) const;
};

// Renders the chain's views into folder as view00.png, view01.png, ...
// Rendering is slow and every test case runs in a process of its own, so the
// images are kept in a cache folder beside the test program (a
// QCoreApplication must exist), named by a hash of everything that decides
// them, and copied into the given folder.
void render(RenderedChain& scene, const QString& folder);

} // namespace robot_chain
