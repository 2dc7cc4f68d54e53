#pragma once

// The chessboard detector's board model: a partial chessboard found in an
// image, as a rectangular grid of linked square cells whose corners are image
// points. A board is built from a 3 x 3 seed, completed and grown a line at a
// time over the corner candidates of the image, oriented, and read out.
//
// Conventions: image coordinates in pixels, x to the right, y downwards,
// integral values at pixel centres. Corner (r, c) is the corner in row r
// (0 at the top) and column c (0 at the left); a board of rows x cols corners
// has (rows - 1) x (cols - 1) cells, cell (r, c) having the corners (r, c),
// (r, c + 1), (r + 1, c + 1) and (r + 1, c). A corner whose position is not
// known holds NaN in both coordinates. An image direction alpha (radians) is
// the unit vector (cos alpha, -sin alpha).
//
// Key point table: an N x 4 CV_32FC1 matrix, one row per corner candidate:
// x, y, edge angle a (radians) and response r; the search index is a
// cv::flann::Index over its (x, y) columns whose result indices are rows of the
// table. Both are only read here.
//
// Ownership: the board owns its cells and corner points through unique
// pointers; cells refer to their corners and neighbours by plain pointers,
// which stay valid while the board lives (nothing is ever moved in memory).
// Copies are deep; turning and mirroring relink in place.
//
// Errors are raised through OpenCV's error mechanism (cv::Exception) and leave
// the board as it was at the moment of the check.

#include "core/chessboard/chessboard.h"

#include <opencv2/core.hpp>
#include <opencv2/flann.hpp>

#include <functional>
#include <memory>
#include <vector>

namespace details {

// Number (0 to 10) of the ten pairs of opposite patches around `point`, at
// distance `radius` in the directions i * pi / 10, whose mean intensities
// differ by more than `threshold`. A true chessboard corner is point-symmetric
// and scores low. 0 when a patch centre of any pair leaves the image.
int countAsymmetry(const cv::Mat& image, cv::Point2f point, float radius, float threshold);

class Chessboard::Board {
public:
    // The four corners of a cell, clockwise from the top left.
    enum Corner { TopLeft = 0, TopRight = 1, BottomRight = 2, BottomLeft = 3 };

    // One square of the board. Corner points are shared with the neighbouring
    // cells; neighbour pointers are null at the border of the board.
    struct Cell {
        cv::Point2f* topLeft = nullptr;
        cv::Point2f* topRight = nullptr;
        cv::Point2f* bottomRight = nullptr;
        cv::Point2f* bottomLeft = nullptr;
        Cell* left = nullptr;
        Cell* top = nullptr;
        Cell* right = nullptr;
        Cell* bottom = nullptr;
        bool black = false;

        // True when any coordinate of the four corners is NaN.
        bool isIncomplete() const;
    };

    // A position on the corner grid: a cell and one of its corners. Each move
    // goes one corner in its direction and returns false (staying where it
    // is) when it cannot. With completeOnly, a move enters only complete
    // cells, directly or through the diagonal neighbour, so the iterator walks
    // over corners of at least one complete cell.
    class PointIter {
    public:
        PointIter(Cell* cell, Corner corner);
        bool left(bool completeOnly = false);
        bool right(bool completeOnly = false);
        bool top(bool completeOnly = false);
        bool bottom(bool completeOnly = false);
        cv::Point2f* operator*() const;

        Corner corner;
        Cell* cell;
    };

    // Region in which a corner is looked for: an ellipse around `center` with
    // semi-axis axes.width along the line (cos angle, -sin angle) and
    // axes.height across it, in pixels.
    struct SearchEllipse {
        SearchEllipse() = default;
        SearchEllipse(cv::Point2f center, cv::Size2f axes, float angle);
        bool contains(cv::Point2f p) const;

        cv::Point2f center;
        cv::Size2f axes;
        float angle = 0;
        float cosNeg = 1;
        float sinNeg = 0;
    };

    // ---- Model -------------------------------------------------------------

    Board() = default;
    // A board of size.height x size.width corners; points row-major
    // (index = row * size.width + column), NaN allowed. whiteAngle and
    // blackAngle (radians) are the directions through the seed corner of the
    // highest and lowest mean intensity; they colour the first cells and
    // select candidates while growing.
    // Errors: StsBadArg "size mismatch" (width * height != points),
    // "at least 3 rows and cols are needed to initialize the board".
    Board(cv::Size size, const std::vector<cv::Point2f>& points, float whiteAngle, float blackAngle);
    Board(const Board& other);
    Board& operator=(const Board& other);
    // A board moved from is left empty, as after reset().
    Board(Board&& other) noexcept;
    Board& operator=(Board&& other) noexcept;
    virtual ~Board();

    // Makes the board 3 x 3 corners from nine row-major points and colours
    // its four cells from the angles. Empties the board first. Error: StsBadArg
    // "exact nine points are expected to initialize the board".
    bool init(std::vector<cv::Point2f> points);

    // Add a line of cells on one side: a column takes rows() points top to
    // bottom, a row cols() points left to right. StsBadArg "wrong number of
    // points" otherwise (also on an empty board). New cells take the opposite
    // colour of the cell they are attached to.
    void addColumnLeft(const std::vector<cv::Point2f>& points);
    void addColumnRight(const std::vector<cv::Point2f>& points);
    void addRowTop(const std::vector<cv::Point2f>& points);
    void addRowBottom(const std::vector<cv::Point2f>& points);

    // Empties the board; the angles stay.
    void reset();

    bool hasCells() const { return !cells.empty(); }
    int rows() const { return nRows; }
    int cols() const { return nCols; }
    float getWhiteAngle() const { return whiteAngle; }
    float getBlackAngle() const { return blackAngle; }

    // The cell at corner position (row, col); the last corner row and column
    // give the last cell row and column. StsBadArg "out of bound" outside
    // 0 <= row < rows(), 0 <= col < cols().
    Cell* getCell(int row, int col);
    const Cell* getCell(int row, int col) const;
    // The stored corner point (row, col), writable. StsBadArg "out of bound";
    // StsInternal "cannot find corner" on a damaged grid.
    cv::Point2f& getCorner(int row, int col);
    // Corner points in row-major order: all of them, or only those without NaN.
    std::vector<cv::Point2f> getCornerPoints(bool all) const;
    // Replaces the corner positions, given in the order of
    // getCornerPoints(true). StsBadSize "wrong number of corners" when the
    // list does not hold rows * cols points.
    void setCornerPoints(const std::vector<cv::Point2f>& points);
    // The outline of the complete cells, the points where it changes
    // direction, clockwise; the four outer corners for a complete board. Empty
    // for an empty board, for a board without complete cells, and when the
    // walk along the outline does not close within 4 * (number of corners) + 16
    // steps (a grid whose complete cells do not form a closed outline).
    std::vector<cv::Point2f> getContour() const;
    // False when two known corner points are exactly equal.
    bool hasUniqueCorners() const;

    // ---- Growing and validation -------------------------------------------

    // Homography (3 x 3 CV_64F) from an ideal grid with cells of cellSize
    // pixels, corner (r, c) at ((c + 1) * cellSize, (r + 1) * cellSize), to
    // the board's known corners; empty when the board is smaller than 3 x 3,
    // has fewer than 4 known corners, or the fit fails.
    cv::Mat fitGridHomography(int cellSize) const;
    // Looks for every missing corner where H puts it and fills it with the
    // candidate found there. Returns the number of confirmed corners, -1 when
    // two known corners coincide, 0 for an empty board or an empty H.
    int confirmCorners(const cv::Mat& table, cv::flann::Index& index, const cv::Mat& H, float minResponse);
    // True when the outline is a quadrilateral with every angle in [35, 145]
    // degrees.
    bool checkContourAngles() const;
    // Grows the board on all sides until no side can be extended; returns the
    // number of lines added. StsInternal "Board is empty" on an empty board.
    //
    // Where no candidate lies inside a new corner's search ellipse, growth
    // takes the predicted position (never a candidate outside the ellipse,
    // which belongs to some other corner) and marks the corner as not
    // measured. Before the board's corners are used, measureCorners must
    // search such corners again in the image; a board for which it fails must
    // be discarded.
    //
    // With `accept` given, every line added is shown to it at once: a board
    // it refuses gets the line taken off again, and that side is closed as if
    // its growth had failed.
    int grow(const cv::Mat& table, cv::flann::Index& index,
             const std::function<bool(const Board&)>& accept = nullptr);
    bool growTop(const cv::Mat& table, cv::flann::Index& index);
    bool growBottom(const cv::Mat& table, cv::flann::Index& index);
    bool growLeft(const cv::Mat& table, cv::flann::Index& index);
    bool growRight(const cv::Mat& table, cv::flann::Index& index);

    // Searches every corner that is not measured (see grow) again in the 8-bit
    // single-channel gray image, at sub-pixel precision near its position, and
    // stores the measured position. The search fails when the spot does not
    // look like a chessboard corner (two bright and two dark sectors, point-
    // symmetric, with contrast) or the measurement leaves the neighbourhood of
    // the position. Returns false when a corner is NaN or one search fails;
    // the board must then be discarded (its corners may be partly updated).
    // StsBadArg "Unsupported image type" for any other image.
    bool measureCorners(const cv::Mat& gray);
    // Number of corners still waiting for measureCorners.
    int unmeasuredCount() const;

    // Best candidate in an ellipse among the 4 nearest to its centre (searched
    // exactly, whatever the random shape of the index's tree) whose
    // edge angle lies within 48 degrees of whiteAngle or blackAngle (as
    // undirected lines). Returns its response and sets point to it; returns 0
    // when no matching candidate lies inside, with point set to the nearest
    // matching candidate (inside or not) or NaN when none matches.
    // Errors: StsBadArg "type of flann data is not supported" (table not
    // CV_32FC1), "4-cols flann data is expected".
    static float findMaxPoint(cv::flann::Index& index, const cv::Mat& table, const SearchEllipse& ellipse,
                              float whiteAngle, float blackAngle, cv::Point2f& point);
    // The corner following p2 on the line p0, p1, p2 of equal cells seen in
    // perspective. False when no finite prediction can be made.
    static bool predictNextPoint(const cv::Point2f& p0, const cv::Point2f& p1, const cv::Point2f& p2,
                                 cv::Point2f& p3);
    // The corner following p3 on the line p0 ... p3. False when no finite
    // prediction can be made.
    static bool predictNextPoint(const cv::Point2f& p0, const cv::Point2f& p1, const cv::Point2f& p2,
                                 const cv::Point2f& p3, cv::Point2f& p4);
    // Ellipse around the corner predicted after c on the line a, b, c (and the
    // point before a when given), long along the line. False without prediction.
    static bool searchAreaFromLine(const cv::Point2f& a, const cv::Point2f& b, const cv::Point2f& c,
                                   float factor, SearchEllipse& ellipse, const cv::Point2f* before = nullptr);
    // Ellipse around the image of ideal grid corner (row, col) under H (3 x 3
    // CV_64F, from ideal-grid to image coordinates).
    static SearchEllipse searchAreaFromGrid(const cv::Mat& H, int row, int col, float factor, int cellSize);
    // True when every point of a row or column lies where its predecessors
    // predict it; false for fewer than 3 points.
    static bool isConsistentLine(const std::vector<cv::Point2f>& points);

    // ---- Orientation and output -------------------------------------------

    // New corner (r, c) = old corner (r, cols - 1 - c).
    void mirrorLeftRight();
    // New corner (r, c) = old corner (c, cols - 1 - r); rows and cols swap.
    void turnLeft();
    // New corner (r, c) = old corner (rows - 1 - c, r); rows and cols swap.
    void turnRight();

    // Brings the board into its defined orientation.
    // 1. Handedness: the board is mirrored when its rows run right to left
    //    relative to its columns (so it is never mirrored against the image).
    // 2. Boards with one odd and one even corner count: the colour rule. When
    //    the top-left cell's colour differs from topLeftBlack, the board is
    //    turned left once (cols odd) or twice (rows odd). Turning left once
    //    swaps rows and cols; the caller turns a board of the transposed size
    //    back by a quarter turn chosen from the colours of its top row.
    // 3. Boards whose corner counts are both odd or both even (square boards
    //    among them): the colours of the outer cells cannot tell a half turn
    //    apart, so the colour is not used. The board is turned left once when
    //    it has more rows than columns; then, of the orientations of that
    //    shape (the half turn for non-square boards, the four turns for square
    //    ones), the one whose top-left outer corner comes first in the order
    //    of (x^2 + y^2, y, x) is chosen: the outer corner nearest the image
    //    origin, ties broken by the smaller y, then the smaller x. The result
    //    depends only on the corner positions, never on the orientation the
    //    board was grown in, and a caller that needs the transposed size
    //    applies one fixed quarter turn to it.
    // StsBadArg "out of bound" (from getCorner) on a board smaller than 3 x 3.
    void canonicalizeOrientation(bool topLeftBlack);

    // One key point (size 1, angle -1, response 0, octave 0, class -1) per
    // point of getCornerPoints(all), in the same order.
    std::vector<cv::KeyPoint> getCornerKeyPoints(bool all) const;

private:
    Cell* newCell();
    cv::Point2f* newCorner(const cv::Point2f& p);
    Cell* topRightCell() const;
    Cell* bottomLeftCell() const;
    // Shared scheme of the four line-adding operations.
    void addLine(const std::vector<cv::Point2f>& points, int side);
    struct LineAttachment;
    Cell* attachLine(const std::vector<cv::Point2f>& points, Cell* start, const LineAttachment& attachment);
    // Shared scheme of the four growth operations.
    bool growSide(const cv::Mat& table, cv::flann::Index& index, int side);
    void copyFrom(const Board& other);

    std::vector<std::unique_ptr<Cell>> cells;
    std::vector<std::unique_ptr<cv::Point2f>> corners;
    std::vector<char> measured; // parallel to corners
    Cell* topLeftCell = nullptr;
    int nRows = 0;
    int nCols = 0;
    float whiteAngle = 0;
    float blackAngle = 0;
};

} // namespace details
