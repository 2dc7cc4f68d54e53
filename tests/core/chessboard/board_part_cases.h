#pragma once

// Rendered 9 x 6 boards for the tests that a part of a board (one line
// smaller in x, in y or in both) is never taken for a whole board, shared by
// the detector's and the detection step's tests: poses, turns and tilts,
// light, blur and noise, margins and backgrounds, outer squares cut short
// by the margin (as on the sample photographs), an occluder over part of
// the last column of squares, and boards at the image border.

#include "synthetic.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace board_parts {

const cv::Size kPattern(9, 6);
constexpr double kSquare = 25; // mm

struct Case {
    std::string name;
    synth::Camera cam;
    double rollDeg = 0, tiltXDeg = 0, tiltYDeg = 0; // turn about the optical axis, then tilts
    double fill = 0.75; // board diagonal (with one square of border) / shorter side
    synth::RenderOptions render;
    double cutOuterSquares = 0;     // > 0: outer squares painted over by the margin beyond this fraction
    bool occludeLastColumn = false; // a grey bar across the last column, between its first two corners
    double cropRight = 0;           // > 0: image cut this many squares beyond the last column of corners
    bool detectable = true;         // both detectors find the whole board (false: the ring test alone)
};

// A view of the board centred in the image (see Case).
inline synth::View centredView(const Case& c)
{
    return synth::centredView(c.cam, kPattern, kSquare, c.rollDeg, c.tiltXDeg, c.tiltYDeg, c.fill);
}

inline std::vector<Case> cases()
{
    const synth::Camera vga = synth::makeCamera({800, 600}, 760, {-0.12, 0.03, 0, 0, 0});
    const synth::Camera plain = synth::makeCamera({800, 600}, 760);
    const synth::Camera hd = synth::makeCamera({1280, 960}, 1100);
    const synth::Camera three = synth::makeCamera({2048, 1536}, 1760, {-0.2, 0.05, 0, 0, 0});
    synth::RenderOptions r;
    r.noiseSigma = 1;
    r.blurSigma = 0.6;
    std::vector<Case> all;
    auto add = [&](const std::string& name, const synth::Camera& cam, double roll, double tx, double ty,
                   double fill, synth::RenderOptions o) {
        Case c;
        c.name = name;
        c.cam = cam;
        c.rollDeg = roll;
        c.tiltXDeg = tx;
        c.tiltYDeg = ty;
        c.fill = fill;
        c.render = o;
        c.render.seed = all.size() + 1;
        all.push_back(c);
        return &all.back();
    };
    add("frontal", vga, 0, 0, 0, 0.8, r);
    add("turned 30, tilted 20", vga, 30, 20, -10, 0.8, r);
    add("turned 90, tilted 30", vga, 90, 0, 30, 0.75, r);
    add("turned 135, tilted 40", vga, 135, 40, 15, 0.7, r);
    add("turned 230, tilted 45", vga, 230, 10, 45, 0.7, r);
    add("tilted 55", hd, 10, 55, 0, 0.7, r);
    add("small board", hd, 20, 15, 10, 0.3, r);
    add("3 MP, distortion", three, 300, -20, 20, 0.75, r);
    synth::RenderOptions low = r;
    low.black = 90;
    low.white = 160;
    low.lightGradient = 0.3;
    low.noiseSigma = 2;
    add("low contrast, uneven light", vga, 15, 20, 0, 0.75, low);
    synth::RenderOptions blur = r;
    blur.blurSigma = 2;
    blur.noiseSigma = 2;
    add("blur 2, noise 2", vga, 340, 0, -20, 0.8, blur);
    synth::RenderOptions thin = r;
    thin.borderSquares = 0.15;
    add("thin white margin", vga, 45, 25, 0, 0.75, thin);
    synth::RenderOptions wide = r;
    wide.borderSquares = 2;
    add("wide white margin", vga, 200, 0, 25, 0.6, wide);
    synth::RenderOptions dark = r;
    dark.borderSquares = 0.5;
    dark.background = 20;
    add("dark background", vga, 60, -15, 0, 0.75, dark);
    synth::RenderOptions white = r;
    white.background = 220;
    add("white background", vga, 160, 0, 0, 0.75, white);
    add("outer squares cut short by the margin", plain, 25, 30, 0, 0.8, r)->cutOuterSquares = 0.45;
    add("last column partly occluded", plain, 0, 10, 20, 0.75, r)->occludeLastColumn = true;
    Case* margin = add("margin cut by the image border", plain, 0, 0, 0, 0.8, r);
    margin->cropRight = 1.25;
    margin->detectable = false;
    Case* ring = add("outer squares cut by the image border", plain, 0, 0, 0, 0.8, r);
    ring->cropRight = 0.6;
    ring->detectable = false;
    return all;
}

// Paints the region between `from` and `to` squares beyond the corner grid,
// on every side, with grey level `value` (board plane through its homography;
// an undistorted camera).
inline void paintBand(cv::Mat& img, const std::vector<cv::Point2f>& truth, double from, double to,
                      double value)
{
    std::vector<cv::Point2f> grid;
    for (int r = 0; r < kPattern.height; ++r)
        for (int c = 0; c < kPattern.width; ++c)
            grid.emplace_back(float(c), float(r));
    const cv::Mat H = cv::findHomography(grid, truth);
    auto quad = [&](double d) {
        const double x0 = -1 - d, y0 = -1 - d, x1 = kPattern.width + d, y1 = kPattern.height + d;
        std::vector<cv::Point2f> q{
            {float(x0), float(y0)}, {float(x1), float(y0)}, {float(x1), float(y1)}, {float(x0), float(y1)}},
            out;
        cv::perspectiveTransform(q, out, H);
        std::vector<cv::Point> pts;
        for (const cv::Point2f& p : out)
            pts.emplace_back(cvRound(p.x), cvRound(p.y));
        return pts;
    };
    cv::Mat mask(img.size(), CV_8U, cv::Scalar(0));
    cv::fillConvexPoly(mask, quad(to - 1), cv::Scalar(255), cv::LINE_AA);
    cv::fillConvexPoly(mask, quad(from - 1), cv::Scalar(0), cv::LINE_AA);
    img.setTo(cv::Scalar(value), mask);
}

// The case's image; truth receives the exact inner corners, row by row.
inline cv::Mat render(const Case& c, std::vector<cv::Point2f>& truth)
{
    const synth::View view = centredView(c);
    cv::Mat img = synth::renderChessboard(c.cam, kPattern, kSquare, view, c.render);
    truth = synth::projectBoard(c.cam, kPattern, kSquare, view);
    const int w = kPattern.width;
    if (c.cutOuterSquares > 0)
        paintBand(img, truth, c.cutOuterSquares, 1 + c.render.borderSquares, c.render.white);
    if (c.occludeLastColumn) {
        // Between the first two corners of the last column, from a third of
        // a square inside it to beyond the outer squares: one square of the
        // ring around the whole board, and two corners of the line beyond
        // the part without that column.
        const cv::Point2f in = truth[w - 2], out = truth[w - 1];
        const cv::Point2f down = truth[w + w - 1] - truth[w - 1];
        const cv::Point2f a = out + 0.3f * (in - out) + 0.1f * down,
                          b = out + 1.5f * (out - in) + 0.1f * down;
        const std::vector<cv::Point> bar{cv::Point(a), cv::Point(b), cv::Point(b + 0.8f * down),
                                         cv::Point(a + 0.8f * down)};
        cv::fillConvexPoly(img, bar, cv::Scalar(125), cv::LINE_AA);
    }
    if (c.cropRight > 0) {
        float last = 0, spacing = 0;
        for (int r = 0; r < kPattern.height; ++r) {
            last = std::max(last, truth[r * w + w - 1].x);
            spacing += float(cv::norm(truth[r * w + w - 1] - truth[r * w + w - 2])) / kPattern.height;
        }
        img = img.colRange(0, std::min(img.cols, cvRound(last + c.cropRight * spacing))).clone();
    }
    return img;
}

// The corners of the part rows [r0, r1) x columns [c0, c1) of the board, row by row.
inline std::vector<cv::Point2f> part(const std::vector<cv::Point2f>& truth, int r0, int r1, int c0, int c1)
{
    std::vector<cv::Point2f> out;
    for (int r = r0; r < r1; ++r)
        for (int c = c0; c < c1; ++c)
            out.push_back(truth[r * kPattern.width + c]);
    return out;
}

// Every part one line smaller in x, in y or in both: rows and columns
// [r0, r1) x [c0, c1).
struct Part {
    const char* name;
    int r0, r1, c0, c1;
};
inline const std::vector<Part>& parts()
{
    static const std::vector<Part> all = {
        {"without the first row", 1, 6, 0, 9},
        {"without the last row", 0, 5, 0, 9},
        {"without the first column", 0, 6, 1, 9},
        {"without the last column", 0, 6, 0, 8},
        {"without the first row and column", 1, 6, 1, 9},
        {"without the first row and last column", 1, 6, 0, 8},
        {"without the last row and first column", 0, 5, 1, 9},
        {"without the last row and column", 0, 5, 0, 8},
    };
    return all;
}

} // namespace board_parts
