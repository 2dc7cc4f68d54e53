#include "core/chessboard/chessboard.h"

#include "core/chessboard/chessboard_board.h"
#include "core/chessboard/chessboard_fastx.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>

namespace details {

namespace {

// Fixed constants of the search.
constexpr float kFastThreshold = 150.0f;
constexpr float kAngleStep = 0.7853982f; // pi / 4
constexpr int kNeighbours = 21;
constexpr int kBorder = 5;
constexpr float kAngleTolerance = 0.8377580f; // 48 degrees
constexpr float kMinResponseRatio = 0.1f;
// Checks of a grown board.
constexpr double kMaxSpacingRatio = 1.7;     // neighbouring corner distances along a line
constexpr double kSquarePatch = 0.3;         // side of the patch sampled in a square, relative to the square
constexpr double kMinSquareContrast = 10.0;  // grey levels between the board's dark and bright squares
constexpr double kSquareContrastShare = 0.3; // neighbouring squares differ by this share of the contrast,
constexpr double kRingContrastShare =
    0.2; // ... or this share when one of them lies in the ring around the board
constexpr double kBeyondContrastShare =
    0.5; // squares beyond the ring that alternate by this share continue the board
// X-junctions where the ring meets the squares beyond it: patches at this
// fraction of a square step from the corner along both grid directions, of
// this half side relative to the square, whose neighbours differ by this
// share of the board's contrast.
constexpr double kJunctionOffset = 0.25;
constexpr double kJunctionPatch = 0.08;
constexpr double kJunctionContrastShare = 0.3;

// Difference of two directions taken as lines, in [0, pi/2].
float lineAngleDiff(float a, float b)
{
    float d = std::fabs(a - b);
    if (d > static_cast<float>(CV_PI * 0.5))
        d = std::fabs(d - static_cast<float>(CV_PI));
    return d;
}

// Spacing of neighbouring corners along every row and column changes slowly
// in perspective; a line that skips a corner doubles or halves it.
bool hasEvenSpacing(const std::vector<cv::Point2f>& p, int rows, int cols)
{
    auto ok = [](const cv::Point2f& a, const cv::Point2f& b, const cv::Point2f& c) {
        const double d1 = cv::norm(b - a), d2 = cv::norm(c - b);
        return d1 > 0 && d2 > 0 && d2 < kMaxSpacingRatio * d1 && d1 < kMaxSpacingRatio * d2;
    };
    for (int r = 0; r < rows; ++r)
        for (int c = 1; c + 1 < cols; ++c)
            if (!ok(p[r * cols + c - 1], p[r * cols + c], p[r * cols + c + 1]))
                return false;
    for (int c = 0; c < cols; ++c)
        for (int r = 1; r + 1 < rows; ++r)
            if (!ok(p[(r - 1) * cols + c], p[r * cols + c], p[(r + 1) * cols + c]))
                return false;
    return true;
}

// The corner grid extended by `kExtension` lines on every side, each new
// corner continuing the step between the two nearest of its column, then of
// its row. Corner (r, c) for r in -kExtension .. rows - 1 + kExtension and
// likewise c.
class ExtendedGrid {
public:
    static constexpr int kExtension = 2;

    ExtendedGrid(const std::vector<cv::Point2f>& corners, int rows, int cols)
        : rows_(rows), cols_(cols), stride_(cols + 2 * kExtension),
          points_(static_cast<size_t>((rows + 2 * kExtension) * stride_))
    {
        constexpr int X = kExtension;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                at(r, c) = corners[r * cols + c];
        for (int c = 0; c < cols; ++c)
            for (int k = 1; k <= X; ++k) {
                at(-k, c) = 2.0 * at(1 - k, c) - at(2 - k, c);
                at(rows - 1 + k, c) = 2.0 * at(rows - 2 + k, c) - at(rows - 3 + k, c);
            }
        for (int r = -X; r < rows + X; ++r)
            for (int k = 1; k <= X; ++k) {
                at(r, -k) = 2.0 * at(r, 1 - k) - at(r, 2 - k);
                at(r, cols - 1 + k) = 2.0 * at(r, cols - 2 + k) - at(r, cols - 3 + k);
            }
    }

    int rows() const { return rows_; }
    int cols() const { return cols_; }
    cv::Point2d& at(int r, int c) { return points_[(r + kExtension) * stride_ + (c + kExtension)]; }
    const cv::Point2d& at(int r, int c) const
    {
        return points_[(r + kExtension) * stride_ + (c + kExtension)];
    }

private:
    int rows_, cols_, stride_;
    std::vector<cv::Point2d> points_;
};

// Mean grey level of the square patch of half side `half` centred at m, or
// -1 when the patch is not whole inside the image.
double patchMean(const cv::Mat& image, const cv::Point2d& m, int half)
{
    if (!(std::isfinite(m.x) && std::isfinite(m.y)) || std::fabs(m.x) > 1e6 || std::fabs(m.y) > 1e6)
        return -1;
    const cv::Rect patch(cvRound(m.x) - half, cvRound(m.y) - half, 2 * half + 1, 2 * half + 1);
    if ((patch & cv::Rect(0, 0, image.cols, image.rows)) != patch)
        return -1;
    return cv::mean(image(patch))[0];
}

// Whether the corner lines one square beyond the grid are lines of a
// chessboard's inner corners along a whole side: then the grid is only part
// of a larger board. On a whole board these lines run along the board's
// edge or through its margin, where no X-junction is: the squares of the ring
// meet a plain margin, or the ring's outer squares are cut short by it. At
// each extrapolated corner q of the line, with u the step to its grid
// neighbour and v the step along the line, four small patches at
// q + kJunctionOffset * (+-u +-v) lie in the four squares around q; at an
// X-junction the two beyond the grid have the colours of the ring squares
// diagonally across q, and all four neighbouring pairs differ by a good share
// of the board's contrast. A side continues when at least two of its corners,
// and at least half of those whose patches lie in the image, are such
// junctions (an occluder or the image border may hide the others).
// `brightParity` is (r + c) mod 2 of the board's bright squares.
bool junctionsBeyondRing(const ExtendedGrid& grid, const cv::Mat& image, int brightParity, double contrast)
{
    const int rows = grid.rows(), cols = grid.cols();
    auto isBright = [&](int r, int c) { return (((r + c) % 2) + 2) % 2 == brightParity; };
    // One corner of a side: q, its grid neighbour, the corners before and
    // after it on the line, and the ring squares (row, column) before and
    // after it.
    auto isJunction = [&](const cv::Point2d& q, const cv::Point2d& in, const cv::Point2d& before,
                          const cv::Point2d& after, int r0, int c0, int r1, int c1, bool& known) {
        known = false;
        const cv::Point2d u = in - q, v = 0.5 * (after - before);
        const double size = std::sqrt(std::fabs(u.x * v.y - u.y * v.x));
        if (!std::isfinite(size) || size < 1)
            return false;
        const int half = std::max(1, cvRound(kJunctionPatch * size));
        const double ringBefore = patchMean(image, q + kJunctionOffset * (u - v), half);
        const double ringAfter = patchMean(image, q + kJunctionOffset * (u + v), half);
        const double beyondBefore = patchMean(image, q + kJunctionOffset * (-u - v), half);
        const double beyondAfter = patchMean(image, q + kJunctionOffset * (-u + v), half);
        if (ringBefore < 0 || ringAfter < 0 || beyondBefore < 0 || beyondAfter < 0)
            return false;
        known = true;
        // Going round q: ring before, ring after, beyond after, beyond before;
        // the square beyond has the colour of the ring square diagonally across.
        const bool b0 = isBright(r0, c0), b1 = isBright(r1, c1);
        auto step = [&](double a, double b, bool aBright) { return aBright ? a - b : b - a; };
        const double weakest =
            std::min(std::min(step(ringBefore, ringAfter, b0), step(ringAfter, beyondAfter, b1)),
                     std::min(step(beyondAfter, beyondBefore, b0), step(beyondBefore, ringBefore, b1)));
        return weakest >= kJunctionContrastShare * contrast;
    };
    auto continues = [&](int n, const std::function<bool(int, bool&)>& junction) {
        int known = 0, junctions = 0;
        for (int k = 0; k < n; ++k) {
            bool isKnown = false;
            junctions += junction(k, isKnown);
            known += isKnown;
        }
        return junctions >= 2 && 2 * junctions >= known;
    };
    const auto& e = grid;
    return continues(cols,
                     [&](int c, bool& k) {
                         return isJunction(e.at(-1, c), e.at(0, c), e.at(-1, c - 1), e.at(-1, c + 1), -1,
                                           c - 1, -1, c, k);
                     }) ||
           continues(cols,
                     [&](int c, bool& k) {
                         return isJunction(e.at(rows, c), e.at(rows - 1, c), e.at(rows, c - 1),
                                           e.at(rows, c + 1), rows - 1, c - 1, rows - 1, c, k);
                     }) ||
           continues(rows,
                     [&](int r, bool& k) {
                         return isJunction(e.at(r, -1), e.at(r, 0), e.at(r - 1, -1), e.at(r + 1, -1), r - 1,
                                           -1, r, -1, k);
                     }) ||
           continues(rows, [&](int r, bool& k) {
               return isJunction(e.at(r, cols), e.at(r, cols - 1), e.at(r - 1, cols), e.at(r + 1, cols),
                                 r - 1, cols - 1, r, cols - 1, k);
           });
}

// Mean grey level of a patch in the middle of square (r, c) of the extended
// grid, the square between corner rows r, r + 1 and columns c, c + 1; -1
// when the square's size is not finite or the patch leaves the image.
double squareMean(const ExtendedGrid& grid, const cv::Mat& image, int r, int c)
{
    const int rows = grid.rows(), cols = grid.cols();
    const cv::Point2d a = grid.at(r, c), b = grid.at(r, c + 1), d = grid.at(r + 1, c + 1),
                      f = grid.at(r + 1, c);
    // Ring squares are sampled nearer to the board: the outer squares
    // of many printed targets are cut short by the margin.
    auto weight = [&](int rr, int cc) { return (rr >= 0 && rr < rows && cc >= 0 && cc < cols) ? 3.0 : 1.0; };
    const double wa = weight(r, c), wb = weight(r, c + 1), wd = weight(r + 1, c + 1), wf = weight(r + 1, c);
    const cv::Point2d m = (wa * a + wb * b + wd * d + wf * f) / (wa + wb + wd + wf);
    const double size = std::min(cv::norm(d - a), cv::norm(f - b)) / std::sqrt(2.0);
    if (!std::isfinite(size))
        return -1;
    return patchMean(image, m, std::max(1, cvRound(kSquarePatch * 0.5 * size)));
}

// The mean grey levels of the squares r = -X .. rows - 2 + X,
// c = -X .. cols - 2 + X of the extended grid (squareMean; -1 for a square
// not sampled). A square's level is 0 on the board, 1 in the ring around it,
// 2 beyond.
class SquareSamples {
public:
    static constexpr int X = ExtendedGrid::kExtension;

    SquareSamples(const ExtendedGrid& grid, const cv::Mat& image)
        : rows(grid.rows()), cols(grid.cols()), stride_(cols - 1 + 2 * X),
          values_(static_cast<size_t>((rows - 1 + 2 * X) * stride_), -1.0)
    {
        for (int r = -X; r <= rows - 2 + X; ++r)
            for (int c = -X; c <= cols - 2 + X; ++c)
                values_[(r + X) * stride_ + (c + X)] = squareMean(grid, image, r, c);
    }

    double at(int r, int c) const { return values_[(r + X) * stride_ + (c + X)]; }
    int level(int r, int c) const
    {
        const int lr = r < 0 ? -r : std::max(0, r - (rows - 2));
        const int lc = c < 0 ? -c : std::max(0, c - (cols - 2));
        return std::max(lr, lc);
    }

    const int rows, cols; // corner rows and columns of the board

private:
    int stride_;
    std::vector<double> values_;
};

// Which of the board's squares are bright: those with (r + c) mod 2 ==
// bright; contrast is the difference of the mean grey levels of the bright
// and the dark ones.
struct SquareColours {
    int bright = 0;
    double contrast = 0;
};

// The colours of the board's own squares; false when one of them was not
// sampled or their contrast is too weak for a chessboard.
bool measureBoardSquares(const SquareSamples& squares, SquareColours& colours)
{
    double sum[2] = {0, 0};
    int count[2] = {0, 0};
    for (int r = 0; r + 1 < squares.rows; ++r)
        for (int c = 0; c + 1 < squares.cols; ++c) {
            if (squares.at(r, c) < 0)
                return false;
            sum[(r + c) & 1] += squares.at(r, c);
            ++count[(r + c) & 1];
        }
    if (count[0] == 0 || count[1] == 0)
        return false;
    colours.bright = sum[0] / count[0] > sum[1] / count[1] ? 0 : 1;
    colours.contrast = std::fabs(sum[0] / count[0] - sum[1] / count[1]);
    if (colours.contrast < kMinSquareContrast)
        return false;
    return true;
}

// 1 when squares (r0, c0) and (r1, c1) alternate as a chessboard's, differing
// by at least `share` of the contrast; 0 when not; -1 when one of them was not
// sampled.
int alternation(const SquareSamples& squares, const SquareColours& colours, int r0, int c0, int r1, int c1,
                double share)
{
    const double a = squares.at(r0, c0), b = squares.at(r1, c1);
    if (a < 0 || b < 0)
        return -1;
    const bool aBright = ((((r0 + c0) % 2) + 2) % 2) == colours.bright;
    return (aBright ? a - b : b - a) >= share * colours.contrast ? 1 : 0;
}

// Whether every two neighbouring squares on the board or in the ring around
// it alternate: by kSquareContrastShare of the contrast on the board, by
// kRingContrastShare where a ring square is one of them. A pair with a square
// not sampled is not judged.
bool squaresAlternate(const SquareSamples& squares, const SquareColours& colours)
{
    const int rows = squares.rows, cols = squares.cols;
    auto level = [&](int r, int c) { return squares.level(r, c); };
    auto alternate = [&](int r0, int c0, int r1, int c1, double share) {
        return alternation(squares, colours, r0, c0, r1, c1, share);
    };
    for (int r = -1; r <= rows - 1; ++r)
        for (int c = -1; c <= cols - 1; ++c) {
            const double share = level(r, c) == 0 ? kSquareContrastShare : kRingContrastShare;
            if (c + 1 <= cols - 1 && std::max(level(r, c), level(r, c + 1)) <= 1 &&
                alternate(r, c, r, c + 1, level(r, c + 1) == 0 ? share : kRingContrastShare) == 0)
                return false;
            if (r + 1 <= rows - 1 && std::max(level(r, c), level(r + 1, c)) <= 1 &&
                alternate(r, c, r + 1, c, level(r + 1, c) == 0 ? share : kRingContrastShare) == 0)
                return false;
        }
    return true;
}

// One side of n squares: across(k) tells whether its k-th ring square and the
// square beyond it alternate, along(k) whether the k-th and the next square
// beyond do (alternation's values). The side continues when no pair refuses
// it and at least min(3, n) of the pairs across were sampled (and so
// alternate).
bool sideContinues(int n, const std::function<int(int)>& across, const std::function<int(int)>& along)
{
    int known = 0;
    for (int k = 0; k < n; ++k) {
        const int a = across(k);
        if (a == 0)
            return false;
        known += a > 0;
        if (k + 1 < n && along(k) == 0)
            return false;
    }
    return known >= std::min(3, n);
}

// Does the pattern go on beyond the ring, along a whole side? Then the
// squares beyond it alternate, with full contrast, with the ring and
// among themselves (a margin or a plain background of middle grey lies
// between the ring's dark and bright squares, but does not alternate
// along the side).
bool squaresContinueBeyondRing(const SquareSamples& squares, const SquareColours& colours)
{
    constexpr int X = SquareSamples::X;
    const int rows = squares.rows, cols = squares.cols;
    const double s = kBeyondContrastShare;
    auto alternate = [&](int r0, int c0, int r1, int c1) {
        return alternation(squares, colours, r0, c0, r1, c1, s);
    };
    const int top = -X, bottom = rows - 2 + X, left = -X, right = cols - 2 + X;
    return sideContinues(
               cols - 1, [&](int c) { return alternate(-1, c, top, c); },
               [&](int c) { return alternate(top, c, top, c + 1); }) ||
           sideContinues(
               cols - 1, [&](int c) { return alternate(rows - 1, c, bottom, c); },
               [&](int c) { return alternate(bottom, c, bottom, c + 1); }) ||
           sideContinues(
               rows - 1, [&](int r) { return alternate(r, -1, r, left); },
               [&](int r) { return alternate(r, left, r + 1, left); }) ||
           sideContinues(
               rows - 1, [&](int r) { return alternate(r, cols - 1, r, right); },
               [&](int r) { return alternate(r, right, r + 1, right); });
}

// The squares of the board, and the ring of squares around its inner
// corners that every chessboard has, alternate between dark and bright: every
// two neighbouring squares differ by a good part of the board's contrast. A
// grid that took points off the pattern (the outer corners of the board,
// where the squares meet the margin, or corners of another structure) has a
// ring square of the wrong brightness. Beyond the ring lies the margin or the
// background: when the squares go on alternating there along a whole side, or
// the corners where the ring meets the squares beyond it are X-junctions
// along a whole side (junctionsBeyondRing), the grid is only part of a larger
// board. Squares whose patch leaves the image are not judged. While a board
// grows it is only part of the pattern: then `whole` is false and nothing
// beyond the ring is looked at.
bool hasChessboardSquares(const std::vector<cv::Point2f>& corners, int rows, int cols, const cv::Mat& image,
                          bool whole = true)
{
    const ExtendedGrid grid(corners, rows, cols);
    const SquareSamples squares(grid, image);
    SquareColours colours;
    if (!measureBoardSquares(squares, colours) || !squaresAlternate(squares, colours))
        return false;
    if (!whole)
        return true;
    return !squaresContinueBeyondRing(squares, colours) &&
           !junctionsBeyondRing(grid, image, colours.bright, colours.contrast);
}

// Validates, grows, measures and orients one seed board; empties it when it
// does not become a board of the requested size inside the border box.
void processSeedBoard(Chessboard::Board& board, const cv::Mat& table, cv::flann::Index& index,
                      float minResponse, const cv::Mat& image, cv::Size pattern, const cv::Rect& border)
{
    const cv::Mat H = board.fitGridHomography(100);
    if (board.confirmCorners(table, index, H, minResponse) != 9 || !board.checkContourAngles()) {
        board.reset();
        return;
    }
    // A line of the board's outer corners, where the squares meet the margin,
    // can look like a line of inner corners to the growth; the ring of squares
    // beyond it then does not alternate, and the line is taken off again.
    board.grow(table, index, [&](const Chessboard::Board& b) {
        return hasChessboardSquares(b.getCornerPoints(true), b.rows(), b.cols(), image, false);
    });

    const cv::Size size(board.cols(), board.rows());
    const cv::Size transposed(pattern.height, pattern.width);
    if (size != pattern && size != transposed) {
        board.reset();
        return;
    }
    // Corners that growth only predicted are searched again in the image;
    // a board with a corner that cannot be measured is no result.
    if (!board.measureCorners(image) || !board.hasUniqueCorners()) {
        board.reset();
        return;
    }
    // The grid must be a chessboard's: evenly spaced lines, alternating squares.
    if (!hasEvenSpacing(board.getCornerPoints(true), board.rows(), board.cols()) ||
        !hasChessboardSquares(board.getCornerPoints(true), board.rows(), board.cols(), image)) {
        board.reset();
        return;
    }
    for (const cv::Point2f& p : board.getContour()) {
        if (!(std::isfinite(p.x) && std::isfinite(p.y)) ||
            !border.contains(cv::Point(cvRound(p.x), cvRound(p.y)))) {
            board.reset();
            return;
        }
    }

    board.canonicalizeOrientation(false);
    if (cv::Size(board.cols(), board.rows()) != pattern) {
        // Found with rows and columns swapped: turn it into the requested size.
        if (board.getCell(0, 0)->black == board.getCell(0, board.cols() - 1)->black)
            board.turnLeft();
        else
            board.turnRight();
    }
}

// Half side, in input pixels, of the patch a corner is measured on: it holds
// the strips and the surround of the coarsest scale (scale 4: strips of 32
// input pixels, surround of 32 x 32) around every spot searched.
constexpr int kPatchRadius = 48;
// Working-image pixels around the corner searched for the strength peak.
constexpr int kPeakRadius = 4;

// Measures one corner as the thorough search measures the corners of smaller
// images: at the peak of the feature strength of the image enlarged 2x, here
// computed on a patch around the corner only. Of the scales, the one with the
// strongest peak is used (the coarser one on a tie), as the key points of the
// whole image come from the coarsest scale that no finer one exceeds. Returns
// false, leaving `p`, when no scale has a peak inside the searched window.
bool measureOnEnlargedPatch(const cv::Mat& gray, const FastX::Settings& settings, cv::Point2f& p)
{
    if (!(std::isfinite(p.x) && std::isfinite(p.y)))
        return false;
    const int cx = cvRound(p.x), cy = cvRound(p.y);
    const cv::Rect patch =
        cv::Rect(cx - kPatchRadius, cy - kPatchRadius, 2 * kPatchRadius + 1, 2 * kPatchRadius + 1) &
        cv::Rect(0, 0, gray.cols, gray.rows);
    if (patch.width < 16 || patch.height < 16)
        return false;
    FastX::Settings fs = settings;
    fs.upsample = true;
    const FastX fastx(fs);
    std::vector<cv::Mat> rotated, maps;
    fastx.detectImpl(gray(patch), rotated, maps, cv::Mat());
    rotated.clear();

    // Key points of the enlarged image lie at X / 2 - 0.25 input pixels.
    const float ex = 2.0f * (p.x - patch.x) + 0.5f, ey = 2.0f * (p.y - patch.y) + 0.5f;
    const int X0 = cvRound(ex), Y0 = cvRound(ey);
    float best = 0;
    cv::Point bestLoc(-1, -1);
    const cv::Mat* bestMap = nullptr;
    for (int i = fs.maxScale; i >= fs.minScale; --i) {
        const cv::Mat& M = maps[i - fs.minScale];
        const cv::Rect window =
            cv::Rect(X0 - kPeakRadius, Y0 - kPeakRadius, 2 * kPeakRadius + 1, 2 * kPeakRadius + 1) &
            cv::Rect(1, 1, M.cols - 2, M.rows - 2);
        if (window.empty())
            continue;
        float peak = -FLT_MAX;
        cv::Point loc;
        for (int y = window.y; y < window.br().y; ++y) {
            const float* row = M.ptr<float>(y);
            for (int x = window.x; x < window.br().x; ++x)
                if (row[x] > peak) {
                    peak = row[x];
                    loc = cv::Point(x, y);
                }
        }
        // A maximum on the window's edge is no peak of this window.
        if (loc.x == window.x || loc.y == window.y || loc.x == window.br().x - 1 ||
            loc.y == window.br().y - 1)
            continue;
        if (peak > best) {
            best = peak;
            bestLoc = loc;
            bestMap = &M;
        }
    }
    if (!bestMap)
        return false;
    const cv::Mat& M = *bestMap;
    const int X = bestLoc.x, Y = bestLoc.y;
    const float x = X + subPixelOffset(M.at<float>(Y, X - 1), M.at<float>(Y, X), M.at<float>(Y, X + 1));
    const float y = Y + subPixelOffset(M.at<float>(Y - 1, X), M.at<float>(Y, X), M.at<float>(Y + 1, X));
    p = cv::Point2f(patch.x + 0.5f * x - 0.25f, patch.y + 0.5f * y - 0.25f);
    return true;
}

// FastX settings of the candidate search.
FastX::Settings candidateSettings(const Chessboard::Settings& parameters, const cv::Mat& image)
{
    FastX::Settings fs;
    fs.threshold = kFastThreshold;
    fs.angleStep = kAngleStep;
    fs.branchCount = 2;
    fs.minScale = parameters.minScale;
    fs.maxScale = parameters.maxScale;
    fs.contrastFilter = true;
    fs.upsample =
        parameters.upsample && 4.0 * static_cast<double>(image.total()) <= Chessboard::kMaxUpsampledPixels;
    return fs;
}

} // namespace

Chessboard::Chessboard() = default;

Chessboard::Chessboard(const Settings& settings) : parameters(settings) {}

void Chessboard::detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask)
{
    cv::Mat img = image.getMat();
    cv::Mat msk = mask.getMat();
    cv::Feature2D::detect(img, keypoints, msk);
}

void Chessboard::detectAndCompute(cv::InputArray image, cv::InputArray mask,
                                  std::vector<cv::KeyPoint>& keypoints, cv::OutputArray descriptors, bool)
{
    descriptors.clear();
    std::vector<cv::Mat> maps;
    detectImpl(image.getMat(), keypoints, maps, mask.getMat());
}

int Chessboard::descriptorSize() const
{
    return 0;
}

int Chessboard::descriptorType() const
{
    return 0;
}

void Chessboard::detectImpl(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                            cv::InputArray mask) const
{
    std::vector<cv::Mat> maps;
    detectImpl(image.getMat(), keypoints, maps, mask.getMat());
}

void Chessboard::operator()(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                            cv::OutputArray descriptors) const
{
    descriptors.clear();
    detectImpl(image, keypoints, mask);
}

void Chessboard::detectWithoutDescriptors(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                                          cv::OutputArray descriptors) const
{
    descriptors.assign(cv::Mat());
    std::vector<cv::Mat> maps;
    detectImpl(image.getMat(), keypoints, maps, cv::Mat());
}

void Chessboard::detectImpl(const cv::Mat& image, std::vector<cv::KeyPoint>& keypoints,
                            std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const
{
    keypoints.clear();
    const Board board = detectImpl(image, featureMaps, mask);
    keypoints = board.getCornerKeyPoints(true);
}

void Chessboard::findCornerCandidates(const cv::Mat& image, std::vector<cv::KeyPoint>& keypoints,
                                      std::vector<cv::Mat>& featureMaps,
                                      std::vector<std::vector<float>>& angles, const cv::Mat& mask) const
{
    keypoints.clear();
    angles.clear();

    const FastX fastx(candidateSettings(parameters, image));

    std::vector<cv::Mat> rotated;
    fastx.detectImpl(image, rotated, featureMaps, mask);
    std::vector<cv::KeyPoint> raw;
    fastx.findKeyPoints(featureMaps, raw);

    const int k = std::min(parameters.maxPoints, static_cast<int>(raw.size()));
    if (k < 9)
        return;
    std::partial_sort(raw.begin(), raw.begin() + k, raw.end(),
                      [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.response > b.response; });
    raw.resize(k);
    const std::vector<std::vector<float>> rawAngles = fastx.calcAngles(rotated, raw);
    rotated.clear();

    for (int i = 0; i < k; ++i) {
        if (rawAngles[i].size() != 2)
            continue;
        cv::KeyPoint kp = raw[i];
        const float distance = std::max(0.5f * kp.size + std::sqrt(kp.response), 10.0f);
        const int s = countAsymmetry(image, kp.pt, 0.7f * kp.size, distance);
        if (s > 5)
            continue;
        if (s > 3)
            kp.response = -kp.response;
        keypoints.push_back(kp);
        angles.push_back(rawAngles[i]);
    }
}

cv::Mat Chessboard::keyPointTable(const std::vector<cv::KeyPoint>& keypoints)
{
    cv::Mat table(static_cast<int>(keypoints.size()), 4, CV_32FC1);
    for (int i = 0; i < table.rows; ++i) {
        const cv::KeyPoint& kp = keypoints[i];
        float* row = table.ptr<float>(i);
        row[0] = kp.pt.x;
        row[1] = kp.pt.y;
        row[2] = static_cast<float>(2.0 * CV_PI - kp.angle * CV_PI / 180.0);
        row[3] = kp.response;
    }
    return table;
}

std::vector<cv::KeyPoint> Chessboard::getInitialPoints(cv::flann::Index& index, const cv::Mat& table,
                                                       const cv::KeyPoint& center, float whiteAngle,
                                                       float blackAngle, float minResponse)
{
    const char* fn = "details::Chessboard::getInitialPoints";
    if (table.type() != CV_32F)
        cv::error(cv::Error::StsBadArg, "Unsupported source type", fn, __FILE__, __LINE__);
    if (table.cols != 4)
        cv::error(cv::Error::StsBadArg, "wrong data format", fn, __FILE__, __LINE__);

    std::vector<cv::KeyPoint> points;
    points.push_back(center);
    const int knn = std::min(kNeighbours, table.rows);
    if (knn < 2)
        return points;
    cv::Mat query = (cv::Mat_<float>(1, 2) << center.pt.x, center.pt.y);
    cv::Mat ids, dists;
    index.knnSearch(query, ids, dists, knn, cv::flann::SearchParams(32, 0, true));

    for (int j = 1; j < ids.cols; ++j) {
        const int row = ids.at<int>(0, j);
        if (row < 0 || row >= table.rows)
            continue;
        const float* t = table.ptr<float>(row);
        if (std::fabs(t[3]) < minResponse)
            continue;
        if (lineAngleDiff(t[2], whiteAngle) > kAngleTolerance &&
            lineAngleDiff(t[2], blackAngle) > kAngleTolerance)
            continue;
        points.emplace_back(cv::Point2f(t[0], t[1]), center.size, t[2], t[3], 0, -1);
    }
    return points;
}

void Chessboard::makeSeedBoards(cv::flann::Index& index, const cv::Mat& table, const cv::KeyPoint& center,
                                float whiteAngle, float blackAngle, float minResponse, const cv::Mat&,
                                std::vector<Board>& boards)
{
    const std::vector<cv::KeyPoint> points =
        getInitialPoints(index, table, center, whiteAngle, blackAngle, minResponse);
    if (points.size() < 5)
        return;

    const cv::Point2f c = center.pt;
    const float cw = std::cos(whiteAngle), sw = std::sin(whiteAngle);
    const float cb = std::cos(blackAngle), sb = std::sin(blackAngle);
    std::vector<cv::Point2f> kept;
    for (size_t i = 1; i < points.size(); ++i) {
        const cv::Point2f d0 = points[i].pt - c;
        const float len = static_cast<float>(cv::norm(d0));
        if (!(len > 0))
            continue;
        const cv::Point2f d = d0 / len;
        if (std::fabs(d.x * cw - d.y * sw) < 0.96f && std::fabs(d.x * cb - d.y * sb) < 0.96f)
            kept.push_back(points[i].pt);
    }

    std::vector<std::pair<cv::Point2f, cv::Point2f>> pairs;
    for (size_t i = 0; i < kept.size(); ++i) {
        for (size_t j = i + 1; j < kept.size(); ++j) {
            const cv::Point2f a = kept[i] - c;
            const cv::Point2f b = c - kept[j];
            if (a.dot(b) >= 0.97f * static_cast<float>(cv::norm(a) * cv::norm(b))) {
                if (cv::norm(kept[j]) > cv::norm(kept[i]))
                    pairs.emplace_back(kept[i], kept[j]);
                else
                    pairs.emplace_back(kept[j], kept[i]);
            }
        }
    }
    if (pairs.size() < 2)
        return;

    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t q = 0; q < pairs.size(); ++q) {
        for (size_t r = q + 1; r < pairs.size(); ++r) {
            const cv::Point2f dq = pairs[q].second - pairs[q].first;
            const cv::Point2f dr0 = pairs[r].second - pairs[r].first;
            const cv::Point2f uq = dq / static_cast<float>(cv::norm(dq));
            const cv::Point2f ur = dr0 / static_cast<float>(cv::norm(dr0));
            if (uq.dot(ur) > 0.95f)
                continue;
            if (dr0.y * dq.x - dq.y * dr0.x > 0)
                std::swap(pairs[r].first, pairs[r].second);
            std::vector<cv::Point2f> nine(9, cv::Point2f(nan, nan));
            nine[1] = pairs[r].first;
            nine[3] = pairs[q].first;
            nine[4] = c;
            nine[5] = pairs[q].second;
            nine[7] = pairs[r].second;
            boards.emplace_back(cv::Size(3, 3), nine, whiteAngle, blackAngle);
        }
    }
}

Chessboard::Board Chessboard::detectImpl(const cv::Mat& image, std::vector<cv::Mat>& featureMaps,
                                         const cv::Mat& mask) const
{
    if (image.type() != CV_8UC1)
        cv::error(cv::Error::StsBadArg, "Unsupported image type", "details::Chessboard::detectImpl", __FILE__,
                  __LINE__);
    featureMaps.clear();
    const cv::Size pattern = parameters.patternSize;
    const std::int64_t area = static_cast<std::int64_t>(pattern.width) * pattern.height;
    if (area > std::numeric_limits<int>::max() / 2)
        return Board(); // far more corners than any image holds
    const int P = static_cast<int>(area);
    // Too small to hold a board of at least 3 x 3 inner corners inside the border box.
    if (image.cols < 4 * kBorder || image.rows < 4 * kBorder || P <= 0)
        return Board();

    std::vector<cv::KeyPoint> candidates;
    std::vector<std::vector<float>> angles;
    findCornerCandidates(image, candidates, featureMaps, angles, mask);
    const int n = static_cast<int>(candidates.size());
    if (n < P)
        return Board();
    const float ref = std::fabs(kMinResponseRatio * candidates.front().response);
    for (int i = 0; i < std::min(n, P); ++i)
        if (std::fabs(candidates[i].response) < ref)
            return Board();

    while (static_cast<int>(candidates.size()) < kNeighbours)
        candidates.emplace_back(cv::Point2f(-99999.0f, -99999.0f), 0.0f, 0.0f, 0.0f, 0, -1);

    const cv::Mat table = keyPointTable(candidates);
    const cv::Mat positions = table.colRange(0, 2).clone();
    // An exact index: a randomised k-d tree is built from the process's
    // global random state, and its approximate answers could differ between
    // two detections of the same image. At most a few hundred candidates make
    // the exhaustive search cheap.
    cv::flann::Index index(positions, cv::flann::LinearIndexParams(), cvflann::FLANN_DIST_EUCLIDEAN);
    const cv::Rect border(kBorder, kBorder, image.cols - 2 * kBorder, image.rows - 2 * kBorder);

    const int N = static_cast<int>(candidates.size());
    int limit = std::min(parameters.maxSeeds, N);
    for (int i = 0; i < limit; ++i) {
        const float minResponse = kMinResponseRatio * candidates[i].response;
        if (minResponse <= 0) {
            if (limit + 1 < N)
                ++limit;
            continue;
        }
        const std::vector<float>& a = angles[i];
        float white = std::fabs(a.front());
        float black = std::fabs(a.back());
        if (a.front() < 0)
            std::swap(white, black);

        std::vector<Board> boards;
        makeSeedBoards(index, table, candidates[i], white, black, minResponse, image, boards);
        cv::parallel_for_(cv::Range(0, static_cast<int>(boards.size())), [&](const cv::Range& range) {
            for (int b = range.start; b < range.end; ++b)
                processSeedBoard(boards[b], table, index, minResponse, image, pattern, border);
        });

        int best = -1;
        for (int b = 0; b < static_cast<int>(boards.size()); ++b) {
            if (!boards[b].hasCells())
                continue;
            if (best < 0 || boards[b].rows() * boards[b].cols() > boards[best].rows() * boards[best].cols())
                best = b;
        }
        if (best >= 0) {
            Board& board = boards[best];
            const FastX::Settings fs = candidateSettings(parameters, image);
            if (parameters.upsample && !fs.upsample) {
                // Searched at its own resolution: measure the corners on
                // enlarged patches, each corner on its own.
                std::vector<cv::Point2f> points = board.getCornerPoints(true);
                cv::parallel_for_(cv::Range(0, static_cast<int>(points.size())), [&](const cv::Range& range) {
                    for (int k = range.start; k < range.end; ++k)
                        measureOnEnlargedPatch(image, fs, points[k]);
                });
                board.setCornerPoints(points);
            }
            return board;
        }
    }
    return Board();
}

} // namespace details

bool findChessboardCorners2(cv::InputArray image, cv::Size patternSize, cv::OutputArray corners, int mode,
                            cv::OutputArray meta)
{
    const char* fn = "findChessboardCorners2";
    if (patternSize.width <= 2 || patternSize.height <= 2)
        cv::error(cv::Error::StsOutOfRange, "Both width and height of the pattern should have bigger than 2",
                  fn, __FILE__, __LINE__);
    if (!corners.needed())
        cv::error(cv::Error::StsNullPtr, "Null pointer to corners", fn, __FILE__, __LINE__);

    const cv::Mat img = image.getMat();
    cv::Mat gray;
    if (img.channels() == 1)
        gray = img;
    else
        cv::cvtColor(img, gray, cv::COLOR_BGR2GRAY);

    details::Chessboard::Settings settings;
    settings.patternSize = patternSize;
    // Corner counts beyond any image's reach are capped: such a board is
    // simply not found.
    const std::int64_t area = static_cast<std::int64_t>(patternSize.width) * patternSize.height;
    const int wh = static_cast<int>(std::min<std::int64_t>(area, std::numeric_limits<int>::max() / 2));
    if (mode == 1) {
        settings.minScale = 2;
        settings.maxScale = 4;
        settings.maxPoints = std::max(2 * wh, 500);
        settings.maxSeeds = 100;
        settings.upsample = true;
    } else {
        settings.minScale = 2;
        settings.maxScale = 3;
        settings.maxPoints = 2 * wh;
        settings.maxSeeds = 50;
        settings.upsample = false;
    }
    const details::Chessboard detector(settings);

    std::vector<cv::Mat> maps;
    const details::Chessboard::Board board = detector.detectImpl(gray, maps, cv::Mat());
    maps.clear();

    const std::vector<cv::KeyPoint> keypoints = board.getCornerKeyPoints(true);
    if (keypoints.empty()) {
        corners.release();
        if (meta.needed())
            meta.release();
        return false;
    }
    std::vector<cv::Point2f> points;
    cv::KeyPoint::convert(keypoints, points);
    cv::Mat(points).copyTo(corners);

    if (meta.needed()) {
        meta.create(board.rows(), board.cols(), CV_8UC1);
        cv::Mat m = meta.getMat();
        m.setTo(0);
        for (int r = 0; r < board.rows() - 1; ++r)
            for (int c = 0; c < board.cols() - 1; ++c)
                m.at<uchar>(r, c) = board.getCell(r, c)->black ? 1 : 2;
    }
    return true;
}

bool isWholeChessboard(const cv::Mat& gray, cv::Size patternSize, const std::vector<cv::Point2f>& corners)
{
    CV_Assert(gray.type() == CV_8UC1);
    const int rows = patternSize.height, cols = patternSize.width;
    if (rows < 2 || cols < 2 || corners.size() != static_cast<size_t>(rows) * static_cast<size_t>(cols))
        return false;
    return details::hasEvenSpacing(corners, rows, cols) &&
           details::hasChessboardSquares(corners, rows, cols, gray);
}
