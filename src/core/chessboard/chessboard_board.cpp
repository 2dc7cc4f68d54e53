#include "core/chessboard/chessboard_board.h"

#include "core/chessboard/chessboard_fit.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace details {

namespace {

using Board = Chessboard::Board;
using Cell = Board::Cell;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Fixed constants of growing and validation.
const float kGrowSearchFactor = 0.5f;
const float kFirstLineCheckFactor = 1.5f;
const float kLineCheckFactor = 0.5f;
const float kMinEllipseLength = 3.0f;
const float kMinEllipseWidth = 2.0f;
const float kEllipseWidthRatio = 0.35f;
const float kGridSearchFactor = 0.4f;
const int kIdealCellSize = 100;
const float kAngleTolerance = 0.83775806f; // 48 degrees
const int kNeighbours = 4;
const float kMinPredictedStep = 0.1f;
const float kMinDirectionCosine = 0.9f;

float contourAngleBound()
{
    static const float bound = static_cast<float>(std::cos(0.6108652381980153)); // cos 35 degrees
    return bound;
}

bool isFinite(const cv::Point2f& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y);
}

bool samePoint(const cv::Point2f& a, const cv::Point2f& b)
{
    return a.x == b.x && a.y == b.y;
}

float norm2f(const cv::Point2f& p)
{
    return std::sqrt(p.x * p.x + p.y * p.y);
}

// Angle between two directions taken as undirected lines, in [0, pi/2].
float lineAngleDiff(float a, float b)
{
    float d = std::fmod(std::fabs(a - b), static_cast<float>(CV_PI));
    if (d > static_cast<float>(CV_PI / 2))
        d = static_cast<float>(CV_PI) - d;
    return d;
}

// Parabola through three or four samples (t, offset from the line) evaluated at
// t_eval: the bending of a row or column of perspective corners.
bool fitBending(const std::vector<double>& t, const std::vector<double>& y, double tEval, double& v)
{
    cv::Mat coeffs;
    try {
        polyfit(cv::Mat(t, false).reshape(1, static_cast<int>(t.size())),
                cv::Mat(y, false).reshape(1, static_cast<int>(y.size())), coeffs, 2);
    } catch (const cv::Exception&) {
        return false;
    }
    cv::Mat c;
    coeffs.convertTo(c, CV_64F);
    const double* cc = c.ptr<double>();
    v = cc[0] + tEval * cc[1] + tEval * tEval * cc[2];
    return std::isfinite(v);
}

cv::Point2f mapPoint(const cv::Mat& H, double x, double y)
{
    const double* h = H.ptr<double>();
    const double w = h[6] * x + h[7] * y + h[8];
    return cv::Point2f(static_cast<float>((h[0] * x + h[1] * y + h[2]) / w),
                       static_cast<float>((h[3] * x + h[4] * y + h[5]) / w));
}

// Bilinear sample of an 8-bit image; the caller keeps p inside.
float sampleBilinear(const cv::Mat& img, float x, float y)
{
    const int x0 = static_cast<int>(std::floor(x));
    const int y0 = static_cast<int>(std::floor(y));
    const float fx = x - x0;
    const float fy = y - y0;
    const uchar* r0 = img.ptr<uchar>(y0);
    const uchar* r1 = img.ptr<uchar>(y0 + 1);
    return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x0 + 1]) + fy * ((1 - fx) * r1[x0] + fx * r1[x0 + 1]);
}

// Does the image look like a chessboard corner at p: on a ring around it two
// bright and two dark sectors, opposite sectors alike, with enough contrast?
bool looksLikeCorner(const cv::Mat& gray, cv::Point2f p, float radius)
{
    const int n = 32;
    const float minContrast = 12.0f;
    float v[n];
    float lo = FLT_MAX;
    float hi = -FLT_MAX;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * CV_PI * i / n;
        const float dx = static_cast<float>(std::cos(a));
        const float dy = static_cast<float>(std::sin(a));
        // two radii, to smooth out noise
        v[i] = 0.5f * (sampleBilinear(gray, p.x + radius * dx, p.y + radius * dy) +
                       sampleBilinear(gray, p.x + 0.7f * radius * dx, p.y + 0.7f * radius * dy));
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
    }
    if (hi - lo < minContrast)
        return false;
    const float mid = 0.5f * (hi + lo);
    int changes = 0;
    int symmetric = 0;
    for (int i = 0; i < n; ++i) {
        const bool b = v[i] > mid;
        if (b != (v[(i + 1) % n] > mid))
            ++changes;
        if (b == (v[(i + n / 2) % n] > mid))
            ++symmetric;
    }
    return changes == 4 && symmetric >= n - 4;
}

// Measures the chessboard corner near `guess`, `spacing` pixels from its
// nearest neighbouring corner: gradient-based sub-pixel refinement, then a
// check that the spot is a corner and that the refinement stayed close.
bool measureCorner(const cv::Mat& gray, cv::Point2f guess, float spacing, cv::Point2f& out)
{
    if (!isFinite(guess) || !(spacing > 0))
        return false;
    const int half = std::max(2, std::min(12, static_cast<int>(0.3f * spacing)));
    const float ring = std::max(2.0f, 0.35f * spacing);
    const float margin = std::max(static_cast<float>(half), ring) + 2;
    auto inside = [&](const cv::Point2f& p) {
        return p.x >= margin && p.y >= margin && p.x < gray.cols - 1 - margin && p.y < gray.rows - 1 - margin;
    };
    if (!inside(guess))
        return false;
    std::vector<cv::Point2f> pts{guess};
    cv::cornerSubPix(gray, pts, cv::Size(half, half), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 50, 0.001));
    const cv::Point2f p = pts[0];
    if (!isFinite(p) || !inside(p) || norm2f(p - guess) > half)
        return false;
    if (!looksLikeCorner(gray, p, ring))
        return false;
    out = p;
    return true;
}

enum Side { SideTop = 0, SideBottom = 1, SideLeft = 2, SideRight = 3 };

} // namespace

// ---------------------------------------------------------------------------
// Cell, PointIter, SearchEllipse

bool Chessboard::Board::Cell::isIncomplete() const
{
    for (const cv::Point2f* p : {topLeft, topRight, bottomRight, bottomLeft})
        if (!p || std::isnan(p->x) || std::isnan(p->y))
            return true;
    return false;
}

Chessboard::Board::PointIter::PointIter(Cell* cell_, Corner corner_) : corner(corner_), cell(cell_) {}

cv::Point2f* Chessboard::Board::PointIter::operator*() const
{
    switch (corner) {
    case TopLeft:
        return cell->topLeft;
    case TopRight:
        return cell->topRight;
    case BottomRight:
        return cell->bottomRight;
    case BottomLeft:
        return cell->bottomLeft;
    }
    return nullptr;
}

namespace {

// One move across a cell border: to `direct` keeping the corner, or, in
// complete-only mode, through the diagonal neighbour first->second to `altCorner`.
bool crossMove(Board::PointIter& it, Cell* direct, Cell* Cell::*first, Cell* Cell::*second,
               Board::Corner altCorner, bool completeOnly)
{
    if (!completeOnly) {
        if (!direct)
            return false;
        it.cell = direct;
        return true;
    }
    if (direct && !direct->isIncomplete()) {
        it.cell = direct;
        return true;
    }
    Cell* mid = it.cell->*first;
    Cell* alt = mid ? mid->*second : nullptr;
    if (alt && !alt->isIncomplete()) {
        it.cell = alt;
        it.corner = altCorner;
        return true;
    }
    return false;
}

} // namespace

bool Chessboard::Board::PointIter::right(bool completeOnly)
{
    switch (corner) {
    case TopLeft:
        corner = TopRight;
        return true;
    case BottomLeft:
        corner = BottomRight;
        return true;
    case TopRight:
        return crossMove(*this, cell->right, &Cell::top, &Cell::right, BottomRight, completeOnly);
    case BottomRight:
        return crossMove(*this, cell->right, &Cell::bottom, &Cell::right, TopRight, completeOnly);
    }
    return false;
}

bool Chessboard::Board::PointIter::left(bool completeOnly)
{
    switch (corner) {
    case TopRight:
        corner = TopLeft;
        return true;
    case BottomRight:
        corner = BottomLeft;
        return true;
    case TopLeft:
        return crossMove(*this, cell->left, &Cell::top, &Cell::left, BottomLeft, completeOnly);
    case BottomLeft:
        return crossMove(*this, cell->left, &Cell::bottom, &Cell::left, TopLeft, completeOnly);
    }
    return false;
}

bool Chessboard::Board::PointIter::bottom(bool completeOnly)
{
    switch (corner) {
    case TopLeft:
        corner = BottomLeft;
        return true;
    case TopRight:
        corner = BottomRight;
        return true;
    case BottomRight:
        return crossMove(*this, cell->bottom, &Cell::right, &Cell::bottom, BottomLeft, completeOnly);
    case BottomLeft:
        return crossMove(*this, cell->bottom, &Cell::left, &Cell::bottom, BottomRight, completeOnly);
    }
    return false;
}

bool Chessboard::Board::PointIter::top(bool completeOnly)
{
    switch (corner) {
    case BottomRight:
        corner = TopRight;
        return true;
    case BottomLeft:
        corner = TopLeft;
        return true;
    case TopLeft:
        return crossMove(*this, cell->top, &Cell::left, &Cell::top, TopRight, completeOnly);
    case TopRight:
        return crossMove(*this, cell->top, &Cell::right, &Cell::top, TopLeft, completeOnly);
    }
    return false;
}

Chessboard::Board::SearchEllipse::SearchEllipse(cv::Point2f center_, cv::Size2f axes_, float angle_)
    : center(center_), axes(axes_), angle(angle_), cosNeg(std::cos(-angle_)), sinNeg(std::sin(-angle_))
{
}

bool Chessboard::Board::SearchEllipse::contains(cv::Point2f p) const
{
    const cv::Point2f d = p - center;
    const float u = cosNeg * d.x + sinNeg * d.y;
    const float v = cosNeg * d.y - sinNeg * d.x;
    return u * u / (axes.width * axes.width) + v * v / (axes.height * axes.height) <= 1.0f;
}

// ---------------------------------------------------------------------------
// Construction, copying, emptying

Chessboard::Board::Board(cv::Size size, const std::vector<cv::Point2f>& points, float whiteAngle_,
                         float blackAngle_)
    : whiteAngle(whiteAngle_), blackAngle(blackAngle_)
{
    if (static_cast<size_t>(size.width) * static_cast<size_t>(std::max(size.height, 0)) != points.size() ||
        size.width < 0 || size.height < 0)
        cv::error(cv::Error::StsBadArg, "size mismatch", "details::Chessboard::Board::Board", __FILE__,
                  __LINE__);
    if (size.width < 3 || size.height < 3)
        cv::error(cv::Error::StsBadArg, "at least 3 rows and cols are needed to initialize the board",
                  "details::Chessboard::Board::Board", __FILE__, __LINE__);
    const int w = size.width;
    std::vector<cv::Point2f> nine;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            nine.push_back(points[r * w + c]);
    init(nine);
    for (int c = 3; c < w; ++c)
        addColumnRight({points[c], points[w + c], points[2 * w + c]});
    for (int r = 3; r < size.height; ++r)
        addRowBottom(std::vector<cv::Point2f>(points.begin() + r * w, points.begin() + (r + 1) * w));
}

Chessboard::Board::Board(const Board& other)
{
    copyFrom(other);
}

Chessboard::Board& Chessboard::Board::operator=(const Board& other)
{
    if (this != &other) {
        reset();
        copyFrom(other);
    }
    return *this;
}

Chessboard::Board::Board(Board&& other) noexcept
    : cells(std::move(other.cells)), corners(std::move(other.corners)), measured(std::move(other.measured)),
      topLeftCell(other.topLeftCell), nRows(other.nRows), nCols(other.nCols), whiteAngle(other.whiteAngle),
      blackAngle(other.blackAngle)
{
    other.reset();
}

Chessboard::Board& Chessboard::Board::operator=(Board&& other) noexcept
{
    if (this != &other) {
        reset();
        cells = std::move(other.cells);
        corners = std::move(other.corners);
        measured = std::move(other.measured);
        topLeftCell = other.topLeftCell;
        nRows = other.nRows;
        nCols = other.nCols;
        whiteAngle = other.whiteAngle;
        blackAngle = other.blackAngle;
        other.reset();
    }
    return *this;
}

Chessboard::Board::~Board() = default;

void Chessboard::Board::copyFrom(const Board& other)
{
    whiteAngle = other.whiteAngle;
    blackAngle = other.blackAngle;
    nRows = other.nRows;
    nCols = other.nCols;
    measured = other.measured;
    std::unordered_map<const cv::Point2f*, cv::Point2f*> pointMap;
    std::unordered_map<const Cell*, Cell*> cellMap;
    pointMap[nullptr] = nullptr;
    cellMap[nullptr] = nullptr;
    corners.reserve(other.corners.size());
    for (const auto& p : other.corners) {
        corners.push_back(std::make_unique<cv::Point2f>(*p));
        pointMap[p.get()] = corners.back().get();
    }
    cells.reserve(other.cells.size());
    for (const auto& c : other.cells) {
        cells.push_back(std::make_unique<Cell>());
        cellMap[c.get()] = cells.back().get();
    }
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell& from = *other.cells[i];
        Cell& to = *cells[i];
        to.topLeft = pointMap.at(from.topLeft);
        to.topRight = pointMap.at(from.topRight);
        to.bottomRight = pointMap.at(from.bottomRight);
        to.bottomLeft = pointMap.at(from.bottomLeft);
        to.left = cellMap.at(from.left);
        to.top = cellMap.at(from.top);
        to.right = cellMap.at(from.right);
        to.bottom = cellMap.at(from.bottom);
        to.black = from.black;
    }
    topLeftCell = cellMap.at(other.topLeftCell);
}

void Chessboard::Board::reset()
{
    topLeftCell = nullptr;
    nRows = 0;
    nCols = 0;
    cells.clear();
    corners.clear();
    measured.clear();
}

Chessboard::Board::Cell* Chessboard::Board::newCell()
{
    cells.push_back(std::make_unique<Cell>());
    return cells.back().get();
}

cv::Point2f* Chessboard::Board::newCorner(const cv::Point2f& p)
{
    corners.push_back(std::make_unique<cv::Point2f>(p));
    measured.push_back(1);
    return corners.back().get();
}

bool Chessboard::Board::init(std::vector<cv::Point2f> points)
{
    reset();
    if (points.size() != 9)
        cv::error(cv::Error::StsBadArg, "exact nine points are expected to initialize the board",
                  "details::Chessboard::Board::init", __FILE__, __LINE__);
    cv::Point2f* p[9];
    for (int i = 0; i < 9; ++i)
        p[i] = newCorner(points[i]);
    Cell* c[4];
    for (int i = 0; i < 4; ++i)
        c[i] = newCell();
    auto setCorners = [](Cell* cell, cv::Point2f* tl, cv::Point2f* tr, cv::Point2f* br, cv::Point2f* bl) {
        cell->topLeft = tl;
        cell->topRight = tr;
        cell->bottomRight = br;
        cell->bottomLeft = bl;
    };
    setCorners(c[0], p[0], p[1], p[4], p[3]);
    setCorners(c[1], p[1], p[2], p[5], p[4]);
    setCorners(c[2], p[3], p[4], p[7], p[6]);
    setCorners(c[3], p[4], p[5], p[8], p[7]);
    c[0]->right = c[1];
    c[0]->bottom = c[2];
    c[1]->left = c[0];
    c[1]->bottom = c[3];
    c[2]->top = c[0];
    c[2]->right = c[3];
    c[3]->top = c[1];
    c[3]->left = c[2];
    topLeftCell = c[0];
    nRows = nCols = 3;

    // Colours: the diagonal of cell 0 from its bottom-left to its top-right
    // corner runs through the white cells when it is closer to the white
    // direction than to the black one.
    const cv::Point2f diag = *p[1] - *p[3];
    const double len = std::sqrt(static_cast<double>(diag.x) * diag.x + static_cast<double>(diag.y) * diag.y);
    const cv::Point2f d(static_cast<float>(diag.x / len), static_cast<float>(diag.y / len));
    const float aw = std::fabs(std::cos(whiteAngle) * d.x - std::sin(whiteAngle) * d.y);
    const float ab = std::fabs(std::cos(blackAngle) * d.x - std::sin(blackAngle) * d.y);
    const bool whiteDiagonal = ab > aw;
    c[0]->black = c[3]->black = !whiteDiagonal;
    c[1]->black = c[2]->black = whiteDiagonal;
    return true;
}

Chessboard::Board::Cell* Chessboard::Board::topRightCell() const
{
    Cell* c = topLeftCell;
    while (c && c->right)
        c = c->right;
    return c;
}

Chessboard::Board::Cell* Chessboard::Board::bottomLeftCell() const
{
    Cell* c = topLeftCell;
    while (c && c->bottom)
        c = c->bottom;
    return c;
}

// How a line of new cells attaches along one side of the board: the line of
// existing cells E along that border, walked from its first cell, and the
// neighbour links and corners that a new cell and its E share. A new cell's
// inner corners are the outer corners of its E: it takes E's outerA and
// outerB as its innerA and innerB.
struct Chessboard::Board::LineAttachment {
    Cell* Cell::*step = nullptr;          // from one cell of the border line to the next
    Cell* Cell::*stepBack = nullptr;      // the other way
    Cell* Cell::*out = nullptr;           // side of E on which the new cell lies
    Cell* Cell::*in = nullptr;            // side of the new cell on which E lies
    cv::Point2f* Cell::*outerA = nullptr; // outer corner on the side of points[k - 1]
    cv::Point2f* Cell::*outerB = nullptr; // outer corner on the side of points[k]
    cv::Point2f* Cell::*innerA = nullptr; // inner corner on the side of points[k - 1]
    cv::Point2f* Cell::*innerB = nullptr; // inner corner on the side of points[k]

    static LineAttachment forSide(int side)
    {
        LineAttachment a;
        switch (side) {
        case SideLeft:
            a.step = &Cell::bottom;
            a.stepBack = &Cell::top;
            a.out = &Cell::left;
            a.in = &Cell::right;
            a.outerA = &Cell::topLeft;
            a.outerB = &Cell::bottomLeft;
            a.innerA = &Cell::topRight;
            a.innerB = &Cell::bottomRight;
            break;
        case SideRight:
            a.step = &Cell::bottom;
            a.stepBack = &Cell::top;
            a.out = &Cell::right;
            a.in = &Cell::left;
            a.outerA = &Cell::topRight;
            a.outerB = &Cell::bottomRight;
            a.innerA = &Cell::topLeft;
            a.innerB = &Cell::bottomLeft;
            break;
        case SideTop:
            a.step = &Cell::right;
            a.stepBack = &Cell::left;
            a.out = &Cell::top;
            a.in = &Cell::bottom;
            a.outerA = &Cell::topLeft;
            a.outerB = &Cell::topRight;
            a.innerA = &Cell::bottomLeft;
            a.innerB = &Cell::bottomRight;
            break;
        default:
            a.step = &Cell::right;
            a.stepBack = &Cell::left;
            a.out = &Cell::bottom;
            a.in = &Cell::top;
            a.outerA = &Cell::bottomLeft;
            a.outerB = &Cell::bottomRight;
            a.innerA = &Cell::topLeft;
            a.innerB = &Cell::topRight;
            break;
        }
        return a;
    }

    // Number of cells of the border line from start.
    int lineLength(const Cell* start) const
    {
        int length = 0;
        for (const Cell* e = start; e; e = e->*step)
            ++length;
        return length;
    }
};

// Adds the cells of the new line (one fewer than the points) and its corners
// (the points) beside the border line from start, links the new cells with
// each other and with the border line, and gives each the opposite colour of
// its border cell. Returns the first new cell.
Chessboard::Board::Cell* Chessboard::Board::attachLine(const std::vector<cv::Point2f>& points, Cell* start,
                                                       const LineAttachment& a)
{
    const int n = static_cast<int>(points.size());
    const size_t firstNew = cells.size();
    for (int k = 1; k < n; ++k)
        newCell();
    cv::Point2f* last = newCorner(points[0]);
    Cell* e = start;
    for (int k = 1; k < n; ++k, e = e->*a.step) {
        Cell* nk = cells[firstNew + k - 1].get();
        e->*a.out = nk;
        nk->*a.in = e;
        nk->black = !e->black;
        if (k > 1)
            nk->*a.stepBack = cells[firstNew + k - 2].get();
        if (k < n - 1)
            nk->*a.step = cells[firstNew + k].get();
        nk->*a.outerA = last;
        last = newCorner(points[k]);
        nk->*a.outerB = last;
        nk->*a.innerA = e->*a.outerA;
        nk->*a.innerB = e->*a.outerB;
    }
    return cells[firstNew].get();
}

void Chessboard::Board::addLine(const std::vector<cv::Point2f>& points, int side)
{
    static const char* names[] = {
        "details::Chessboard::Board::addRowTop", "details::Chessboard::Board::addRowBottom",
        "details::Chessboard::Board::addColumnLeft", "details::Chessboard::Board::addColumnRight"};
    const bool column = side == SideLeft || side == SideRight;
    const int n = static_cast<int>(points.size());
    if (points.empty() || !topLeftCell || n != (column ? nRows : nCols))
        cv::error(cv::Error::StsBadArg, "wrong number of points", names[side], __FILE__, __LINE__);

    const LineAttachment attachment = LineAttachment::forSide(side);
    const bool atTopLeft = side == SideLeft || side == SideTop;
    Cell* start = atTopLeft ? topLeftCell : side == SideRight ? topRightCell() : bottomLeftCell();
    // Count the border line before changing anything.
    if (attachment.lineLength(start) != n - 1)
        cv::error(cv::Error::StsInternal, "damaged grid", names[side], __FILE__, __LINE__);

    Cell* first = attachLine(points, start, attachment);
    if (atTopLeft)
        topLeftCell = first;
    if (column)
        ++nCols;
    else
        ++nRows;
}

void Chessboard::Board::addColumnLeft(const std::vector<cv::Point2f>& points)
{
    addLine(points, SideLeft);
}
void Chessboard::Board::addColumnRight(const std::vector<cv::Point2f>& points)
{
    addLine(points, SideRight);
}
void Chessboard::Board::addRowTop(const std::vector<cv::Point2f>& points)
{
    addLine(points, SideTop);
}
void Chessboard::Board::addRowBottom(const std::vector<cv::Point2f>& points)
{
    addLine(points, SideBottom);
}

// ---------------------------------------------------------------------------
// Access

Chessboard::Board::Cell* Chessboard::Board::getCell(int row, int col)
{
    if (row < 0 || col < 0 || row >= nRows || col >= nCols)
        cv::error(cv::Error::StsBadArg, "out of bound", "details::Chessboard::Board::getCell", __FILE__,
                  __LINE__);
    PointIter it(topLeftCell, BottomRight);
    for (int r = 0; r < row; ++r)
        it.bottom();
    for (int c = 0; c < col; ++c)
        it.right();
    return it.cell;
}

const Chessboard::Board::Cell* Chessboard::Board::getCell(int row, int col) const
{
    return const_cast<Board*>(this)->getCell(row, col);
}

cv::Point2f& Chessboard::Board::getCorner(int row, int col)
{
    if (row < 0 || col < 0 || row >= nRows || col >= nCols)
        cv::error(cv::Error::StsBadArg, "out of bound", "details::Chessboard::Board::getCorner", __FILE__,
                  __LINE__);
    Cell* cell = topLeftCell;
    Corner corner = TopLeft;
    if (row > 0) {
        corner = BottomLeft;
        for (int r = 1; r < row && cell; ++r)
            cell = cell->bottom;
    }
    if (!cell)
        cv::error(cv::Error::StsInternal, "cannot find corner", "details::Chessboard::Board::getCorner",
                  __FILE__, __LINE__);
    PointIter it(cell, corner);
    for (int c = 0; c < col; ++c)
        if (!it.right())
            cv::error(cv::Error::StsInternal, "cannot find corner", "details::Chessboard::Board::getCorner",
                      __FILE__, __LINE__);
    return **it;
}

std::vector<cv::Point2f> Chessboard::Board::getCornerPoints(bool all) const
{
    std::vector<cv::Point2f> result;
    if (!topLeftCell)
        return result;
    result.reserve(static_cast<size_t>(nRows) * nCols);
    auto addRow = [&](PointIter it) {
        do {
            const cv::Point2f& p = **it;
            if (all || (!std::isnan(p.x) && !std::isnan(p.y)))
                result.push_back(p);
        } while (it.right());
    };
    addRow(PointIter(topLeftCell, TopLeft));
    for (Cell* c = topLeftCell; c; c = c->bottom)
        addRow(PointIter(c, BottomLeft));
    return result;
}

void Chessboard::Board::setCornerPoints(const std::vector<cv::Point2f>& points)
{
    if (!topLeftCell || points.size() != static_cast<size_t>(nRows) * nCols)
        cv::error(cv::Error::StsBadSize, "wrong number of corners",
                  "details::Chessboard::Board::setCornerPoints", __FILE__, __LINE__);
    size_t i = 0;
    auto setRow = [&](PointIter it) {
        do {
            if (i < points.size())
                **it = points[i];
            ++i;
        } while (it.right());
    };
    setRow(PointIter(topLeftCell, TopLeft));
    for (Cell* c = topLeftCell; c; c = c->bottom)
        setRow(PointIter(c, BottomLeft));
}

std::vector<cv::Point2f> Chessboard::Board::getContour() const
{
    std::vector<cv::Point2f> result;
    if (!topLeftCell)
        return result;

    // Start: the first position, row by row, that lies on a complete cell.
    PointIter start(topLeftCell, TopLeft);
    bool found = false;
    for (PointIter rowIt = start; !found;) {
        PointIter it = rowIt;
        do {
            if (!it.cell->isIncomplete()) {
                start = it;
                found = true;
                break;
            }
        } while (it.right());
        if (!found && !rowIt.bottom())
            return result;
    }

    enum Dir { Top = 0, Right = 1, Bottom = 2, Left = 3, None = 4 };
    PointIter it = start;
    const cv::Point2f* startPoint = *start;
    int mode = Right;
    int last = None;
    const size_t maxSteps = 4 * corners.size() + 16;
    size_t steps = 0;
    do {
        if (++steps > maxSteps)
            return {};
        bool moved = false;
        for (int d = mode; d <= Left && !moved; ++d) {
            const cv::Point2f p = **it;
            switch (d) {
            case Top:
                moved = it.top(true);
                break;
            case Right:
                moved = it.right(true);
                break;
            case Bottom:
                moved = it.bottom(true);
                break;
            default:
                moved = it.left(true);
                break;
            }
            if (moved) {
                if (d != last)
                    result.push_back(p);
                last = d;
                static const int counterClockwise[] = {Left, Top, Right, Bottom};
                mode = counterClockwise[d];
            }
        }
        if (!moved)
            mode = Top;
    } while (*it != startPoint);
    return result;
}

bool Chessboard::Board::hasUniqueCorners() const
{
    std::vector<cv::Point2f> pts = getCornerPoints(false);
    std::sort(pts.begin(), pts.end(), [](const cv::Point2f& a, const cv::Point2f& b) {
        return a.x < b.x || (a.x == b.x && a.y < b.y);
    });
    for (size_t i = 1; i < pts.size(); ++i)
        if (samePoint(pts[i - 1], pts[i]))
            return false;
    return true;
}

// ---------------------------------------------------------------------------
// Predictions and search areas

bool Chessboard::Board::predictNextPoint(const cv::Point2f& p0, const cv::Point2f& p1, const cv::Point2f& p2,
                                         cv::Point2f& p3)
{
    if (!isFinite(p0) || !isFinite(p1) || !isFinite(p2))
        return false;
    if (samePoint(p0, p1) || samePoint(p1, p2) || samePoint(p0, p2))
        return false;
    const float a = norm2f(p1 - p0);
    const float b = norm2f(p2 - p1);
    const float q = 0.75f * a - 0.25f * b;
    if (q <= 0)
        return false;
    const float d = (a + b) * 0.25f * b / q;
    if (d < kMinPredictedStep)
        return false;
    const cv::Point2f u = (p1 - p0) / a;
    const cv::Point2f w = (p2 - p1) / b;
    if (u.dot(w) < kMinDirectionCosine)
        return false;
    cv::Point2f next = p2 + d * w;

    // Bending: a parabola through the offsets of p2, p1, p0 from the line p1-p2.
    const cv::Point2f m(w.y, -w.x);
    const float h = m.dot(p0 - p2);
    double v = 0;
    if (!fitBending({0.0, b, static_cast<double>(a) + b}, {0.0, 0.0, h}, -static_cast<double>(d), v))
        return false;
    next += static_cast<float>(v) * m;
    if (!isFinite(next))
        return false;
    p3 = next;
    return true;
}

bool Chessboard::Board::predictNextPoint(const cv::Point2f& p0, const cv::Point2f& p1, const cv::Point2f& p2,
                                         const cv::Point2f& p3, cv::Point2f& p4)
{
    const cv::Point2f* p[4] = {&p0, &p1, &p2, &p3};
    for (int i = 0; i < 4; ++i) {
        if (!isFinite(*p[i]))
            return false;
        for (int j = i + 1; j < 4; ++j)
            if (samePoint(*p[i], *p[j]))
                return false;
    }
    const float s1 = norm2f(p1 - p0);
    const float s2 = norm2f(p2 - p0);
    const float s3 = norm2f(p3 - p0);
    static const cv::Mat ideal = (cv::Mat_<double>(1, 4) << 0, 10, 20, 30);
    const cv::Mat dst = (cv::Mat_<double>(1, 4) << 0, s1, s2, s3);
    cv::Mat H;
    try {
        H = findHomography1D(ideal, dst);
    } catch (const cv::Exception&) {
        return false; // the distances do not determine a projective map
    }
    const double* h = H.ptr<double>();
    const float E = static_cast<float>((h[0] * 40 + h[1]) / (h[2] * 40 + h[3]) - s3);
    if (!std::isfinite(E))
        return false;
    const cv::Point2f e = (p3 - p2) / norm2f(p3 - p2);
    cv::Point2f next = p3 + E * e;

    const cv::Point2f m(e.y, -e.x);
    double v = 0;
    if (!fitBending({0.0, static_cast<double>(s3) - s2, static_cast<double>(s3) - s1, s3},
                    {0.0, 0.0, m.dot(p1 - p3), m.dot(p0 - p3)}, -std::fabs(static_cast<double>(E)), v))
        return false;
    next += static_cast<float>(v) * m;
    if (!isFinite(next))
        return false;
    p4 = next;
    return true;
}

bool Chessboard::Board::searchAreaFromLine(const cv::Point2f& a, const cv::Point2f& b, const cv::Point2f& c,
                                           float factor, SearchEllipse& ellipse, const cv::Point2f* before)
{
    cv::Point2f n;
    cv::Point2f origin;
    if (before) {
        if (!predictNextPoint(*before, a, b, c, n))
            return false;
        origin = *before;
    } else {
        if (!predictNextPoint(a, b, c, n))
            return false;
        origin = a;
    }
    const cv::Point2f dir = n - origin;
    const float len = norm2f(dir);
    if (!(len > 0))
        return false;
    const cv::Point2f u = dir / len;
    float angle = std::acos(std::max(-1.0f, std::min(1.0f, u.x)));
    if (u.y > 0)
        angle = static_cast<float>(2 * CV_PI) - angle;
    const float L = std::max(factor * norm2f(n - c), kMinEllipseLength);
    const float width = std::trunc(L);
    const float height = std::trunc(std::max(kEllipseWidthRatio * L, kMinEllipseWidth));
    ellipse = SearchEllipse(n, cv::Size2f(width, height), angle);
    return true;
}

Chessboard::Board::SearchEllipse Chessboard::Board::searchAreaFromGrid(const cv::Mat& H, int row, int col,
                                                                       float factor, int cellSize)
{
    CV_Assert(H.type() == CV_64FC1 && H.rows == 3 && H.cols == 3);
    const double X = (col + 1.0) * cellSize;
    const double Y = (row + 1.0) * cellSize;
    const double f = static_cast<double>(factor) * cellSize;
    const cv::Point2f c = mapPoint(H, X, Y);
    const cv::Point2f d1 = mapPoint(H, X - f, Y) - c;
    const cv::Point2f d2 = mapPoint(H, X, Y - f) - c;
    const float width = norm2f(d1);
    const float height = norm2f(d2);
    const float angle = std::acos(std::max(-1.0f, std::min(1.0f, d1.dot(d2) / (width * height))));
    return SearchEllipse(c, cv::Size2f(width, height), angle);
}

bool Chessboard::Board::isConsistentLine(const std::vector<cv::Point2f>& points)
{
    const size_t n = points.size();
    if (n < 4)
        return n == 3;
    SearchEllipse e;
    if (!searchAreaFromLine(points[3], points[2], points[1], kFirstLineCheckFactor, e) ||
        !e.contains(points[0]))
        return false;
    for (size_t k = 4; k < n; ++k) {
        if (!searchAreaFromLine(points[k - 3], points[k - 2], points[k - 1], kLineCheckFactor, e,
                                &points[k - 4]) ||
            !e.contains(points[k]))
            return false;
    }
    return true;
}

float Chessboard::Board::findMaxPoint(cv::flann::Index& index, const cv::Mat& table,
                                      const SearchEllipse& ellipse, float whiteAngle, float blackAngle,
                                      cv::Point2f& point)
{
    if (table.type() != CV_32FC1)
        cv::error(cv::Error::StsBadArg, "type of flann data is not supported",
                  "details::Chessboard::Board::findMaxPoint", __FILE__, __LINE__);
    if (table.cols != 4)
        cv::error(cv::Error::StsBadArg, "4-cols flann data is expected",
                  "details::Chessboard::Board::findMaxPoint", __FILE__, __LINE__);
    point = cv::Point2f(kNaN, kNaN);
    const int k = std::min(kNeighbours, table.rows);
    if (k <= 0 || !isFinite(ellipse.center))
        return 0;
    cv::Mat query = (cv::Mat_<float>(1, 2) << ellipse.center.x, ellipse.center.y);
    cv::Mat indices, dists;
    // Exact search: the k-d tree is built with random splits, and a search
    // bounded by a number of checks could then give different neighbours for
    // the same image from one run to the next.
    index.knnSearch(query, indices, dists, k,
                    cv::flann::SearchParams(cvflann::FLANN_CHECKS_UNLIMITED, 0, true));
    float best = -FLT_MAX;
    for (int i = 0; i < indices.cols; ++i) {
        const int idx = indices.at<int>(0, i);
        if (idx < 0 || idx >= table.rows)
            continue;
        const float* row = table.ptr<float>(idx);
        const float r = row[3];
        if (r < best)
            continue;
        const float dw = lineAngleDiff(row[2], whiteAngle);
        const float db = lineAngleDiff(row[2], blackAngle);
        if (!(dw < kAngleTolerance || db < kAngleTolerance))
            continue;
        const cv::Point2f p(row[0], row[1]);
        if (std::isnan(point.x))
            point = p;
        if (r > best && ellipse.contains(p)) {
            best = r;
            point = p;
        }
    }
    return best == -FLT_MAX ? 0.0f : best;
}

// ---------------------------------------------------------------------------
// Validation and growing

cv::Mat Chessboard::Board::fitGridHomography(int cellSize) const
{
    if (nRows < 3 || nCols < 3)
        return cv::Mat();
    const std::vector<cv::Point2f> pts = getCornerPoints(true);
    std::vector<cv::Point2f> ideal, image;
    for (int r = 0; r < nRows; ++r)
        for (int c = 0; c < nCols; ++c) {
            const cv::Point2f& p = pts[static_cast<size_t>(r) * nCols + c];
            if (std::isnan(p.x))
                continue;
            ideal.emplace_back(static_cast<float>((c + 1) * cellSize),
                               static_cast<float>((r + 1) * cellSize));
            image.push_back(p);
        }
    if (ideal.size() < 4)
        return cv::Mat();
    return cv::findHomography(ideal, image, 0, 3.0, cv::noArray(), 2000, 0.995);
}

int Chessboard::Board::confirmCorners(const cv::Mat& table, cv::flann::Index& index, const cv::Mat& H,
                                      float minResponse)
{
    if (!topLeftCell || H.empty())
        return 0;
    int confirmed = 0;
    auto visit = [&](cv::Point2f& p, int r, int c) {
        if (!std::isnan(p.x)) {
            ++confirmed;
            return;
        }
        const SearchEllipse e = searchAreaFromGrid(H, r, c, kGridSearchFactor, kIdealCellSize);
        cv::Point2f q;
        const float s = findMaxPoint(index, table, e, whiteAngle, blackAngle, q);
        if ((r == 0 && std::fabs(s) >= minResponse) || (r > 0 && s >= minResponse)) {
            p = q;
            ++confirmed;
        }
    };
    auto visitRow = [&](PointIter it, int r) {
        int c = 0;
        do
            visit(**it, r, c++);
        while (it.right());
    };
    visitRow(PointIter(topLeftCell, TopLeft), 0);
    int r = 1;
    for (Cell* cell = topLeftCell; cell; cell = cell->bottom)
        visitRow(PointIter(cell, BottomLeft), r++);
    if (!hasUniqueCorners())
        return -1;
    return confirmed;
}

bool Chessboard::Board::checkContourAngles() const
{
    const std::vector<cv::Point2f> c = getContour();
    if (c.size() != 4)
        return false;
    cv::Point2f e[4];
    for (int i = 0; i < 4; ++i) {
        e[i] = c[(i + 1) % 4] - c[i];
        e[i] /= norm2f(e[i]);
    }
    const float bound = contourAngleBound();
    for (int i = 0; i < 4; ++i)
        if (!(std::fabs(e[i].dot(e[(i + 1) % 4])) <= bound))
            return false;
    return true;
}

bool Chessboard::Board::growSide(const cv::Mat& table, cv::flann::Index& index, int side)
{
    static const char* names[] = {
        "details::Chessboard::Board::growTop", "details::Chessboard::Board::growBottom",
        "details::Chessboard::Board::growLeft", "details::Chessboard::Board::growRight"};
    if (!topLeftCell)
        cv::error(cv::Error::StsInternal, side == SideLeft ? "growLeft: Board is empty" : "Board is empty",
                  names[side], __FILE__, __LINE__);

    PointIter pos(topLeftCell, TopLeft);
    if (side == SideBottom)
        pos = PointIter(bottomLeftCell(), BottomLeft);
    else if (side == SideRight)
        pos = PointIter(topRightCell(), TopRight);
    auto along = [side](PointIter& it) {
        return (side == SideTop || side == SideBottom) ? it.right() : it.bottom();
    };
    auto inward = [side](PointIter& it) {
        switch (side) {
        case SideTop:
            return it.bottom();
        case SideBottom:
            return it.top();
        case SideLeft:
            return it.right();
        default:
            return it.left();
        }
    };

    std::vector<cv::Point2f> points;
    std::vector<char> isMeasured;
    int missing = 0;
    do {
        PointIter it = pos;
        const cv::Point2f p0 = **it;
        inward(it);
        const cv::Point2f p1 = **it;
        inward(it);
        const cv::Point2f p2 = **it;
        const bool hasP3 = inward(it);
        const cv::Point2f p3 = **it;

        SearchEllipse e;
        if (!searchAreaFromLine(p2, p1, p0, kGrowSearchFactor, e, hasP3 ? &p3 : nullptr))
            return false;
        cv::Point2f q;
        const float s = findMaxPoint(index, table, e, whiteAngle, blackAngle, q);
        cv::Point2f next;
        bool fromImage = true;
        if (samePoint(q, p0)) {
            ++missing;
            next = e.center;
            fromImage = false;
            if (next.x < 0 || next.y < 0)
                return false;
        } else if (s == 0) {
            // No candidate inside the ellipse. The nearest one outside it
            // belongs to some other corner (often a neighbour on the border
            // line): take the prediction instead, to be measured later.
            ++missing;
            fromImage = false;
            next = e.center;
        } else {
            next = q;
            if (s < 0)
                ++missing;
        }
        points.push_back(next);
        isMeasured.push_back(fromImage ? 1 : 0);
    } while (along(pos));

    const int n = static_cast<int>(points.size());
    if (side == SideLeft && n - missing <= 2)
        return false;
    if (missing > 0.5 * n || !isConsistentLine(points))
        return false;
    addLine(points, side);
    // addLine appended the new corner points in the order of `points`.
    std::copy(isMeasured.begin(), isMeasured.end(), measured.end() - n);
    return true;
}

bool Chessboard::Board::growTop(const cv::Mat& table, cv::flann::Index& index)
{
    return growSide(table, index, SideTop);
}
bool Chessboard::Board::growBottom(const cv::Mat& table, cv::flann::Index& index)
{
    return growSide(table, index, SideBottom);
}
bool Chessboard::Board::growLeft(const cv::Mat& table, cv::flann::Index& index)
{
    return growSide(table, index, SideLeft);
}
bool Chessboard::Board::growRight(const cv::Mat& table, cv::flann::Index& index)
{
    return growSide(table, index, SideRight);
}

int Chessboard::Board::grow(const cv::Mat& table, cv::flann::Index& index,
                            const std::function<bool(const Board&)>& accept)
{
    if (!topLeftCell)
        cv::error(cv::Error::StsInternal, "Board is empty", "details::Chessboard::Board::grow", __FILE__,
                  __LINE__);
    bool open[4] = {true, true, true, true}; // top, bottom, left, right
    int count = 0;
    bool grown = true;
    while (grown) {
        grown = false;
        for (int side = SideTop; side <= SideRight && !grown; ++side) {
            if (!open[side])
                continue;
            Board before;
            if (accept)
                before = *this;
            open[side] = growSide(table, index, side);
            if (open[side] && accept && !accept(*this)) {
                *this = std::move(before);
                open[side] = false;
            }
            if (open[side]) {
                ++count;
                grown = true;
            }
        }
    }
    return count;
}

bool Chessboard::Board::measureCorners(const cv::Mat& gray)
{
    if (gray.type() != CV_8UC1)
        cv::error(cv::Error::StsBadArg, "Unsupported image type",
                  "details::Chessboard::Board::measureCorners", __FILE__, __LINE__);
    for (size_t i = 0; i < corners.size(); ++i) {
        cv::Point2f& p = *corners[i];
        if (!isFinite(p))
            return false;
        if (measured[i])
            continue;
        float spacing = FLT_MAX;
        for (size_t j = 0; j < corners.size(); ++j) {
            if (j == i || !isFinite(*corners[j]))
                continue;
            const float d = norm2f(*corners[j] - p);
            if (d > 0)
                spacing = std::min(spacing, d);
        }
        cv::Point2f q;
        if (spacing == FLT_MAX || !measureCorner(gray, p, spacing, q))
            return false;
        p = q;
        measured[i] = 1;
    }
    return true;
}

int Chessboard::Board::unmeasuredCount() const
{
    return static_cast<int>(std::count(measured.begin(), measured.end(), 0));
}

int countAsymmetry(const cv::Mat& image, cv::Point2f point, float radius, float threshold)
{
    // Patches at a distance beyond the image size always leave it.
    if (!(radius > 0) || radius > static_cast<float>(std::max(image.cols, image.rows)))
        return 0;
    const int h = std::max(1, static_cast<int>(0.5f * radius));
    const int W = static_cast<int>(image.cols - 0.5f * radius);
    const int V = static_cast<int>(image.rows - 0.5f * radius);
    int count = 0;
    cv::Mat patch1, patch2;
    for (int i = 0; i < 10; ++i) {
        const float alpha = static_cast<float>(i * CV_PI / 10);
        const cv::Point2f o(radius * std::cos(alpha), -radius * std::sin(alpha));
        const cv::Point2f q1 = point + o;
        const cv::Point2f q2 = point - o;
        for (const cv::Point2f& q : {q1, q2}) {
            if (!isFinite(q))
                return 0;
            const int x = cvRound(q.x);
            const int y = cvRound(q.y);
            if (x < h || x >= h + W || y < h || y >= h + V)
                return 0;
        }
        cv::getRectSubPix(image, cv::Size(h, h), q1, patch1, image.depth());
        cv::getRectSubPix(image, cv::Size(h, h), q2, patch2, image.depth());
        const double m1 = cv::mean(patch1)[0];
        const double m2 = cv::mean(patch2)[0];
        if (std::fabs(m1 - m2) > threshold)
            ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------
// Orientation and output

void Chessboard::Board::mirrorLeftRight()
{
    if (!topLeftCell)
        return;
    topLeftCell = topRightCell();
    for (auto& c : cells) {
        std::swap(c->left, c->right);
        std::swap(c->topLeft, c->topRight);
        std::swap(c->bottomLeft, c->bottomRight);
    }
}

void Chessboard::Board::turnLeft()
{
    if (!topLeftCell)
        return;
    topLeftCell = topRightCell();
    for (auto& c : cells) {
        const Cell old = *c;
        c->top = old.right;
        c->right = old.bottom;
        c->bottom = old.left;
        c->left = old.top;
        c->topLeft = old.topRight;
        c->topRight = old.bottomRight;
        c->bottomRight = old.bottomLeft;
        c->bottomLeft = old.topLeft;
    }
    std::swap(nRows, nCols);
}

void Chessboard::Board::turnRight()
{
    if (!topLeftCell)
        return;
    topLeftCell = bottomLeftCell();
    for (auto& c : cells) {
        const Cell old = *c;
        c->top = old.left;
        c->right = old.top;
        c->bottom = old.right;
        c->left = old.bottom;
        c->topLeft = old.bottomLeft;
        c->topRight = old.topLeft;
        c->bottomRight = old.topRight;
        c->bottomLeft = old.bottomRight;
    }
    std::swap(nRows, nCols);
}

void Chessboard::Board::canonicalizeOrientation(bool topLeftBlack)
{
    // 1. Handedness.
    {
        const cv::Point2f p = getCorner(2, 1);
        const cv::Point2f q = getCorner(0, 1);
        const cv::Point2f r = getCorner(1, 0);
        const cv::Point2f s = getCorner(1, 2);
        const cv::Point2f v = q - p;
        const cv::Point2f w = s - r;
        if (v.y * w.x - w.y * v.x > 0)
            mirrorLeftRight();
    }

    // 2. One odd and one even count: the colour of the top-left cell.
    if ((nRows % 2) != (nCols % 2)) {
        if (getCell(0, 0)->black != topLeftBlack) {
            if (nCols % 2 == 1) {
                turnLeft();
            } else if (nRows % 2 == 1) {
                turnLeft();
                turnLeft();
            }
        }
        return;
    }

    // 3. Both odd or both even: by the positions of the outer corners only.
    if (nRows > nCols)
        turnLeft();
    auto before = [](const cv::Point2f& a, const cv::Point2f& b) {
        auto key = [](const cv::Point2f& p) {
            const double d = static_cast<double>(p.x) * p.x + static_cast<double>(p.y) * p.y;
            return std::isnan(d) ? std::numeric_limits<double>::infinity() : d;
        };
        const double ka = key(a), kb = key(b);
        if (ka != kb)
            return ka < kb;
        if (a.y != b.y)
            return a.y < b.y;
        return a.x < b.x;
    };
    const cv::Point2f tl = getCorner(0, 0);
    const cv::Point2f tr = getCorner(0, nCols - 1);
    const cv::Point2f br = getCorner(nRows - 1, nCols - 1);
    const cv::Point2f bl = getCorner(nRows - 1, 0);
    if (nRows != nCols) {
        if (before(br, tl)) {
            turnLeft();
            turnLeft();
        }
        return;
    }
    cv::Point2f first = tl;
    int turn = 0; // 0: keep, 1: top-right first, 2: bottom-right first, 3: bottom-left first
    if (before(tr, first)) {
        first = tr;
        turn = 1;
    }
    if (before(br, first)) {
        first = br;
        turn = 2;
    }
    if (before(bl, first)) {
        first = bl;
        turn = 3;
    }
    if (turn == 1) {
        turnLeft();
    } else if (turn == 2) {
        turnLeft();
        turnLeft();
    } else if (turn == 3) {
        turnRight();
    }
}

std::vector<cv::KeyPoint> Chessboard::Board::getCornerKeyPoints(bool all) const
{
    std::vector<cv::KeyPoint> result;
    for (const cv::Point2f& p : getCornerPoints(all))
        result.emplace_back(p, 1.0f, -1.0f, 0.0f, 0, -1);
    return result;
}

} // namespace details
