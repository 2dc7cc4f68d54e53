// Which board corner each chessboard detector numbers first, and which way
// its rows run, as the dialogs run the detectors (detectChessboard with the
// forms' defaults): OpenCV's findChessboardCorners followed by the adaptive
// refinement ("classic", the forms' default) and the program's own
// findChessboardCorners2 ("own", "Radon Chessboard Detection").
//
//  - Rendered boards with exact corners, turned all the way round in the
//    image in steps and tilted, for boards of an odd and an even count (both
//    ways round), of two even and of two odd counts. A physical corner is
//    named by its place on the board as rendered: (c, r) is the corner in
//    column c and row r of the rendered grid, x along its rows of w corners,
//    and the outer square at corner (0, 0) is black. "+x" etc. is the
//    direction of the detector's first row on the board.
//  - The same boards (7x6) turned to within a degree of 45 degrees (the
//    squares' diagonals along the image axes), in quarter-degree steps.
//  - OpenCV's 9x6 sample photographs of one board moved in front of the
//    camera: there is no truth, so a corner is told by the colour of the
//    square at it and by the handedness of the grid in the image.
//  - The poses that the target pose run estimates from the two detectors'
//    corners of one image: how far apart the two board origins lie and by
//    how much the two board frames are turned against each other.
//  - The robot runs on rendered chains (robot-world: target on the flange,
//    hand-eye: camera on the flange) with each detector: how far apart the
//    two detectors' results lie.
//
// Usage: chessboard_origin [--step DEG] [--table] [--data DIR]
//   --step   turn between rendered views, degrees (default 15)
//   --table  print every rendered view, not only the summaries
//   --data   folder of left01.jpg..left14.jpg (default: OpenCV's samples)

#include "chessboard_common.h"
#include "core/calib/robot_calib.h"
#include "core/calib/target_pose.h"
#include "core/chessboard/chessboard_detection.h"
#include "robot_chain.h"

#include <opencv2/calib3d.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Options {
    double step = 15;
    bool table = false;
    std::string data = TESSIMO_SAMPLE_DATA;
};

struct DetectorChoice {
    const char* key;
    bool radon;
};

const DetectorChoice kDetectors[] = {{"classic", false}, {"own", true}};

ChessboardOptions formOptions(cv::Size pattern, bool radon)
{
    ChessboardOptions o;
    o.patternSize = pattern;
    o.squareWidth = o.squareHeight = 40; // the target pose form's default
    o.radon = radon;
    return o;
}

// Boards rendered with sensor noise and a little blur.
synth::RenderOptions noisyRender(std::uint64_t seed)
{
    synth::RenderOptions render;
    render.noiseSigma = 1;
    render.blurSigma = 0.6;
    render.seed = seed;
    return render;
}

// The target pose run's input for one image, with the camera's intrinsics
// and the form's detection options.
TargetPoseInput targetPoseInput(const cv::Mat& gray, const synth::Camera& cam, cv::Size pattern,
                                double square, bool radon)
{
    TargetPoseInput in;
    in.image = gray;
    in.detection = formOptions(pattern, radon);
    in.patternSize = pattern;
    in.squareWidth = in.squareHeight = static_cast<float>(square);
    in.K = cv::Mat(cam.K);
    in.kc = cam.kc;
    return in;
}

// What one detection says about its order. Grid positions are those of the
// rendered board (column, row).
struct Observation {
    bool found = false;
    bool matched = false; // every corner near its own true corner
    int c0 = 0, r0 = 0;   // the board corner numbered 0
    std::string rowDir;   // direction of the first row on the board: +x, -x, +y, -y
    bool whiteAtOrigin = false;
    bool mirrored = false;       // the grid's handedness differs from the image's
    bool nearestOrigin = false;  // corner 0 is the outer corner nearest the image origin
    bool nearerThanLast = false; // corner 0 is nearer the image origin than the last corner
    bool aboveLastRow = false;   // corner 0 lies above the first corner of the last row
    double rowAngle = 0;         // first row's direction in the image, degrees (0 right, 90 down)
};

// The image-side properties of a found grid (w corners per row).
void imageSide(const std::vector<cv::Point2f>& found, cv::Size pattern, Observation& o)
{
    const int w = pattern.width, h = pattern.height;
    const cv::Point2f right = found[1] - found[0], down = found[w] - found[0];
    o.mirrored = right.x * down.y - right.y * down.x < 0;
    o.rowAngle = std::atan2(right.y, right.x) * 180.0 / CV_PI;
    const size_t outer[4] = {0, size_t(w - 1), size_t(w * (h - 1)), size_t(w * h - 1)};
    auto d2 = [&](size_t k) { return found[k].x * found[k].x + found[k].y * found[k].y; };
    o.nearestOrigin = true;
    for (size_t k : outer)
        if (d2(k) < d2(0))
            o.nearestOrigin = false;
    o.nearerThanLast = d2(0) < d2(size_t(w * h - 1));
    o.aboveLastRow = found[0].y < found[size_t(w * (h - 1))].y;
}

Observation observe(const cv::Mat& gray, cv::Size pattern, bool radon, const std::vector<cv::Point2f>& truth)
{
    Observation o;
    std::vector<cv::Point2f> found;
    o.found = detectChessboard(gray, formOptions(pattern, radon), found);
    if (!o.found)
        return o;
    imageSide(found, pattern, o);
    const std::vector<size_t> idx = cbbench::matchIndices(found, truth);
    if (idx.empty())
        return o;
    const int w = pattern.width;
    o.matched = true;
    o.c0 = static_cast<int>(idx[0]) % w;
    o.r0 = static_cast<int>(idx[0]) / w;
    const int step = static_cast<int>(idx[1]) - static_cast<int>(idx[0]);
    o.rowDir = step == 1 ? "+x" : step == -1 ? "-x" : step == w ? "+y" : step == -w ? "-y" : "?";
    // The outer square at a corner of the grid: square (-1 or w - 1, -1 or
    // h - 1); square (i, j) is black when i + j is even.
    const int sx = o.c0 == 0 ? -1 : w - 1, sy = o.r0 == 0 ? -1 : pattern.height - 1;
    o.whiteAtOrigin = (sx + sy) % 2 != 0;
    return o;
}

std::string label(const Observation& o)
{
    if (!o.found)
        return "-";
    if (!o.matched)
        return "?";
    return cv::format("(%d,%d)%s%s%s", o.c0, o.r0, o.rowDir.c_str(), o.whiteAtOrigin ? "W" : "B",
                      o.mirrored ? " mirrored" : "");
}

struct Tilt {
    const char* name;
    double x, y;
};

const Tilt kTilts[] = {{"none", 0, 0}, {"35 about x", 35, 0}, {"35 about y", 0, 35}, {"25/-25", 25, -25}};

struct Tally {
    int views = 0, found = 0, matched = 0, mirrored = 0, white = 0, nearest = 0, nearer = 0, above = 0;
    std::map<std::string, int> origins; // "(c,r)dir" -> count
    void add(const Observation& o)
    {
        ++views;
        if (!o.found)
            return;
        ++found;
        mirrored += o.mirrored;
        nearest += o.nearestOrigin;
        nearer += o.nearerThanLast;
        above += o.aboveLastRow;
        if (!o.matched)
            return;
        ++matched;
        white += o.whiteAtOrigin;
        ++origins[cv::format("(%d,%d)%s", o.c0, o.r0, o.rowDir.c_str())];
    }
};

// Columns of the summary: views per pattern and detector, and in how many
// of them each property held.
const char* const kSummaryHeader =
    "| Pattern | Detector | Found | Origins (count) | Mirrored | Origin at white square | Corner 0 nearest "
    "the image origin of the four outer corners | Corner 0 nearer the image origin than the last | Corner 0 "
    "above the last row's first |\n|---|---|---|---|---|---|---|---|---|\n";

void renderedBoards(const Options& opt)
{
    const synth::Camera cam = synth::makeCamera({1280, 960}, 1100);
    const std::vector<cv::Size> patterns{{7, 6}, {9, 6}, {6, 7}, {8, 6}, {7, 5}, {6, 6}, {7, 7}};
    std::printf("## Rendered boards (1280x960, f 1100 px, turns 0..360 by %.0f deg, tilts:", opt.step);
    for (const Tilt& t : kTilts)
        std::printf(" %s;", t.name);
    std::printf(" noise 1, blur 0.6)\n\n");
    std::printf("Origin: board corner (column, row) numbered 0 and the direction of the first row on the "
                "board; B/W: colour of the outer square at that corner.\n\n");
    std::printf("%s", kSummaryHeader);
    for (const cv::Size& pattern : patterns) {
        Tally tally[2];
        std::vector<std::string> rows;
        for (const Tilt& tilt : kTilts)
            for (double roll = 0; roll < 360 - 1e-9; roll += opt.step) {
                const synth::View view = synth::centredView(cam, pattern, 25, roll, tilt.x, tilt.y, 0.7);
                const cv::Mat gray = synth::renderChessboard(
                    cam, pattern, 25, view, noisyRender(static_cast<std::uint64_t>(roll * 10 + tilt.x + 1)));
                const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, view);
                std::string row =
                    cv::format("| %dx%d | %s | %.0f |", pattern.width, pattern.height, tilt.name, roll);
                for (int d = 0; d < 2; ++d) {
                    const Observation o = observe(gray, pattern, kDetectors[d].radon, truth);
                    tally[d].add(o);
                    row += cv::format(" %s, row at %.0f deg%s%s%s |", label(o).c_str(), o.rowAngle,
                                      o.nearestOrigin ? ", nearest" : "", o.nearerThanLast ? ", nearer" : "",
                                      o.aboveLastRow ? ", above" : "");
                }
                rows.push_back(row);
            }
        for (int d = 0; d < 2; ++d) {
            const Tally& t = tally[d];
            std::string origins;
            for (const auto& [key, n] : t.origins)
                origins += cv::format("%s%s %d", origins.empty() ? "" : ", ", key.c_str(), n);
            std::printf("| %dx%d | %s | %d / %d | %s | %d | %d / %d | %d | %d | %d |\n", pattern.width,
                        pattern.height, kDetectors[d].key, t.found, t.views, origins.c_str(), t.mirrored,
                        t.white, t.matched, t.nearest, t.nearer, t.above);
        }
        if (opt.table) {
            std::printf("\n| Pattern | Tilt | Turn | classic | own |\n|---|---|---|---|---|\n");
            for (const std::string& r : rows)
                std::printf("%s\n", r.c_str());
            std::printf("\n%s", kSummaryHeader);
        }
    }
    std::printf("\n");
}

// Views of a 7x6 board turned to within a degree of 45 + k 90 degrees, in
// quarter-degree steps: in how many each detector keeps its corner (OpenCV's
// the inner corner at a black corner square, the own one at a white one).
void nearDiagonal()
{
    const synth::Camera cam = synth::makeCamera({1280, 960}, 1100);
    const cv::Size pattern(7, 6);
    std::printf("## 7x6 turned to 45, 135, 225, 315 deg, -1 to +1 deg by 0.25 deg (36 views per tilt)\n\n");
    std::printf(
        "| Tilt about x (deg) | classic: black corner first | own: white corner first | Other views |\n"
        "|---|---|---|---|\n");
    for (double tilt : {0.0, 5.0, 10.0, 20.0, 35.0}) {
        int views = 0, kept[2] = {0, 0};
        std::string other;
        for (double base = 45; base < 360; base += 90)
            for (double off = -1; off <= 1.001; off += 0.25) {
                const double roll = base + off;
                const synth::View view = synth::centredView(cam, pattern, 25, roll, tilt, 0, 0.7);
                const cv::Mat gray = synth::renderChessboard(
                    cam, pattern, 25, view, noisyRender(static_cast<std::uint64_t>(++views)));
                const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, view);
                for (int d = 0; d < 2; ++d) {
                    const Observation o = observe(gray, pattern, kDetectors[d].radon, truth);
                    const bool rule = o.matched && !o.mirrored && o.whiteAtOrigin == kDetectors[d].radon;
                    kept[d] += rule;
                    if (!rule)
                        other += cv::format("%s%s %.2f: %s", other.empty() ? "" : "; ", kDetectors[d].key,
                                            roll, label(o).c_str());
                }
            }
        std::printf("| %.0f | %d / %d | %d / %d | %s |\n", tilt, kept[0], views, kept[1], views,
                    other.c_str());
    }
    std::printf("\n");
}

// Mean grey level of the square between corners k, k + 1, k + w, k + w + 1,
// sampled on a small patch around its centre.
double squareMean(const cv::Mat& gray, const std::vector<cv::Point2f>& c, int w, int k)
{
    const cv::Point2f m = 0.25f * (c[k] + c[k + 1] + c[k + w] + c[k + w + 1]);
    const cv::Rect patch(cv::Point(m) - cv::Point(2, 2), cv::Size(5, 5));
    return cv::mean(gray(patch & cv::Rect(0, 0, gray.cols, gray.rows)))[0];
}

void photographs(const Options& opt)
{
    const cv::Size pattern(9, 6);
    const int w = pattern.width;
    const cbbench::ImageSet set = cbbench::photographSet(opt.data);
    std::printf("## Photographs (%s)\n\n", set.name.c_str());
    std::printf("First square: colour of the square between corners 0, 1, w, w + 1 (against its right "
                "neighbour). Same corner: the classic detector's corner 0 against the own detector's.\n\n");
    std::printf("| Image | classic: corner 0 (px), row at, first square, mirrored | own: corner 0 (px), row "
                "at, first square, mirrored | classic's corner 0 is own's |\n|---|---|---|---|\n");
    for (const cbbench::BoardImage& img : set.images) {
        std::vector<cv::Point2f> found[2];
        std::string cells[2];
        for (int d = 0; d < 2; ++d) {
            if (!detectChessboard(img.gray, formOptions(pattern, kDetectors[d].radon), found[d])) {
                cells[d] = "not found";
                continue;
            }
            Observation o;
            imageSide(found[d], pattern, o);
            const bool white = squareMean(img.gray, found[d], w, 0) > squareMean(img.gray, found[d], w, 1);
            cells[d] = cv::format("(%.0f, %.0f), %.0f deg, %s, %s", found[d][0].x, found[d][0].y, o.rowAngle,
                                  white ? "white" : "black", o.mirrored ? "yes" : "no");
        }
        std::string same = "-";
        if (!found[0].empty() && !found[1].empty()) {
            const double radius = cbbench::matchRadius(found[1]);
            same = cv::norm(found[0][0] - found[1][0]) < radius               ? "first"
                   : cv::norm(found[0][0] - found[1].back()) < radius         ? "last"
                   : cv::norm(found[0][0] - found[1][size_t(w - 1)]) < radius ? "end of first row"
                                                                              : "other";
        }
        std::printf("| %s | %s | %s | %s |\n", img.name.c_str(), cells[0].c_str(), cells[1].c_str(),
                    same.c_str());
    }
    std::printf("\n");
}

// The target pose run on one render with each detector: the offset between
// the two board origins and the angle between the two board frames.
void poses()
{
    const synth::Camera cam = synth::makeCamera({1280, 960}, 1100);
    std::printf("## Target pose from each detector's corners (squares 40 mm, iterative PnP)\n\n");
    std::printf("| Pattern | Turn | Origin offset (mm) | Board extent (mm) | Angle between frames (deg) | "
                "Turn axis in the board |\n|---|---|---|---|---|---|\n");
    for (const cv::Size pattern : {cv::Size(7, 6), cv::Size(9, 6)})
        for (double roll : {0.0, 120.0, 250.0}) {
            const synth::View view = synth::centredView(cam, pattern, 40, roll, 20, -15, 0.7);
            const cv::Mat gray = synth::renderChessboard(cam, pattern, 40, view, noisyRender(1));
            TargetPoseResult result[2];
            for (int d = 0; d < 2; ++d)
                result[d] = estimateTargetPose(targetPoseInput(gray, cam, pattern, 40, kDetectors[d].radon));
            if (!result[0].ok() || !result[1].ok()) {
                std::printf("| %dx%d | %.0f | not found | | | |\n", pattern.width, pattern.height, roll);
                continue;
            }
            // Own board frame in the classic board frame: R_c^T R_o.
            const cv::Mat R = result[0].R.t() * result[1].R;
            cv::Mat axisAngle;
            cv::Rodrigues(R, axisAngle);
            const double angle = cv::norm(axisAngle) * 180.0 / CV_PI;
            const cv::Mat axis = axisAngle / cv::norm(axisAngle);
            std::printf("| %dx%d | %.0f | %.1f | %.1f | %.2f | (%.3f, %.3f, %.3f) |\n", pattern.width,
                        pattern.height, roll, cv::norm(result[0].tvec - result[1].tvec),
                        std::hypot((pattern.width - 1) * 40.0, (pattern.height - 1) * 40.0), angle,
                        axis.at<double>(0), axis.at<double>(1), axis.at<double>(2));
        }
    std::printf("\n");
}

double angleDeg(const cv::Mat& Ra, const cv::Mat& Rb)
{
    cv::Mat r;
    cv::Rodrigues(Ra.t() * Rb, r);
    return cv::norm(r) * 180.0 / CV_PI;
}

// The views of a rendered chain as a robot run builds them, with one
// detector; empty when a board is missed or its pose fails.
std::vector<RobotView> chainViews(const synth::Camera& cam, cv::Size pattern, double square,
                                  const robot_chain::Chain& chain, bool radon)
{
    std::vector<RobotView> views;
    for (size_t i = 0; i < chain.views.size(); ++i) {
        const cv::Mat gray =
            synth::renderChessboard(cam, pattern, square, chain.views[i], noisyRender(i + 1));
        const TargetPoseResult pose = estimateTargetPose(targetPoseInput(gray, cam, pattern, square, radon));
        if (!pose.ok())
            return {};
        views.push_back(
            {chain.tcp[i].R, chain.tcp[i].t, pose.rvec, pose.tvec, pose.objectPoints, pose.imagePoints});
    }
    return views;
}

// Robot-world and hand-eye on rendered 7x6 chains (squares 40 mm), once with
// each detector: the difference between the two results.
void robotRuns()
{
    const synth::Camera cam = synth::makeCamera({1280, 960}, 1100);
    const cv::Size pattern(7, 6);
    const double square = 40;
    std::printf("## Robot runs, classic against own (7x6, squares 40 mm, 12 rendered views)\n\n");
    std::printf("| Run | Result | Offset (mm) | Angle (deg) |\n|---|---|---|---|\n");
    RobotCalibResult rw[2], he[2];
    const robot_chain::Chain rwChain = robot_chain::robotWorldChain(cam, pattern, square, 12, 7);
    const robot_chain::Chain heChain = robot_chain::handEyeChain(cam, pattern, square, 12, 8);
    for (int d = 0; d < 2; ++d) {
        const std::vector<RobotView> rwViews = chainViews(cam, pattern, square, rwChain, kDetectors[d].radon);
        const std::vector<RobotView> heViews = chainViews(cam, pattern, square, heChain, kDetectors[d].radon);
        if (rwViews.empty() || heViews.empty()) {
            std::printf("| %s | a board was not found | | |\n\n", kDetectors[d].key);
            return;
        }
        rw[d] = solveRobotWorld(rwViews, cv::Mat(cam.K), cam.kc, {});
        he[d] = solveHandEye(heViews, cv::Mat(cam.K), cam.kc, cv::CALIB_HAND_EYE_PARK);
        if (!rw[d].ok() || !he[d].ok()) {
            std::printf("| %s | %s%s | | |\n\n", kDetectors[d].key, rw[d].message.c_str(),
                        he[d].message.c_str());
            return;
        }
    }
    std::printf("| Robot-World | target in TCP (X) | %.1f | %.2f |\n", cv::norm(rw[0].tX - rw[1].tX),
                angleDeg(rw[0].RX, rw[1].RX));
    std::printf("| Robot-World | camera in base (Y) | %.2f | %.3f |\n", cv::norm(rw[0].tY - rw[1].tY),
                angleDeg(rw[0].RY, rw[1].RY));
    std::printf("| Hand-Eye | camera in TCP (X) | %.2f | %.3f |\n", cv::norm(he[0].tX - he[1].tX),
                angleDeg(he[0].RX, he[1].RX));
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--step") && i + 1 < argc)
            opt.step = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--table"))
            opt.table = true;
        else if (!std::strcmp(argv[i], "--data") && i + 1 < argc)
            opt.data = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--step DEG] [--table] [--data DIR]\n", argv[0]);
            return 2;
        }
    }
    if (!(opt.step > 0)) {
        std::fprintf(stderr, "--step must be positive\n");
        return 2;
    }
    renderedBoards(opt);
    nearDiagonal();
    photographs(opt);
    poses();
    robotRuns();
    return 0;
}
