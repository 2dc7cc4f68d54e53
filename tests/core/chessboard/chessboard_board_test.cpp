// Board model of the chessboard detector: cells and corners, growth over a
// table of corner candidates, validation, orientation and output.

#include "core/chessboard/chessboard_board.h"

#include "synthetic.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <opencv2/flann.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using testing_support::expectCvError;

using Board = details::Chessboard::Board;
using Cell = Board::Cell;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kPi = static_cast<float>(CV_PI);

// Image direction (radians, direction (cos a, -sin a)) of a vector.
float directionOf(const cv::Point2f& v)
{
    return std::atan2(-v.y, v.x);
}

// Corners of a grid: corner (r, c) at H * (c, r, 1).
std::vector<cv::Point2f> gridPoints(int rows, int cols, const cv::Matx33d& H)
{
    std::vector<cv::Point2f> pts;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const cv::Vec3d p = H * cv::Vec3d(c, r, 1);
            pts.emplace_back(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
        }
    return pts;
}

// Axis-aligned grid: spacing s, corner (0, 0) at (x0, y0).
cv::Matx33d similarity(double s, double x0, double y0, double rotDeg = 0)
{
    const double a = rotDeg * CV_PI / 180;
    return cv::Matx33d(s * std::cos(a), -s * std::sin(a), x0, s * std::sin(a), s * std::cos(a), y0, 0, 0, 1);
}

// A perspective grid, cells about 30 px, foreshortened to the right and down.
cv::Matx33d perspective()
{
    return cv::Matx33d(30, 2, 80, -1, 28, 60, 0.012, 0.008, 1);
}

// A table of corner candidates with its search index, padded like the
// detector's with far-away candidates of response 0 to at least 21 rows.
struct Candidates {
    cv::Mat table;
    cv::Mat xy;
    std::unique_ptr<cv::flann::Index> index;

    explicit Candidates(std::vector<cv::Vec4f> rows)
    {
        while (rows.size() < 21)
            rows.emplace_back(-99999.f, -99999.f, 0.f, 0.f);
        table = cv::Mat(static_cast<int>(rows.size()), 4, CV_32F);
        for (int i = 0; i < table.rows; ++i)
            for (int k = 0; k < 4; ++k)
                table.at<float>(i, k) = rows[i][k];
        xy = table.colRange(0, 2).clone();
        // the same exact index the detector builds
        index = std::make_unique<cv::flann::Index>(xy, cv::flann::LinearIndexParams(),
                                                   cvflann::FLANN_DIST_EUCLIDEAN);
    }
};

// Candidates at the given points, with edge angle `angle` and response `response`.
std::vector<cv::Vec4f> candidatesAt(const std::vector<cv::Point2f>& pts, float angle, float response = 100)
{
    std::vector<cv::Vec4f> rows;
    for (const cv::Point2f& p : pts)
        rows.emplace_back(p.x, p.y, angle, response);
    return rows;
}

// The 3 x 3 seed around grid corner (r, c): the centre row and column known,
// the four outer corners NaN.
std::vector<cv::Point2f> seedPoints(const std::vector<cv::Point2f>& grid, int cols, int r, int c)
{
    auto at = [&](int rr, int cc) { return grid[static_cast<size_t>(rr) * cols + cc]; };
    const cv::Point2f n(kNaN, kNaN);
    return {n, at(r - 1, c), n, at(r, c - 1), at(r, c), at(r, c + 1), n, at(r + 1, c), n};
}

// Diagonal directions of a grid at corner (r, c): through the cells
// (r-1, c) / (r, c-1) and through (r-1, c-1) / (r, c).
void diagonals(const std::vector<cv::Point2f>& grid, int cols, int r, int c, float& d1, float& d2)
{
    auto at = [&](int rr, int cc) { return grid[static_cast<size_t>(rr) * cols + cc]; };
    d1 = directionOf(at(r - 1, c + 1) - at(r + 1, c - 1));
    d2 = directionOf(at(r + 1, c + 1) - at(r - 1, c - 1));
}

bool samePoints(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i]) && !(std::isnan(a[i].x) && std::isnan(b[i].x)))
            return false;
    return true;
}

// Checks the grid invariants: mutual links, shared corners, alternating colours.
void expectConsistentGrid(Board& b)
{
    for (int r = 0; r < b.rows() - 1; ++r)
        for (int c = 0; c < b.cols() - 1; ++c) {
            SCOPED_TRACE("cell " + std::to_string(r) + "," + std::to_string(c));
            Cell* cell = b.getCell(r, c);
            EXPECT_EQ(cell->topLeft, &b.getCorner(r, c));
            EXPECT_EQ(cell->topRight, &b.getCorner(r, c + 1));
            EXPECT_EQ(cell->bottomRight, &b.getCorner(r + 1, c + 1));
            EXPECT_EQ(cell->bottomLeft, &b.getCorner(r + 1, c));
            if (c + 1 < b.cols() - 1) {
                Cell* right = b.getCell(r, c + 1);
                EXPECT_EQ(cell->right, right);
                EXPECT_EQ(right->left, cell);
                EXPECT_NE(cell->black, right->black);
            } else {
                EXPECT_EQ(cell->right, nullptr);
            }
            if (r + 1 < b.rows() - 1) {
                Cell* below = b.getCell(r + 1, c);
                EXPECT_EQ(cell->bottom, below);
                EXPECT_EQ(below->top, cell);
                EXPECT_NE(cell->black, below->black);
            } else {
                EXPECT_EQ(cell->bottom, nullptr);
            }
            if (r == 0) {
                EXPECT_EQ(cell->top, nullptr);
            }
            if (c == 0) {
                EXPECT_EQ(cell->left, nullptr);
            }
        }
}

// ===========================================================================
// Board model

TEST(ChessboardBoardModel, ConstructionPlacesPointsRowMajor)
{
    for (const cv::Size size : {cv::Size(3, 3), cv::Size(5, 4), cv::Size(4, 6), cv::Size(9, 6)}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const std::vector<cv::Point2f> pts = gridPoints(size.height, size.width, perspective());
        Board b(size, pts, kPi / 4, 3 * kPi / 4);
        ASSERT_TRUE(b.hasCells());
        EXPECT_EQ(b.rows(), size.height);
        EXPECT_EQ(b.cols(), size.width);
        for (int r = 0; r < size.height; ++r)
            for (int c = 0; c < size.width; ++c)
                EXPECT_EQ(b.getCorner(r, c), pts[static_cast<size_t>(r) * size.width + c]);
        EXPECT_TRUE(samePoints(b.getCornerPoints(true), pts));
        expectConsistentGrid(b);
    }
}

TEST(ChessboardBoardModel, SeedColoursFollowTheWhiteDiagonal)
{
    // The diagonal from corner (1, 0) to corner (0, 1) of an axis-aligned grid
    // points along the image direction pi/4.
    const std::vector<cv::Point2f> pts = gridPoints(3, 3, similarity(20, 50, 50));
    struct Case {
        float white, black;
        bool topLeftBlack;
    } cases[] = {{kPi / 4, 3 * kPi / 4, true}, {3 * kPi / 4, kPi / 4, false}, {kPi / 2, kPi / 2, true}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.white);
        Board b(cv::Size(3, 3), pts, k.white, k.black);
        EXPECT_EQ(b.getCell(0, 0)->black, k.topLeftBlack);
        EXPECT_EQ(b.getCell(1, 1)->black, k.topLeftBlack);
        EXPECT_NE(b.getCell(0, 1)->black, k.topLeftBlack);
        EXPECT_NE(b.getCell(1, 0)->black, k.topLeftBlack);
    }
    // Only the corners (0, 1) and (1, 0) enter the rule: a seed with NaN
    // outer corners gets the same colours.
    Board seed(cv::Size(3, 3), seedPoints(pts, 3, 1, 1), kPi / 4, 3 * kPi / 4);
    EXPECT_TRUE(seed.getCell(0, 0)->black);
}

TEST(ChessboardBoardModel, ConstructionErrors)
{
    const std::vector<cv::Point2f> ten(10, cv::Point2f(1, 1));
    const std::string ctor = "details::Chessboard::Board::Board";
    expectCvError([&] { Board(cv::Size(2, 5), ten, 0, 1); }, cv::Error::StsBadArg,
                  "at least 3 rows and cols are needed to initialize the board", ctor);
    expectCvError([&] { Board(cv::Size(3, 3), std::vector<cv::Point2f>(8), 0, 1); }, cv::Error::StsBadArg,
                  "size mismatch", ctor);
    expectCvError([&] { Board(cv::Size(2, 2), std::vector<cv::Point2f>(3), 0, 1); }, cv::Error::StsBadArg,
                  "size mismatch", ctor);
    Board b(cv::Size(3, 3), gridPoints(3, 3, similarity(10, 5, 5)), 0, 1);
    expectCvError([&] { b.init(std::vector<cv::Point2f>(8)); }, cv::Error::StsBadArg,
                  "exact nine points are expected to initialize the board",
                  "details::Chessboard::Board::init");
    EXPECT_FALSE(b.hasCells());
}

TEST(ChessboardBoardModel, AddsLinesOnEverySideWithAlternatingColours)
{
    // A 7 x 6 grid assembled from its centre 3 x 3 by adding lines on all sides.
    const int R = 7, C = 6;
    const std::vector<cv::Point2f> g = gridPoints(R, C, perspective());
    auto at = [&](int r, int c) { return g[static_cast<size_t>(r) * C + c]; };
    auto column = [&](int c, int r0, int r1) {
        std::vector<cv::Point2f> v;
        for (int r = r0; r <= r1; ++r)
            v.push_back(at(r, c));
        return v;
    };
    auto row = [&](int r, int c0, int c1) {
        std::vector<cv::Point2f> v;
        for (int c = c0; c <= c1; ++c)
            v.push_back(at(r, c));
        return v;
    };
    std::vector<cv::Point2f> nine;
    for (int r = 2; r <= 4; ++r)
        for (int c = 2; c <= 4; ++c)
            nine.push_back(at(r, c));
    Board b;
    b = Board(cv::Size(3, 3), nine, kPi / 4, 3 * kPi / 4);
    b.addColumnLeft(column(1, 2, 4));
    b.addRowTop(row(1, 1, 4));
    b.addColumnRight(column(5, 1, 4));
    b.addRowBottom(row(5, 1, 5));
    b.addColumnLeft(column(0, 1, 5));
    b.addRowTop(row(0, 0, 5));
    b.addRowBottom(row(6, 0, 5));
    ASSERT_EQ(b.rows(), R);
    ASSERT_EQ(b.cols(), C);
    EXPECT_TRUE(samePoints(b.getCornerPoints(true), g));
    expectConsistentGrid(b);
}

TEST(ChessboardBoardModel, CornerPointsAreReplacedInOutputOrder)
{
    // A grown board (corners reached through several cells) and a turned
    // one: the positions go back to the corners they were read from.
    Board b(cv::Size(4, 3), gridPoints(3, 4, similarity(10, 20, 20)), 0, 1);
    b.addRowBottom(gridPoints(1, 4, similarity(10, 80, 20)));
    b.turnLeft();
    std::vector<cv::Point2f> moved = b.getCornerPoints(true);
    ASSERT_EQ(moved.size(), 16u);
    for (size_t i = 0; i < moved.size(); ++i)
        moved[i] += cv::Point2f(0.25f * i, -0.5f);
    b.setCornerPoints(moved);
    EXPECT_TRUE(samePoints(b.getCornerPoints(true), moved));
    expectConsistentGrid(b);

    const std::string prefix = "details::Chessboard::Board::";
    expectCvError([&] { b.setCornerPoints(std::vector<cv::Point2f>(15)); }, cv::Error::StsBadSize,
                  "wrong number of corners", prefix + "setCornerPoints");
    EXPECT_TRUE(samePoints(b.getCornerPoints(true), moved));
    Board empty;
    expectCvError([&] { empty.setCornerPoints({}); }, cv::Error::StsBadSize, "wrong number of corners",
                  prefix + "setCornerPoints");
}

TEST(ChessboardBoardModel, WrongLineLengthIsRefusedAndLeavesBoardUnchanged)
{
    Board b(cv::Size(4, 3), gridPoints(3, 4, similarity(10, 20, 20)), 0, 1);
    const std::vector<cv::Point2f> before = b.getCornerPoints(true);
    const std::string prefix = "details::Chessboard::Board::";
    struct Case {
        const char* name;
        std::function<void(Board&)> add;
    } cases[] = {
        {"addRowTop", [](Board& x) { x.addRowTop(std::vector<cv::Point2f>(3)); }},
        {"addRowBottom", [](Board& x) { x.addRowBottom(std::vector<cv::Point2f>(5)); }},
        {"addColumnLeft", [](Board& x) { x.addColumnLeft(std::vector<cv::Point2f>(4)); }},
        {"addColumnRight", [](Board& x) { x.addColumnRight({}); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        expectCvError([&] { k.add(b); }, cv::Error::StsBadArg, "wrong number of points", prefix + k.name);
        EXPECT_EQ(b.rows(), 3);
        EXPECT_EQ(b.cols(), 4);
        EXPECT_TRUE(samePoints(b.getCornerPoints(true), before));
        Board empty;
        expectCvError([&] { k.add(empty); }, cv::Error::StsBadArg, "wrong number of points", prefix + k.name);
        EXPECT_FALSE(empty.hasCells());
    }
}

TEST(ChessboardBoardModel, CellAndCornerAccessAndBounds)
{
    Board b(cv::Size(5, 4), gridPoints(4, 5, similarity(10, 20, 20)), 0, 1);
    EXPECT_EQ(b.getCell(3, 4), b.getCell(2, 3));
    EXPECT_EQ(b.getCell(0, 4), b.getCell(0, 3));
    EXPECT_EQ(b.getCorner(3, 4), cv::Point2f(60, 50));
    // getCorner gives the stored point.
    b.getCorner(1, 1) = cv::Point2f(1, 2);
    EXPECT_EQ(*b.getCell(0, 0)->bottomRight, cv::Point2f(1, 2));
    EXPECT_EQ(*b.getCell(1, 1)->topLeft, cv::Point2f(1, 2));

    const std::pair<int, int> outside[] = {{4, 0}, {-1, 0}, {0, 5}, {0, -1}};
    for (const auto& rc : outside) {
        SCOPED_TRACE(std::to_string(rc.first) + "," + std::to_string(rc.second));
        expectCvError([&] { b.getCell(rc.first, rc.second); }, cv::Error::StsBadArg, "out of bound",
                      "details::Chessboard::Board::getCell");
        expectCvError([&] { b.getCorner(rc.first, rc.second); }, cv::Error::StsBadArg, "out of bound",
                      "details::Chessboard::Board::getCorner");
    }
    Board empty;
    expectCvError([&] { empty.getCorner(0, 0); }, cv::Error::StsBadArg, "out of bound",
                  "details::Chessboard::Board::getCorner");
    EXPECT_TRUE(empty.getCornerPoints(true).empty());
    EXPECT_TRUE(empty.getContour().empty());
    EXPECT_TRUE(empty.hasUniqueCorners());
}

TEST(ChessboardBoardModel, SeedBoardPointsAndContour)
{
    const std::vector<cv::Point2f> g = gridPoints(4, 4, similarity(20, 30, 40));
    Board seed(cv::Size(3, 3), seedPoints(g, 4, 1, 1), kPi / 4, 3 * kPi / 4);
    EXPECT_EQ(seed.getCornerPoints(false).size(), 5u);
    EXPECT_EQ(seed.getCornerPoints(true).size(), 9u);
    EXPECT_TRUE(seed.getContour().empty());
    EXPECT_TRUE(seed.hasUniqueCorners()); // only NaN points repeat

    Board full(cv::Size(4, 4), g, kPi / 4, 3 * kPi / 4);
    const std::vector<cv::Point2f> contour = full.getContour();
    EXPECT_TRUE(samePoints(contour, {g[0], g[3], g[15], g[12]}));

    // Cell (0, 0) incomplete: the outline steps around it, starting at the
    // first complete cell's top-right corner found along the top row.
    full.getCorner(0, 0) = cv::Point2f(kNaN, kNaN);
    EXPECT_TRUE(samePoints(full.getContour(), {g[2], g[3], g[15], g[12], g[4], g[5], g[1]}));

    Board dup(cv::Size(4, 4), g, 0, 1);
    dup.getCorner(3, 3) = dup.getCorner(0, 2);
    EXPECT_FALSE(dup.hasUniqueCorners());
}

TEST(ChessboardBoardModel, ContourWalkEndsOnAnyPatternOfIncompleteCells)
{
    // Every pattern of missing corners on a 4 x 4 board: the outline walk
    // must end, and a complete board keeps its four corners.
    const std::vector<cv::Point2f> g = gridPoints(4, 4, similarity(20, 30, 40));
    for (int mask = 0; mask < (1 << 16); mask += 7) {
        std::vector<cv::Point2f> pts = g;
        for (int i = 0; i < 16; ++i)
            if (mask & (1 << i))
                pts[i] = cv::Point2f(kNaN, kNaN);
        Board b(cv::Size(4, 4), pts, 0, 1);
        const std::vector<cv::Point2f> contour = b.getContour();
        EXPECT_LE(contour.size(), 16u);
        if (mask == 0) {
            EXPECT_EQ(contour.size(), 4u);
        }
    }
}

TEST(ChessboardBoardModel, PointIterMoves)
{
    const std::vector<cv::Point2f> g = gridPoints(3, 4, similarity(10, 10, 10));
    Board b(cv::Size(4, 3), g, 0, 1);
    // Top-right corner of the top row's last cell: right() fails and stays.
    Board::PointIter it(b.getCell(0, 2), Board::TopRight);
    EXPECT_FALSE(it.right());
    EXPECT_EQ(it.cell, b.getCell(0, 2));
    EXPECT_EQ(it.corner, Board::TopRight);
    EXPECT_EQ(**it, g[3]);
    EXPECT_TRUE(it.bottom());
    EXPECT_EQ(**it, g[7]);
    EXPECT_TRUE(it.bottom());
    EXPECT_EQ(**it, g[11]);
    EXPECT_FALSE(it.bottom());
    EXPECT_TRUE(it.left());
    EXPECT_EQ(**it, g[10]);

    // right(true) from the top-right corner of cell (1, 0) whose right
    // neighbour (1, 1) is incomplete: the diagonal alternative through
    // cell (0, 1) reaches the same corner point.
    b.getCorner(2, 2) = cv::Point2f(kNaN, kNaN);
    ASSERT_TRUE(b.getCell(1, 1)->isIncomplete());
    Board::PointIter plain(b.getCell(1, 0), Board::TopRight);
    Board::PointIter complete = plain;
    EXPECT_TRUE(plain.right());
    EXPECT_EQ(plain.cell, b.getCell(1, 1));
    EXPECT_TRUE(complete.right(true));
    EXPECT_EQ(complete.cell, b.getCell(0, 1));
    EXPECT_EQ(complete.corner, Board::BottomRight);
    EXPECT_EQ(*complete, *plain);
    // Neither neighbour complete: the move fails.
    b.getCorner(0, 2) = cv::Point2f(kNaN, kNaN);
    Board::PointIter stuck(b.getCell(1, 0), Board::TopRight);
    EXPECT_FALSE(stuck.right(true));
    EXPECT_EQ(stuck.cell, b.getCell(1, 0));
}

TEST(ChessboardBoardModel, CopiesAndMovesOwnTheirCells)
{
    const std::vector<cv::Point2f> g = gridPoints(4, 5, perspective());
    Board original(cv::Size(5, 4), g, kPi / 4, 3 * kPi / 4);
    Board copy(original);
    expectConsistentGrid(copy);
    EXPECT_TRUE(samePoints(copy.getCornerPoints(true), g));
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(copy.getCell(r, c)->black, original.getCell(r, c)->black);
    EXPECT_NE(&copy.getCorner(1, 1), &original.getCorner(1, 1));

    copy.getCorner(1, 1) = cv::Point2f(-1, -1);
    copy.turnLeft();
    copy.mirrorLeftRight();
    EXPECT_TRUE(samePoints(original.getCornerPoints(true), g));

    Board assigned(cv::Size(3, 3), gridPoints(3, 3, similarity(5, 0, 0)), 0, 1);
    assigned = original;
    EXPECT_TRUE(samePoints(assigned.getCornerPoints(true), g));
    const Board& self = assigned;
    assigned = self;
    EXPECT_TRUE(samePoints(assigned.getCornerPoints(true), g));

    Board moved(std::move(copy));
    // The move leaves its source empty, which is what is read here.
    // NOLINTBEGIN(bugprone-use-after-move)
    EXPECT_FALSE(copy.hasCells());
    EXPECT_EQ(copy.rows(), 0);
    // NOLINTEND(bugprone-use-after-move)
    EXPECT_EQ(moved.rows(), 5);
    expectConsistentGrid(moved);

    original.reset();
    EXPECT_FALSE(original.hasCells());
    EXPECT_EQ(original.cols(), 0);
    EXPECT_FLOAT_EQ(original.getWhiteAngle(), kPi / 4);
    EXPECT_TRUE(samePoints(assigned.getCornerPoints(true), g));
}

// ===========================================================================
// Predictions, search areas and line checks

TEST(ChessboardBoardGrowth, ThreePointPrediction)
{
    // Perspective row: positions x / (0.01 x + 1) of equally spaced x.
    auto persp = [](float x) { return cv::Point2f(x / (0.01f * x + 1), 0); };
    struct Case {
        cv::Point2f p0, p1, p2;
        bool predicted;
        cv::Point2f expected;
    } cases[] = {
        {{0, 0}, {10, 0}, {20, 0}, true, {30, 0}},
        {{0, 0}, {30, 0}, {40, 0}, true, {45, 0}},
        {{0, 0}, {10, 0}, {40, 0}, false, {}},   // q = 0
        {{0, 0}, {10, 0}, {10, 10}, false, {}},  // right-angle turn
        {{0, 0}, {10, 0}, {10, 0}, false, {}},   // equal points
        {{0, 0}, {kNaN, 0}, {20, 0}, false, {}}, // not finite
        {persp(0), persp(10), persp(20), true, persp(30)},
        {{5, 5}, {5, 15}, {5, 25}, true, {5, 35}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(cv::format("(%g,%g) (%g,%g) (%g,%g)", k.p0.x, k.p0.y, k.p1.x, k.p1.y, k.p2.x, k.p2.y));
        cv::Point2f p3(-7, -7);
        ASSERT_EQ(Board::predictNextPoint(k.p0, k.p1, k.p2, p3), k.predicted);
        if (k.predicted) {
            EXPECT_NEAR(p3.x, k.expected.x, 1e-3);
            EXPECT_NEAR(p3.y, k.expected.y, 1e-3);
        } else {
            EXPECT_EQ(p3, cv::Point2f(-7, -7));
        }
    }
}

TEST(ChessboardBoardGrowth, ThreePointPredictionFollowsBending)
{
    // p0 lies 1 px off the line p1-p2: the parabola through the offsets
    // (0, 0, h) at t = (0, b, a + b) bends the prediction by v at t = -d.
    const cv::Point2f p0(0, 1), p1(10, 0), p2(20, 0);
    cv::Point2f p3;
    ASSERT_TRUE(Board::predictNextPoint(p0, p1, p2, p3));
    const double a = std::sqrt(101.0), b = 10;
    const double d = (a + b) * 0.25 * b / (0.75 * a - 0.25 * b);
    // m = (w.y, -w.x) = (0, -1), h = m.(p0 - p2) = -1; parabola c2 t^2 + c1 t
    // through (b, 0) and (a + b, -1).
    const double c2 = -1 / ((a + b) * a), c1 = -c2 * b;
    const double v = -d * c1 + d * d * c2;
    EXPECT_NEAR(p3.x, 20 + d, 1e-3);
    EXPECT_NEAR(p3.y, -v, 1e-3);
}

TEST(ChessboardBoardGrowth, FourPointPrediction)
{
    auto persp = [](float x) { return cv::Point2f(3 + x / (0.01f * x + 1), 7); };
    struct Case {
        cv::Point2f p0, p1, p2, p3;
        bool predicted;
        cv::Point2f expected;
    } cases[] = {
        {{0, 0}, {10, 0}, {20, 0}, {30, 0}, true, {40, 0}},
        {persp(0), persp(10), persp(20), persp(30), true, persp(40)},
        {{0, 0}, {0, -10}, {0, -20}, {0, -30}, true, {0, -40}},
        {{0, 0}, {10, 0}, {20, 0}, {10, 0}, false, {}},          // equal points
        {{0, 0}, {10, 0}, {kNaN, 0}, {30, 0}, false, {}},        // not finite
        {{0, 0}, {1e38f, 0}, {2e38f, 0}, {3e38f, 0}, false, {}}, // overflows
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(cv::format("p0 (%g,%g) p3 (%g,%g)", k.p0.x, k.p0.y, k.p3.x, k.p3.y));
        cv::Point2f p4(-7, -7);
        ASSERT_EQ(Board::predictNextPoint(k.p0, k.p1, k.p2, k.p3, p4), k.predicted);
        if (k.predicted) {
            EXPECT_NEAR(p4.x, k.expected.x, 1e-3);
            EXPECT_NEAR(p4.y, k.expected.y, 1e-3);
        } else {
            EXPECT_EQ(p4, cv::Point2f(-7, -7));
        }
    }
    // Points that no projective map of the line fits, or that fold back: no
    // prediction, or a finite one, never NaN.
    const cv::Point2f odd[][4] = {
        {{0, 0}, {10, 0}, {0, 10}, {-10, 0}},
        {{0, 0}, {10, 0}, {20, 0}, {0, 0.001f}},
        {{0, 0}, {20, 0}, {10, 0}, {30, 0}},
    };
    for (const auto& p : odd) {
        cv::Point2f p4;
        if (Board::predictNextPoint(p[0], p[1], p[2], p[3], p4)) {
            EXPECT_TRUE(std::isfinite(p4.x) && std::isfinite(p4.y));
        }
    }
}

TEST(ChessboardBoardGrowth, SearchAreas)
{
    Board::SearchEllipse e;
    ASSERT_TRUE(Board::searchAreaFromLine({0, 0}, {10, 0}, {20, 0}, 0.5f, e));
    EXPECT_NEAR(e.center.x, 30, 1e-4);
    EXPECT_NEAR(e.center.y, 0, 1e-4);
    EXPECT_EQ(e.axes.width, 5);  // max(0.5 * 10, 3)
    EXPECT_EQ(e.axes.height, 2); // max(0.35 * 5, 2)
    EXPECT_NEAR(e.angle, 0, 1e-6);
    EXPECT_TRUE(e.contains({34.9f, 0}));
    EXPECT_FALSE(e.contains({35.1f, 0}));
    EXPECT_TRUE(e.contains({30, 1.9f}));
    EXPECT_FALSE(e.contains({30, 2.1f}));

    // Downwards: long along y; four-point prediction with the point before.
    const cv::Point2f before(4, -20);
    ASSERT_TRUE(Board::searchAreaFromLine({4, 0}, {4, 20}, {4, 40}, 1.5f, e, &before));
    EXPECT_NEAR(e.center.y, 60, 1e-3);
    EXPECT_EQ(e.axes.width, 30);
    EXPECT_EQ(e.axes.height, 10); // trunc(0.35 * 30)
    EXPECT_NEAR(e.angle, 1.5 * CV_PI, 1e-5);
    EXPECT_TRUE(e.contains({4, 89}));
    EXPECT_FALSE(e.contains({15, 60}));
    EXPECT_FALSE(Board::searchAreaFromLine({0, 0}, {10, 0}, {40, 0}, 0.5f, e));

    // From the grid: identity homography, cells of 100.
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    const Board::SearchEllipse g = Board::searchAreaFromGrid(I, 1, 2, 0.4f, 100);
    EXPECT_EQ(g.center, cv::Point2f(300, 200));
    EXPECT_FLOAT_EQ(g.axes.width, 40);
    EXPECT_FLOAT_EQ(g.axes.height, 40);
    EXPECT_NEAR(g.angle, CV_PI / 2, 1e-6);
    EXPECT_TRUE(g.contains({339, 200}));
    EXPECT_FALSE(g.contains({300, 241}));
}

TEST(ChessboardBoardGrowth, LineConsistency)
{
    const std::vector<cv::Point2f> line = gridPoints(1, 7, perspective());
    EXPECT_TRUE(Board::isConsistentLine(line));
    EXPECT_FALSE(Board::isConsistentLine({line[0], line[1]}));
    EXPECT_TRUE(Board::isConsistentLine({{0, 0}, {100, 3}, {7, 50}}));
    // Steps of 20 px: the first point is checked against an ellipse 30 px
    // long and 10 px wide, the others against ellipses 10 px long and 3 px wide.
    const std::vector<cv::Point2f> straight = gridPoints(1, 7, similarity(20, 0, 0));
    struct Case {
        size_t n, k;
        float across;
        bool expected;
    } cases[] = {
        {4, 0, 9.5f, true}, {4, 0, 10.5f, false}, {7, 6, 2.5f, true}, {7, 6, 3.5f, false}, {7, 4, 8, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(cv::format("%d points, point %d moved %g px", int(c.n), int(c.k), c.across));
        std::vector<cv::Point2f> bent(straight.begin(), straight.begin() + c.n);
        bent[c.k].y += c.across;
        EXPECT_EQ(Board::isConsistentLine(bent), c.expected);
    }
}

TEST(ChessboardBoardGrowth, FindMaxPoint)
{
    // Board directions 30 degrees apart (a strongly foreshortened corner),
    // so that a line can lie 50 degrees from both.
    const float white = 0.7f, black = 0.7f + kPi / 6;
    const float off = 50 * kPi / 180;
    Candidates cand({{100, 100, white, 50},
                     {103, 100, black + kPi, 80},
                     {96, 100, black + off, 500},
                     {100, 140, white, 900}});
    const Board::SearchEllipse e({100, 100}, {6, 3}, 0);
    cv::Point2f q;
    EXPECT_FLOAT_EQ(Board::findMaxPoint(*cand.index, cand.table, e, white, black, q), 80);
    EXPECT_EQ(q, cv::Point2f(103, 100));

    // Nothing matching inside: 0, with the nearest matching candidate outside.
    const Board::SearchEllipse far({100, 125}, {6, 3}, 0);
    EXPECT_EQ(Board::findMaxPoint(*cand.index, cand.table, far, white, black, q), 0);
    EXPECT_EQ(q, cv::Point2f(100, 140));
    // Nothing matching among the four nearest: NaN.
    Candidates wrong({{10, 10, 3 * kPi / 4, 50},
                      {12, 10, -kPi / 4, 50},
                      {14, 10, 3 * kPi / 4, 50},
                      {16, 10, 3 * kPi / 4, 50}});
    EXPECT_EQ(Board::findMaxPoint(*wrong.index, wrong.table, Board::SearchEllipse({12, 10}, {6, 3}, 0),
                                  kPi / 4, kPi / 4, q),
              0);
    EXPECT_TRUE(std::isnan(q.x));
    // A non-finite ellipse finds nothing.
    EXPECT_EQ(Board::findMaxPoint(*cand.index, cand.table, Board::SearchEllipse({kNaN, kNaN}, {6, 3}, 0),
                                  white, black, q),
              0);
    EXPECT_TRUE(std::isnan(q.x));

    const std::string func = "details::Chessboard::Board::findMaxPoint";
    expectCvError(
        [&] { Board::findMaxPoint(*cand.index, cand.table.colRange(0, 3).clone(), e, white, black, q); },
        cv::Error::StsBadArg, "4-cols flann data is expected", func);
    cv::Mat t64;
    cand.table.convertTo(t64, CV_64F);
    expectCvError([&] { Board::findMaxPoint(*cand.index, t64, e, white, black, q); }, cv::Error::StsBadArg,
                  "type of flann data is not supported", func);
}

TEST(ChessboardBoardGrowth, FindMaxPointUsesTheTrueNearestCandidates)
{
    // Many candidates: the result must be that of the four truly nearest
    // candidates, and two indexes built under different random states must
    // agree.
    cv::RNG rng(12345);
    std::vector<cv::Vec4f> rows;
    for (int i = 0; i < 3000; ++i) {
        const float response = rng.uniform(-50.f, 100.f), angle = rng.uniform(0.f, kPi);
        const float y = rng.uniform(0.f, 1000.f), x = rng.uniform(0.f, 1000.f);
        rows.emplace_back(x, y, angle, response);
    }
    std::srand(1);
    Candidates first(rows);
    std::srand(2);
    Candidates second(rows);
    const float white = 0.7f, black = 1.2f;
    for (int trial = 0; trial < 300; ++trial) {
        const float angle = rng.uniform(0.f, 2 * kPi);
        const float x = rng.uniform(0.f, 1000.f), y = rng.uniform(0.f, 1000.f);
        const Board::SearchEllipse e({x, y}, {12, 6}, angle);
        // Brute force: the four nearest, then the rule.
        std::vector<int> order(rows.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = static_cast<int>(i);
        std::partial_sort(order.begin(), order.begin() + 4, order.end(), [&](int a, int b) {
            const float da = std::hypot(rows[a][0] - e.center.x, rows[a][1] - e.center.y);
            const float db = std::hypot(rows[b][0] - e.center.x, rows[b][1] - e.center.y);
            return da < db;
        });
        float best = 0;
        for (int k = 0; k < 4; ++k) {
            const cv::Vec4f& r = rows[order[k]];
            auto near = [&](float dir) {
                float d = std::fmod(std::fabs(r[2] - dir), kPi);
                return std::min(d, kPi - d) < 0.83775806f;
            };
            if ((near(white) || near(black)) && e.contains({r[0], r[1]}) && (best == 0 || r[3] > best))
                best = r[3];
        }
        cv::Point2f q1, q2;
        const float s1 = Board::findMaxPoint(*first.index, first.table, e, white, black, q1);
        const float s2 = Board::findMaxPoint(*second.index, second.table, e, white, black, q2);
        ASSERT_EQ(s1, best) << "trial " << trial;
        ASSERT_EQ(s2, best) << "trial " << trial;
        ASSERT_TRUE(samePoints({q1}, {q2})) << "trial " << trial;
    }
}

// ===========================================================================
// Validation

TEST(ChessboardBoardValidation, GridHomography)
{
    const std::vector<cv::Point2f> g = gridPoints(5, 6, perspective());
    Board b(cv::Size(6, 5), g, 0, 1);
    const cv::Mat H = b.fitGridHomography(100);
    ASSERT_EQ(H.size(), cv::Size(3, 3));
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 6; ++c) {
            const cv::Mat p = H * (cv::Mat_<double>(3, 1) << (c + 1) * 100, (r + 1) * 100, 1);
            EXPECT_NEAR(p.at<double>(0) / p.at<double>(2), g[r * 6 + c].x, 1e-2);
            EXPECT_NEAR(p.at<double>(1) / p.at<double>(2), g[r * 6 + c].y, 1e-2);
        }
    std::vector<cv::Point2f> three(9, cv::Point2f(kNaN, kNaN));
    three[0] = g[0];
    three[1] = g[1];
    three[3] = g[6];
    EXPECT_TRUE(Board(cv::Size(3, 3), three, 0, 1).fitGridHomography(100).empty());
    EXPECT_TRUE(Board().fitGridHomography(100).empty());
}

TEST(ChessboardBoardValidation, ConfirmCornersOfSeedBoard)
{
    const int R = 5, C = 5;
    const std::vector<cv::Point2f> g = gridPoints(R, C, perspective());
    float d1, d2;
    diagonals(g, C, 2, 2, d1, d2);
    const float minResponse = 10;

    struct Case {
        const char* name;
        int removed; // grid index of a candidate left out (-1: none)
        int weak;    // grid index of a candidate with response -50 (-1: none)
        int expected;
    } cases[] = {
        {"all found", -1, -1, 9},
        {"top-left missing", 6, -1, 8},
        {"bottom-right missing", 18, -1, 8},
        {"weak top-left fills row 0", -1, 6, 9},
        {"weak bottom-left never fills row 2", -1, 16, 8},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<cv::Vec4f> rows;
        for (int i = 0; i < R * C; ++i)
            if (i != k.removed)
                rows.emplace_back(g[i].x, g[i].y, d1, i == k.weak ? -50.f : 100.f);
        Candidates cand(rows);
        Board seed(cv::Size(3, 3), seedPoints(g, C, 2, 2), d1, d2);
        const cv::Mat H = seed.fitGridHomography(100);
        ASSERT_FALSE(H.empty());
        EXPECT_EQ(seed.confirmCorners(cand.table, *cand.index, H, minResponse), k.expected);
        if (k.expected == 9) {
            EXPECT_EQ(seed.getCorner(0, 0), g[6]);
            EXPECT_EQ(seed.getCorner(2, 2), g[18]);
            EXPECT_TRUE(seed.checkContourAngles());
        }
    }

    // A homography that puts corner (0, 0) on the centre candidate: the filled
    // corner coincides with a known one.
    Candidates cand(candidatesAt(g, d1));
    Board seed(cv::Size(3, 3), seedPoints(g, C, 2, 2), d1, d2);
    const cv::Point2f centre = g[12];
    const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, centre.x - 100, 0, 1, centre.y - 100, 0, 0, 1);
    EXPECT_EQ(seed.confirmCorners(cand.table, *cand.index, shift, minResponse), -1);
    EXPECT_EQ(Board().confirmCorners(cand.table, *cand.index, shift, minResponse), 0);
    EXPECT_EQ(seed.confirmCorners(cand.table, *cand.index, cv::Mat(), minResponse), 0);
}

TEST(ChessboardBoardValidation, ContourAngles)
{
    struct Case {
        const char* name;
        double shearDeg; // angle between rows and columns
        bool expected;
    } cases[] = {{"square", 90, true},
                 {"40 degrees", 40, true},
                 {"30 degrees", 30, false},
                 {"150 degrees", 150, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const double a = k.shearDeg * CV_PI / 180;
        const cv::Matx33d H(20, 20 * std::cos(a), 100, 0, 20 * std::sin(a), 100, 0, 0, 1);
        Board b(cv::Size(4, 3), gridPoints(3, 4, H), 0, 1);
        EXPECT_EQ(b.checkContourAngles(), k.expected);
    }
    // An incomplete corner cell makes the outline a hexagon.
    Board b(cv::Size(4, 4), gridPoints(4, 4, similarity(20, 50, 50)), 0, 1);
    b.getCorner(3, 3) = cv::Point2f(kNaN, kNaN);
    EXPECT_FALSE(b.checkContourAngles());
}

// A fronto-parallel chessboard of 20 px squares, the corner between squares
// at pixel boundaries 40, 60, ..., i.e. at positions 39.5, 59.5, ...
cv::Mat drawnChessboard()
{
    cv::Mat img(200, 240, CV_8U, cv::Scalar(200));
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 10; ++c)
            if ((r + c) % 2 == 0)
                img(cv::Rect(c * 20 + 20, r * 20 + 20, 20, 20)).setTo(40);
    return img;
}

TEST(ChessboardBoardValidation, CountAsymmetry)
{
    const cv::Mat img = drawnChessboard();
    struct Case {
        const char* name;
        cv::Point2f p;
        int low, high; // expected range
    } cases[] = {
        {"corner", {99.5f, 99.5f}, 0, 1},
        {"middle of an edge", {109.5f, 99.5f}, 6, 10},
        {"inside a square (flat, so symmetric)", {110, 110}, 0, 0},
        {"near the left border", {11, 100}, 0, 0},
        {"near the top border", {100, 11}, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const int s = details::countAsymmetry(img, k.p, 8, 20);
        EXPECT_GE(s, k.low);
        EXPECT_LE(s, k.high);
    }
    // radius 8 and patch h = 4: the left border limit is x = 8 + 4 rounded.
    EXPECT_EQ(details::countAsymmetry(img, {11.4f, 100}, 8, 20), 0);
    EXPECT_GT(details::countAsymmetry(img, {20.5f, 100}, 8, 20), 0);
    // Degenerate radii and points measure nothing.
    EXPECT_EQ(details::countAsymmetry(img, {109.5f, 99.5f}, 0, 20), 0);
    EXPECT_EQ(details::countAsymmetry(img, {109.5f, 99.5f}, 1e30f, 20), 0);
    EXPECT_EQ(details::countAsymmetry(img, {kNaN, 99.5f}, 8, 20), 0);
    EXPECT_EQ(details::countAsymmetry(cv::Mat(), {10, 10}, 8, 20), 0);
}

// ===========================================================================
// Growing

// Candidate table and seed on a perspective grid; grows from the centre.
struct GridScene {
    int R, C;
    std::vector<cv::Point2f> g;
    float d1 = 0, d2 = 0;

    GridScene(int rows, int cols, const cv::Matx33d& H) : R(rows), C(cols), g(gridPoints(rows, cols, H))
    {
        diagonals(g, C, R / 2, C / 2, d1, d2);
    }
    Board seed() const { return Board(cv::Size(3, 3), seedPoints(g, C, R / 2, C / 2), d1, d2); }
};

TEST(ChessboardBoardGrowth, GrowsSeedToTheWholeGrid)
{
    const cv::Matx33d Hs[] = {perspective(), similarity(25, 40, 30, 20), similarity(18, 200, 30, 100)};
    for (const cv::Matx33d& H : Hs) {
        for (const cv::Size size : {cv::Size(9, 6), cv::Size(5, 7), cv::Size(3, 3)}) {
            SCOPED_TRACE(cv::format("%dx%d", size.width, size.height));
            GridScene s(size.height, size.width, H);
            Candidates cand(candidatesAt(s.g, s.d1));
            Board b = s.seed();
            ASSERT_EQ(b.confirmCorners(cand.table, *cand.index, b.fitGridHomography(100), 10), 9);
            ASSERT_TRUE(b.checkContourAngles());
            EXPECT_EQ(b.grow(cand.table, *cand.index), size.height - 3 + size.width - 3);
            EXPECT_EQ(b.rows(), size.height);
            EXPECT_EQ(b.cols(), size.width);
            EXPECT_TRUE(samePoints(b.getCornerPoints(true), s.g));
            EXPECT_EQ(b.unmeasuredCount(), 0);
            EXPECT_TRUE(b.hasUniqueCorners());
            expectConsistentGrid(b);
        }
    }
}

TEST(ChessboardBoardGrowth, LinesTheCallerRefusesAreTakenBackAndTheirSideClosed)
{
    // A 9 x 6 grid grown from its centre by a caller that accepts at most 5
    // columns: rows grow in full, columns stop at 5, and the refused column
    // on the right, whose corner (2, 6) growth could only predict, leaves no
    // trace.
    GridScene s(6, 9, perspective());
    std::vector<cv::Point2f> pts;
    for (int i = 0; i < 54; ++i)
        if (i != 2 * 9 + 6)
            pts.push_back(s.g[i]);
    Candidates cand(candidatesAt(pts, s.d1));
    Board b = s.seed();
    ASSERT_EQ(b.confirmCorners(cand.table, *cand.index, b.fitGridHomography(100), 10), 9);
    std::vector<cv::Size> shown;
    const int added = b.grow(cand.table, *cand.index, [&](const Board& grown) {
        shown.emplace_back(grown.cols(), grown.rows());
        return grown.cols() <= 5;
    });
    EXPECT_EQ(added, 3 + 2);
    ASSERT_EQ(b.rows(), 6);
    ASSERT_EQ(b.cols(), 5);
    // Growing left comes first: columns 1 to 5 of the grid.
    std::vector<cv::Point2f> expected;
    for (int r = 0; r < 6; ++r)
        for (int c = 1; c <= 5; ++c)
            expected.push_back(s.g[r * 9 + c]);
    EXPECT_TRUE(samePoints(b.getCornerPoints(true), expected));
    EXPECT_EQ(b.unmeasuredCount(), 0);
    EXPECT_TRUE(b.hasUniqueCorners());
    expectConsistentGrid(b);
    // Every line added was shown once; each side was refused once and then
    // never tried again.
    EXPECT_EQ(shown.size(), 5u + 2u);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), cv::Size(6, 6)), 2);

    // Without a caller's check the same board grows to the whole grid.
    Board all = s.seed();
    ASSERT_EQ(all.confirmCorners(cand.table, *cand.index, all.fitGridHomography(100), 10), 9);
    EXPECT_EQ(all.grow(cand.table, *cand.index), 3 + 6);
    EXPECT_EQ(all.cols(), 9);
    EXPECT_EQ(all.unmeasuredCount(), 1);
}

TEST(ChessboardBoardGrowth, MissingCornersLeftAndRight)
{
    // A 3 x 5 grid and a board over its middle three columns: one candidate
    // missing on each side.
    const std::vector<cv::Point2f> g = gridPoints(3, 5, similarity(30, 60, 60));
    std::vector<cv::Point2f> nine;
    for (int r = 0; r < 3; ++r)
        for (int c = 1; c <= 3; ++c)
            nine.push_back(g[r * 5 + c]);
    std::vector<cv::Point2f> pts;
    for (int i = 0; i < 15; ++i)
        if (i != 5 && i != 9) // corners (1, 0) and (1, 4)
            pts.push_back(g[i]);
    Candidates cand(candidatesAt(pts, kPi / 4));
    Board b(cv::Size(3, 3), nine, kPi / 4, 3 * kPi / 4);
    // Left needs more than two found corners.
    EXPECT_FALSE(b.growLeft(cand.table, *cand.index));
    EXPECT_EQ(b.cols(), 3);
    // Right accepts one of three taken from the ellipse centre, and marks it.
    EXPECT_TRUE(b.growRight(cand.table, *cand.index));
    EXPECT_EQ(b.cols(), 4);
    EXPECT_EQ(b.getCorner(0, 3), g[4]);
    EXPECT_EQ(b.getCorner(2, 3), g[14]);
    EXPECT_NEAR(b.getCorner(1, 3).x, g[9].x, 0.5);
    EXPECT_NEAR(b.getCorner(1, 3).y, g[9].y, 0.5);
    EXPECT_EQ(b.unmeasuredCount(), 1);
    // Top and bottom: nothing beyond the grid.
    EXPECT_FALSE(b.growTop(cand.table, *cand.index));
    EXPECT_FALSE(b.growBottom(cand.table, *cand.index));
    EXPECT_EQ(b.rows(), 3);
}

TEST(ChessboardBoardGrowth, CandidatesInTheWrongDirectionAreNotTaken)
{
    // Board directions 30 degrees apart; the candidates of the column to the
    // right carry an edge angle 50 degrees off both: growing right finds
    // only predictions and fails.
    GridScene s(3, 4, similarity(30, 60, 60));
    const float white = kPi / 4, black = kPi / 4 + kPi / 6;
    std::vector<cv::Vec4f> rows = candidatesAt(s.g, white);
    for (int r = 0; r < 3; ++r)
        rows[r * 4 + 3][2] = black + 50 * kPi / 180;
    Candidates cand(rows);
    std::vector<cv::Point2f> nine;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            nine.push_back(s.g[r * 4 + c]);
    Board b(cv::Size(3, 3), nine, white, black);
    EXPECT_FALSE(b.growRight(cand.table, *cand.index));
    EXPECT_EQ(b.cols(), 3);
}

TEST(ChessboardBoardGrowth, ParallelGrowthSharingOneIndexDoesNotDependOnThreadCount)
{
    // Seeds at every interior corner of a grid, grown side by side over one
    // shared table and index, as the detector does; some candidates missing.
    GridScene s(9, 11, perspective());
    std::vector<cv::Vec4f> rows;
    for (int i = 0; i < s.R * s.C; ++i)
        if (i % 13 != 5)
            rows.emplace_back(s.g[i].x, s.g[i].y, s.d1, 100.f);
    Candidates cand(rows);
    auto growAll = [&](int threads) {
        std::vector<Board> boards;
        for (int r = 1; r < s.R - 1; ++r)
            for (int c = 1; c < s.C - 1; ++c)
                boards.emplace_back(cv::Size(3, 3), seedPoints(s.g, s.C, r, c), s.d1, s.d2);
        const int previous = cv::getNumThreads();
        cv::setNumThreads(threads);
        cv::parallel_for_(cv::Range(0, static_cast<int>(boards.size())), [&](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i) {
                Board& b = boards[i];
                if (b.confirmCorners(cand.table, *cand.index, b.fitGridHomography(100), 10) == 9)
                    b.grow(cand.table, *cand.index);
                else
                    b.reset();
            }
        });
        cv::setNumThreads(previous);
        return boards;
    };
    const std::vector<Board> one = growAll(1);
    const std::vector<Board> four = growAll(4);
    ASSERT_EQ(one.size(), four.size());
    int full = 0;
    for (size_t i = 0; i < one.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(one[i].rows(), four[i].rows());
        EXPECT_EQ(one[i].cols(), four[i].cols());
        EXPECT_TRUE(samePoints(one[i].getCornerPoints(true), four[i].getCornerPoints(true)));
        EXPECT_EQ(one[i].unmeasuredCount(), four[i].unmeasuredCount());
        if (one[i].rows() == s.R && one[i].cols() == s.C)
            ++full;
    }
    EXPECT_GT(full, 0);
}

TEST(ChessboardBoardGrowth, EmptyBoardErrors)
{
    Candidates cand(candidatesAt({{1, 1}}, 0));
    Board b;
    const std::string p = "details::Chessboard::Board::";
    expectCvError([&] { b.grow(cand.table, *cand.index); }, cv::Error::StsInternal, "Board is empty",
                  p + "grow");
    expectCvError([&] { b.growTop(cand.table, *cand.index); }, cv::Error::StsInternal, "Board is empty",
                  p + "growTop");
    expectCvError([&] { b.growBottom(cand.table, *cand.index); }, cv::Error::StsInternal, "Board is empty",
                  p + "growBottom");
    expectCvError([&] { b.growLeft(cand.table, *cand.index); }, cv::Error::StsInternal,
                  "growLeft: Board is empty", p + "growLeft");
    expectCvError([&] { b.growRight(cand.table, *cand.index); }, cv::Error::StsInternal, "Board is empty",
                  p + "growRight");
}

// ===========================================================================
// Corners that growth only predicted are measured in the image

TEST(ChessboardBoardMeasure, PredictedCornersAreMeasuredOrTheBoardRejected)
{
    const cv::Size pattern(7, 5);
    const synth::Camera cam = synth::makeCamera(cv::Size(640, 480), 700);
    const std::vector<synth::View> views = synth::boardViews(cam, pattern, 25, 3, 77);
    for (size_t v = 0; v < views.size(); ++v) {
        SCOPED_TRACE("view " + std::to_string(v));
        synth::RenderOptions ro;
        ro.noiseSigma = 2;
        ro.blurSigma = 0.7;
        const cv::Mat img = synth::renderChessboard(cam, pattern, 25, views[v], ro);
        const std::vector<cv::Point2f> truth = synth::projectBoard(cam, pattern, 25, views[v]);
        const int R = pattern.height, C = pattern.width;
        float d1, d2;
        diagonals(truth, C, 2, 3, d1, d2);

        // Corners (0, 3) and (4, 6) are absent from the candidates; the others
        // carry a 0.3 px error, as a feature detector would.
        const int absent[] = {3, 4 * C + 6};
        std::vector<cv::Point2f> pts;
        for (int i = 0; i < R * C; ++i)
            if (i != absent[0] && i != absent[1])
                pts.push_back(truth[i]);
        Candidates cand(candidatesAt(pts, d1));
        Board b(cv::Size(3, 3), seedPoints(truth, C, 2, 3), d1, d2);
        ASSERT_EQ(b.confirmCorners(cand.table, *cand.index, b.fitGridHomography(100), 10), 9);
        b.grow(cand.table, *cand.index);
        ASSERT_EQ(b.rows(), R);
        ASSERT_EQ(b.cols(), C);
        EXPECT_EQ(b.unmeasuredCount(), 2);

        Board flat(b);
        EXPECT_FALSE(flat.measureCorners(cv::Mat(img.size(), CV_8U, cv::Scalar(128))));

        ASSERT_TRUE(b.measureCorners(img));
        EXPECT_EQ(b.unmeasuredCount(), 0);
        for (int i : absent) {
            const cv::Point2f p = b.getCorner(i / C, i % C);
            EXPECT_LT(cv::norm(p - truth[i]), 0.15) << p << " vs " << truth[i];
        }
        // Corners that came from candidates are left as they were.
        EXPECT_EQ(b.getCorner(2, 3), truth[2 * C + 3]);
        EXPECT_EQ(b.getCorner(0, 0), truth[0]);

        // A corner predicted where the image shows a plain square is refused.
        Board wrong(flat);
        wrong.getCorner(0, 3) = 0.5f * (truth[2] + truth[C + 3]); // centre of a square
        EXPECT_FALSE(wrong.measureCorners(img));
    }
    Board b(cv::Size(3, 3), gridPoints(3, 3, similarity(10, 10, 10)), 0, 1);
    expectCvError([&] { b.measureCorners(cv::Mat(50, 50, CV_16U, cv::Scalar(0))); }, cv::Error::StsBadArg,
                  "Unsupported image type", "details::Chessboard::Board::measureCorners");
    // Nothing to measure: true whatever the image.
    EXPECT_TRUE(b.measureCorners(cv::Mat(50, 50, CV_8U, cv::Scalar(0))));
}

// ===========================================================================
// Orientation and output

TEST(ChessboardBoardOrientation, TurnsAndMirrorMapCorners)
{
    const std::vector<cv::Point2f> g = gridPoints(3, 4, perspective());
    auto old = [&](int r, int c) { return g[static_cast<size_t>(r) * 4 + c]; };
    Board base(cv::Size(4, 3), g, kPi / 4, 3 * kPi / 4);
    const bool topRightBlack = base.getCell(0, 2)->black;
    const bool bottomLeftBlack = base.getCell(1, 0)->black;

    Board left(base);
    left.turnLeft();
    ASSERT_EQ(left.rows(), 4);
    ASSERT_EQ(left.cols(), 3);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(left.getCorner(r, c), old(c, 3 - r));
    EXPECT_EQ(left.getCell(0, 0)->black, topRightBlack);
    expectConsistentGrid(left);

    Board right(base);
    right.turnRight();
    ASSERT_EQ(right.rows(), 4);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(right.getCorner(r, c), old(2 - c, r));
    EXPECT_EQ(right.getCell(0, 0)->black, bottomLeftBlack);
    expectConsistentGrid(right);

    Board mirrored(base);
    mirrored.mirrorLeftRight();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(mirrored.getCorner(r, c), old(r, 3 - c));
    expectConsistentGrid(mirrored);

    struct Case {
        const char* name;
        std::function<void(Board&)> ops;
    } identities[] = {
        {"four left turns",
         [](Board& b) {
             for (int i = 0; i < 4; ++i)
                 b.turnLeft();
         }},
        {"left then right",
         [](Board& b) {
             b.turnLeft();
             b.turnRight();
         }},
        {"two mirrors",
         [](Board& b) {
             b.mirrorLeftRight();
             b.mirrorLeftRight();
         }},
        {"two left turns, two right turns",
         [](Board& b) {
             b.turnLeft();
             b.turnLeft();
             b.turnRight();
             b.turnRight();
         }},
    };
    for (const Case& k : identities) {
        SCOPED_TRACE(k.name);
        Board b(base);
        k.ops(b);
        EXPECT_EQ(b.rows(), 3);
        EXPECT_TRUE(samePoints(b.getCornerPoints(true), g));
        EXPECT_EQ(b.getCell(0, 0)->black, base.getCell(0, 0)->black);
    }
    Board empty;
    empty.turnLeft();
    empty.turnRight();
    empty.mirrorLeftRight();
    EXPECT_FALSE(empty.hasCells());
    expectCvError([&] { empty.canonicalizeOrientation(false); }, cv::Error::StsBadArg, "out of bound",
                  "details::Chessboard::Board::getCorner");
}

// The turn the detector applies to a board found with its rows and columns
// swapped, after canonicalizeOrientation.
void turnToPattern(Board& b, cv::Size pattern)
{
    if (b.cols() == pattern.width && b.rows() == pattern.height)
        return;
    if (b.getCell(0, 0)->black == b.getCell(0, b.cols() - 1)->black)
        b.turnLeft();
    else
        b.turnRight();
}

// All eight orientations a grown board can have: four turns, mirrored or not.
std::vector<Board> allOrientations(const Board& b)
{
    std::vector<Board> result;
    for (int mirror = 0; mirror < 2; ++mirror)
        for (int turns = 0; turns < 4; ++turns) {
            Board x(b);
            if (mirror)
                x.mirrorLeftRight();
            for (int i = 0; i < turns; ++i)
                x.turnLeft();
            result.push_back(x);
        }
    return result;
}

TEST(ChessboardBoardOrientation, HandednessAndColourRule)
{
    // 4 rows x 5 columns (one odd count), top-left cell black, upright: the
    // colour rule turns it left once; mirrored, it is mirrored back first.
    const std::vector<cv::Point2f> g = gridPoints(4, 5, similarity(20, 40, 40, 5));
    Board upright(cv::Size(5, 4), g, kPi / 4, 3 * kPi / 4);
    ASSERT_TRUE(upright.getCell(0, 0)->black);
    Board b(upright);
    b.canonicalizeOrientation(false);
    ASSERT_EQ(b.rows(), 5);
    ASSERT_EQ(b.cols(), 4);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(b.getCorner(r, c), g[c * 5 + 4 - r]);
    EXPECT_FALSE(b.getCell(0, 0)->black);

    // The same board with the top-left cell wanted black stays as it is.
    Board keep(upright);
    keep.canonicalizeOrientation(true);
    EXPECT_TRUE(samePoints(keep.getCornerPoints(true), g));

    Board mirror(upright);
    mirror.mirrorLeftRight();
    mirror.canonicalizeOrientation(true);
    EXPECT_TRUE(samePoints(mirror.getCornerPoints(true), g));
}

TEST(ChessboardBoardOrientation, EveryGrownOrientationGivesTheSameCornerOrder)
{
    // Whatever orientation a board was grown in, orientation plus the
    // detector's turn to the pattern size give one corner order. One odd and
    // one even count: the top-left cell is white and the board not mirrored.
    // Both odd or both even: the outer corner nearest the image origin comes
    // first in the landscape shape.
    const cv::Size patterns[] = {{9, 6}, {6, 9}, {5, 4}, {4, 5}, {7, 5},
                                 {5, 7}, {6, 4}, {4, 6}, {5, 5}, {4, 4}};
    const cv::Matx33d placements[] = {similarity(20, 60, 50, 8), similarity(20, 300, 40, 95),
                                      similarity(20, 300, 300, 185), similarity(20, 40, 300, -80),
                                      cv::Matx33d(25, 3, 350, 2, -24, 320, 0.002, -0.001, 1)};
    for (const cv::Size pattern : patterns)
        for (int pl = 0; pl < 5; ++pl)
            for (int colour = 0; colour < 2; ++colour) {
                SCOPED_TRACE(
                    cv::format("%dx%d placement %d colour %d", pattern.width, pattern.height, pl, colour));
                const std::vector<cv::Point2f> g = gridPoints(pattern.height, pattern.width, placements[pl]);
                // colour picks which print of the board this is.
                const float white = colour ? kPi / 4 : 3 * kPi / 4;
                Board physical(pattern, g, white, white + kPi / 2);
                std::vector<cv::Point2f> expected;
                for (Board& b : allOrientations(physical)) {
                    b.canonicalizeOrientation(false);
                    turnToPattern(b, pattern);
                    ASSERT_EQ(b.cols(), pattern.width);
                    ASSERT_EQ(b.rows(), pattern.height);
                    const std::vector<cv::Point2f> pts = b.getCornerPoints(true);
                    if (expected.empty())
                        expected = pts;
                    EXPECT_TRUE(samePoints(pts, expected));
                    // Not mirrored against the image.
                    const cv::Point2f right = b.getCorner(1, 2) - b.getCorner(1, 0);
                    const cv::Point2f down = b.getCorner(2, 1) - b.getCorner(0, 1);
                    EXPECT_LT(down.x * right.y - down.y * right.x, 0);
                    const bool oddEven = (pattern.width % 2) != (pattern.height % 2);
                    if (oddEven) {
                        EXPECT_FALSE(b.getCell(0, 0)->black);
                    } else if (pattern.width >= pattern.height) {
                        // Of the two corners a half turn can put first, the
                        // nearer one (of all four on a square board).
                        const cv::Point2f first = b.getCorner(0, 0);
                        std::vector<cv::Point2f> others{b.getCorner(b.rows() - 1, b.cols() - 1)};
                        if (pattern.width == pattern.height) {
                            others.push_back(b.getCorner(0, b.cols() - 1));
                            others.push_back(b.getCorner(b.rows() - 1, 0));
                        }
                        for (const cv::Point2f& o : others) {
                            EXPECT_LE(first.dot(first), o.dot(o));
                        }
                    }
                }
            }
}

TEST(ChessboardBoardOrientation, SquareBoardsStartAtTheCornerNearestTheOrigin)
{
    struct Case {
        const char* name;
        cv::Matx33d H;
        cv::Point2f first;
    } cases[] = {
        // corner (3, 3) of the grid nearest the origin: a half turn
        {"bottom-right nearest", similarity(-20, 200, 200), {140, 140}},
        {"top-right nearest", similarity(20, 200, 40, 90), {140, 40}},
        // (0,0) at (40, 30) and (3,0) at (30, 40): equally near, smaller y first
        {"tie", cv::Matx33d(10.0 / 3, -10.0 / 3, 40, 10.0 / 3, 10.0 / 3, 30, 0, 0, 1), {40, 30}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const std::vector<cv::Point2f> g = gridPoints(4, 4, k.H);
        Board physical(cv::Size(4, 4), g, kPi / 4, 3 * kPi / 4);
        for (Board& b : allOrientations(physical)) {
            b.canonicalizeOrientation(false);
            EXPECT_NEAR(b.getCorner(0, 0).x, k.first.x, 1e-3);
            EXPECT_NEAR(b.getCorner(0, 0).y, k.first.y, 1e-3);
        }
    }
}

TEST(ChessboardBoardOrientation, CornerKeyPoints)
{
    const std::vector<cv::Point2f> g = gridPoints(6, 9, perspective());
    Board b(cv::Size(9, 6), g, 0, 1);
    const std::vector<cv::KeyPoint> kp = b.getCornerKeyPoints(true);
    ASSERT_EQ(kp.size(), 54u);
    for (size_t i = 0; i < kp.size(); ++i) {
        EXPECT_EQ(kp[i].pt, g[i]);
        EXPECT_EQ(kp[i].size, 1);
        EXPECT_EQ(kp[i].angle, -1);
        EXPECT_EQ(kp[i].response, 0);
        EXPECT_EQ(kp[i].octave, 0);
        EXPECT_EQ(kp[i].class_id, -1);
    }
    b.getCorner(2, 2) = cv::Point2f(kNaN, kNaN);
    EXPECT_EQ(b.getCornerKeyPoints(false).size(), 53u);
    EXPECT_TRUE(Board().getCornerKeyPoints(true).empty());
}

} // namespace
