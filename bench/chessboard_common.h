#pragma once

// What the chessboard benchmark and the chessboard accuracy tool share: the
// three detectors as a user of the calibration dialogs would run them, the
// test images (rendered boards with exact corners, and the real 9x6
// photographs from OpenCV's sample data), and the matching of detected
// corners to the true ones.

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "core/geometry/corner_refinement.h"
#include "synthetic.h"

#ifdef TESSIMO_HAVE_FIND_CHESSBOARD_CORNERS2
#include "core/chessboard/chessboard.h"
#endif

namespace cbbench {

// ---------------------------------------------------------------------------
// Detectors
// ---------------------------------------------------------------------------

enum class Detector {
    Own,             // findChessboardCorners2, mode 1
    ClassicAdaptive, // cv::findChessboardCorners + refineCornersAdaptive, the dialogs' defaults
    SectorBased,     // cv::findChessboardCornersSB, CALIB_CB_EXHAUSTIVE | CALIB_CB_ACCURACY
};

inline const std::vector<Detector>& allDetectors()
{
    static const std::vector<Detector> d{Detector::Own, Detector::ClassicAdaptive, Detector::SectorBased};
    return d;
}

inline const char* detectorName(Detector d)
{
    switch (d) {
    case Detector::Own:
        return "findChessboardCorners2 (mode 1)";
    case Detector::ClassicAdaptive:
        return "findChessboardCorners + refineCornersAdaptive";
    case Detector::SectorBased:
        return "findChessboardCornersSB (exhaustive, accuracy)";
    }
    return "?";
}

inline const char* detectorKey(Detector d)
{
    switch (d) {
    case Detector::Own:
        return "own";
    case Detector::ClassicAdaptive:
        return "classic";
    case Detector::SectorBased:
        return "sb";
    }
    return "?";
}

inline bool haveOwnDetector()
{
#ifdef TESSIMO_HAVE_FIND_CHESSBOARD_CORNERS2
    return true;
#else
    return false;
#endif
}

// The classic detector's settings as the chessboard dialogs use them by
// default: adaptive threshold and normalised image, window 10 % of the
// distance to the nearest corner, zero zone (1, 1).
constexpr int kClassicFlags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
constexpr double kClassicWindowFactor = 0.10;
const cv::Size kClassicZeroZone(1, 1);

// Runs one detector on an 8-bit gray image. Returns true with all
// pattern.area() corners, false (corners empty) when no board was found or
// the detector is not built in.
inline bool detect(Detector d, const cv::Mat& gray, cv::Size pattern, std::vector<cv::Point2f>& corners)
{
    corners.clear();
    try {
        switch (d) {
        case Detector::Own:
#ifdef TESSIMO_HAVE_FIND_CHESSBOARD_CORNERS2
            if (!findChessboardCorners2(gray, pattern, corners, 1, cv::noArray()))
                corners.clear();
#endif
            break;
        case Detector::ClassicAdaptive: {
            std::vector<cv::Point2f> found;
            if (cv::findChessboardCorners(gray, pattern, found, kClassicFlags)) {
                std::vector<int> windows;
                refineCornersAdaptive(gray, found, kClassicWindowFactor, kClassicZeroZone, corners, windows);
            }
            break;
        }
        case Detector::SectorBased:
            if (!cv::findChessboardCornersSB(gray, pattern, corners,
                                             cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY))
                corners.clear();
            break;
        }
    } catch (const cv::Exception& e) {
        std::cerr << detectorName(d) << ": " << e.what() << "\n";
        corners.clear();
    }
    if ((int)corners.size() != pattern.area())
        corners.clear();
    return !corners.empty();
}

// ---------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------

struct BoardImage {
    std::string name;
    cv::Mat gray;                   // 8-bit, one channel
    cv::Size pattern;               // inner corners
    std::vector<cv::Point2f> truth; // exact corners, row by row; empty for photographs
};

struct ImageSet {
    std::string name;
    std::vector<BoardImage> images;
};

// Pattern sizes used in turn by the rendered sets: odd x even, odd x odd,
// even x even, and a larger odd x even board.
inline const std::vector<cv::Size>& renderedPatterns()
{
    static const std::vector<cv::Size> p{{9, 6}, {7, 5}, {8, 6}, {11, 8}};
    return p;
}

struct RenderedSetRecipe {
    std::string name;
    cv::Size size;
    double focal;
    std::vector<double> kc;
    synth::ViewOptions views;
    synth::RenderOptions render;
    double minTiltDeg = 0;  // angle between the board's normal and the ray to its centre: at least ...
    double maxTiltDeg = 50; // ... and at most
};

// Angle in degrees between the board's normal and the line of sight to the
// board's centre.
inline double viewTiltDeg(const synth::View& v, cv::Size pattern, double square)
{
    cv::Matx33d R;
    cv::Rodrigues(v.rvec, R);
    const cv::Vec3d centre =
        R * cv::Vec3d((pattern.width - 1) * square / 2, (pattern.height - 1) * square / 2, 0) + v.tvec;
    const cv::Vec3d normal(R(0, 2), R(1, 2), R(2, 2));
    return std::acos(std::abs(normal.dot(centre)) / cv::norm(centre)) * 180.0 / CV_PI;
}

inline std::vector<RenderedSetRecipe> renderedSetRecipes(bool large)
{
    std::vector<RenderedSetRecipe> recipes;
    auto add = [&](const std::string& name, cv::Size size, double focal, std::vector<double> kc,
                   synth::ViewOptions v, synth::RenderOptions r, double minTilt = 0, double maxTilt = 50) {
        recipes.push_back({name, size, focal, std::move(kc), v, r, minTilt, maxTilt});
    };
    synth::ViewOptions v;
    synth::RenderOptions r;
    r.supersample = 6;
    r.blurSigma = 0.5;

    add("640x480, clean", {640, 480}, 600, {}, v, r);

    synth::RenderOptions noisy = r;
    noisy.blurSigma = 0.7;
    noisy.noiseSigma = 2;
    add("1280x960, noise 2, blur 0.7", {1280, 960}, 1100, {}, v, noisy);

    synth::RenderOptions lightNoise = r;
    lightNoise.noiseSigma = 1;
    add("1280x960, barrel distortion", {1280, 960}, 900, {-0.35, 0.15, 0.001, -0.001, -0.03}, v, lightNoise);

    synth::ViewOptions tilted = v;
    tilted.maxTiltDeg = 60;
    tilted.minFill = 0.45;
    tilted.maxFill = 0.8;
    add("1280x960, tilt 50 to 60 deg", {1280, 960}, 1100, {}, tilted, lightNoise, 50, 60);

    synth::RenderOptions blurred = r;
    blurred.blurSigma = 2.0;
    blurred.noiseSigma = 1;
    add("800x600, blur 2", {800, 600}, 750, {}, v, blurred);

    synth::RenderOptions uneven = lightNoise;
    uneven.lightGradient = 0.6;
    add("1280x960, uneven light", {1280, 960}, 1100, {}, v, uneven);

    synth::ViewOptions small = v;
    small.minFill = 0.25;
    small.maxFill = 0.35;
    add("1280x960, small board", {1280, 960}, 1100, {}, small, lightNoise);

    if (large) {
        // Large sensors: the detector searches these at their own resolution
        // and measures the corners on enlarged patches.
        synth::RenderOptions three = lightNoise;
        three.supersample = 4;
        three.blurSigma = 0.7;
        add("2048x1536 (3 MP)", {2048, 1536}, 1760, {-0.2, 0.05, 0, 0, 0}, v, three);
        synth::RenderOptions big = lightNoise;
        big.supersample = 2;
        big.blurSigma = 1.0;
        add("4000x3000 (12 MP)", {4000, 3000}, 3400, {-0.1, 0.02, 0, 0, 0}, v, big);
    }
    return recipes;
}

// Renders `views` images per set; every choice comes from fixed seeds.
inline std::vector<ImageSet> renderedSets(int views, bool large)
{
    std::vector<ImageSet> sets;
    std::uint64_t seed = 1000;
    for (const auto& recipe : renderedSetRecipes(large)) {
        ImageSet set{recipe.name, {}};
        const auto cam = synth::makeCamera(recipe.size, recipe.focal, recipe.kc);
        // 12-megapixel renders take long to make and to search: half as many.
        const int n = recipe.size.area() > 4000000 ? std::max(1, views / 2) : views;
        for (int i = 0; i < n; ++i) {
            const cv::Size pattern = renderedPatterns()[size_t(i) % renderedPatterns().size()];
            const double square = 30;
            synth::View view;
            double tilt = -1;
            while (tilt < recipe.minTiltDeg || tilt > recipe.maxTiltDeg) {
                view = synth::boardViews(cam, pattern, square, 1, ++seed, recipe.views)[0];
                tilt = viewTiltDeg(view, pattern, square);
            }
            synth::RenderOptions r = recipe.render;
            r.seed = seed;
            BoardImage img;
            img.name = cv::format("%s #%d (%dx%d, tilt %.0f deg)", recipe.name.c_str(), i, pattern.width,
                                  pattern.height, tilt);
            img.gray = synth::renderChessboard(cam, pattern, square, view, r);
            img.pattern = pattern;
            img.truth = synth::projectBoard(cam, pattern, square, view);
            set.images.push_back(std::move(img));
        }
        sets.push_back(std::move(set));
    }
    return sets;
}

// The real 9x6 photographs left01..left14 (there is no left10).
inline ImageSet photographSet(const std::string& dir)
{
    ImageSet set{"640x480 photographs (9x6)", {}};
    for (int i = 1; i <= 14; ++i) {
        if (i == 10)
            continue;
        const std::string path = cv::format("%s/left%02d.jpg", dir.c_str(), i);
        BoardImage img;
        img.name = cv::format("left%02d.jpg", i);
        img.gray = cv::imread(path, cv::IMREAD_GRAYSCALE);
        img.pattern = {9, 6};
        if (!img.gray.empty())
            set.images.push_back(std::move(img));
    }
    return set;
}

// ---------------------------------------------------------------------------
// Matching
// ---------------------------------------------------------------------------

// Half the smallest distance between two reference corners, a little less:
// a detected corner closer than this to a reference corner belongs to it.
inline double matchRadius(const std::vector<cv::Point2f>& reference)
{
    double closest = 1e300;
    for (size_t i = 0; i < reference.size(); ++i)
        for (size_t k = i + 1; k < reference.size(); ++k)
            closest = std::min(closest, double(cv::norm(reference[i] - reference[k])));
    return 0.45 * closest;
}

// For each detected corner, the index of the reference corner it lies on:
// its nearest one (detectors may start the board at any corner). Empty when
// the matching is not one to one or a corner lies farther than
// matchRadius(reference) from every reference corner (a wrong board).
inline std::vector<size_t> matchIndices(const std::vector<cv::Point2f>& found,
                                        const std::vector<cv::Point2f>& reference)
{
    const double maxDist = matchRadius(reference);
    if (found.size() != reference.size() || found.empty())
        return {};
    std::vector<size_t> out;
    std::vector<bool> taken(reference.size(), false);
    for (const auto& f : found) {
        size_t best = 0;
        double bestD = 1e300;
        for (size_t k = 0; k < reference.size(); ++k) {
            const double d = cv::norm(f - reference[k]);
            if (d < bestD) {
                bestD = d;
                best = k;
            }
        }
        if (taken[best] || bestD > maxDist)
            return {};
        taken[best] = true;
        out.push_back(best);
    }
    return out;
}

// The detected corners reordered to the reference order (see matchIndices).
inline std::vector<cv::Point2f> matchToReference(const std::vector<cv::Point2f>& found,
                                                 const std::vector<cv::Point2f>& reference)
{
    const std::vector<size_t> indices = matchIndices(found, reference);
    if (indices.empty())
        return {};
    std::vector<cv::Point2f> out(reference.size());
    for (size_t i = 0; i < indices.size(); ++i)
        out[indices[i]] = found[i];
    return out;
}

} // namespace cbbench
