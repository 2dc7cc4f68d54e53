#pragma once

// A stereo rig with known truth: two cameras of different resolutions and
// distortion models, the secondary rotated and shifted relative to the
// primary, and board views that both cameras see whole. Built on the
// renderers of synthetic.h.
//
// Relative pose: x_secondary = R x_primary + T (mm).

#include "synthetic.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace synth {

struct StereoRig {
    Camera primary;
    Camera secondary;
    cv::Matx33d R;
    cv::Vec3d T;

    // The board pose in the secondary camera of a view seen by the primary.
    View secondaryView(const View& primaryView) const;
};

// The rig of the stereo tests: primary 1280x960, f = 1100, radial k1, k2;
// secondary 1920x1080, f = 1500, radial k1, k2 and tangential p1, p2; the
// secondary's origin at `position` in the primary's frame (150, 8, 5 mm by
// default, side by side), turned towards the primary's field of view by
// `yawDeg` about its y axis, with a small pitch and roll.
StereoRig makeStereoRig(const cv::Vec3d& position = cv::Vec3d(150, 8, 5), double yawDeg = -6);

// n random views whose boards (with their white border) lie whole inside both
// images with a margin, as primary-camera views.
std::vector<View> stereoViews(const StereoRig& rig, cv::Size pattern, double square, int n,
                              std::uint64_t seed);

// Renders the pairs of views into two sub-folders "primary" and "secondary"
// of folder, as pair00.png, pair01.png, ...; returns the paths of each list.
struct StereoImageFiles {
    QStringList primary, secondary;
};
StereoImageFiles writeStereoViews(const QString& folder, const StereoRig& rig, cv::Size pattern,
                                  double square, const std::vector<View>& views,
                                  const RenderOptions& options = {});

// A small rig for quick runs and bad-input paths: 640x480 (f = 550, radial
// k1, k2) and 800x450 (f = 625, radial k1) cameras, a 7 x 5 board of 30 mm
// squares, n views (seed 17) rendered into `folder` by writeStereoViews
// (supersampled twice, blurred by 0.5 px).
struct SmallStereoScene {
    StereoRig rig;
    cv::Size pattern{7, 5};
    double square = 30;
    std::vector<View> views;
    StereoImageFiles files;

    SmallStereoScene(const QString& folder, int n);
};

} // namespace synth
