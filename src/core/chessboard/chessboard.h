#pragma once

// The program's own chessboard corner detector.
//
// findChessboardCorners2 finds the inner corners of a chessboard target in an
// image. Behind it stands details::Chessboard: corner candidates come from the
// multi-scale X-junction detector details::FastX; the strongest candidates
// (seeds) each give a few 3 x 3 seed boards, which are validated and grown in
// parallel with the board model details::Chessboard::Board; the first board,
// in seed order and then in list order, that has exactly the requested size
// is the result.
//
// Conventions: image coordinates in pixels, x to the right, y downwards,
// integral values at pixel centres (OpenCV's). Angles in radians; angle a is
// the image direction (cos a, -sin a).

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/flann.hpp>

#include <vector>

// Finds the w x h inner corners (patternSize = (w, h), corners per row and per
// column) of a chessboard in `image` (8-bit, one channel, or BGR which is
// converted to gray).
//   corners: on success an N x 1 CV_32FC2 matrix, N = w * h, row by row with w
//            corners per row; on failure released.
//            Order: the board is never mirrored against the image. When one of
//            w, h is odd and the other even, the top-left cell (between the
//            first two corners of the first two rows) is white. When both are
//            odd or both even, colours cannot tell a half turn apart and the
//            order follows from the corner positions alone, so that the same
//            image always gives the same order: for w >= h the first corner
//            is the outer corner nearest the image origin (ties: smaller y,
//            then smaller x); for w < h it is the order found so for the
//            pattern (h, w), turned a quarter clockwise when h is odd (its
//            bottom-left corner first) and counter-clockwise when h is even
//            (its top-right corner first).
//   mode:    1 selects the thorough search (candidates on the image enlarged
//            2x, scales 2 to 4, up to 100 seeds; on images above about 2.25
//            megapixels the search runs at the image's own resolution and the
//            corners are measured on enlarged patches), anything else the
//            quick one.
//   meta:    optional (cv::noArray()); on success an h x w CV_8U matrix whose
//            element (r, c), r < h - 1, c < w - 1, is 1 for a black and 2 for a
//            white cell, the last row and column 0; on failure released.
// Every returned corner is measured in the image at sub-pixel precision; a
// board with a corner that could only be predicted is rejected, and so is a
// grid whose rows and columns are not evenly spaced, whose squares, with the
// ring of squares around the inner corners, do not alternate between dark and
// bright (a grid that skipped a line or took in points off the pattern), or
// beyond whose ring the pattern goes on along a whole side: the squares
// beyond alternate, or the corners one square beyond the grid are
// X-junctions (part of a larger board whose further corners were not found).
// Only the image around the grid is sampled for these tests.
// Returns true when a board of exactly patternSize (in either orientation) was
// found; not finding one is no error. Errors (cv::Exception, outputs untouched):
//   StsOutOfRange "Both width and height of the pattern should have bigger than 2";
//   StsNullPtr "Null pointer to corners" (corners is cv::noArray());
//   StsBadArg "Unsupported image type" (gray image not CV_8UC1), reported by
//   "details::Chessboard::detectImpl".
// The result does not depend on the number of threads (cv::setNumThreads).
bool findChessboardCorners2(cv::InputArray image, cv::Size patternSize, cv::OutputArray corners, int mode = 1,
                            cv::OutputArray meta = cv::noArray());

// Whether `corners`, w x h points row by row (patternSize = (w, h), as
// OpenCV's findChessboardCorners returns them), are the inner corners of a
// whole chessboard in the 8-bit gray image: the lines are evenly spaced, the
// squares alternate on the board and in the ring around it, and the pattern
// does not go on beyond the ring along a side (then the corners are only part
// of a larger board, as an 8 x 6 grid inside a 9 x 6 board): neither do the
// squares beyond the ring alternate along it, nor are the corners one square
// beyond the grid X-junctions along it. What lies outside the image is not
// judged: a side whose surroundings the image does not show cannot refuse the
// grid. Only small patches around the grid are sampled (well under a
// millisecond). findChessboardCorners2 applies the same test to its own
// boards. Throws cv::Exception (StsAssert) for an image that is not CV_8UC1.
bool isWholeChessboard(const cv::Mat& gray, cv::Size patternSize, const std::vector<cv::Point2f>& corners);

namespace details {

class Chessboard : public cv::Feature2D {
public:
    // Detector settings, filled by findChessboardCorners2.
    struct Settings {
        cv::Size patternSize; // inner corners per row (width) and per column (height)
        int minScale = 2;     // finest FastX scale
        int maxScale = 4;     // coarsest FastX scale
        int maxPoints = 500;  // at most this many corner candidates are kept
        int maxSeeds = 100; // at most this many candidates are tried as seeds (plus one per weak one skipped)
        // FastX works on the image enlarged 2x. Images whose enlarged copy
        // would exceed kMaxUpsampledPixels are searched at their own
        // resolution, which bounds the detector's memory on large images;
        // the corners of the board found there are then measured on the
        // enlarged image of a small patch around each corner, at the peak of
        // the strongest scale's feature strength, as the enlarged search
        // measures them.
        bool upsample = true;
    };

    // Largest enlarged working image, in pixels (an input of about 2.25
    // megapixels, 1920 x 1080 and 1600 x 1200 included).
    static constexpr double kMaxUpsampledPixels = 9.0e6;

    // The board model: cells, corners, growing, orientation and output.
    class Board;

    Chessboard();
    explicit Chessboard(const Settings& settings);
    const Settings& settings() const { return parameters; }

    // cv::Feature2D interface: key points are the corners of the board found
    // (size 1, angle -1), none when no board was found.
    using cv::Feature2D::detect;
    void detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                cv::InputArray mask = cv::noArray()) override;
    void detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                          cv::OutputArray descriptors, bool useProvidedKeypoints = false) override;
    int descriptorSize() const override;
    int descriptorType() const override;

    virtual void detectImpl(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                            cv::InputArray mask = cv::noArray()) const;
    virtual void operator()(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                            cv::OutputArray descriptors) const;
    virtual void detectWithoutDescriptors(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                                          cv::OutputArray descriptors) const;

    // Corners of the board found in the gray image, as key points.
    void detectImpl(const cv::Mat& image, std::vector<cv::KeyPoint>& keypoints,
                    std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const;

    // The search: the board of the requested size found in an 8-bit
    // single-channel image, oriented and measured; an empty board when none
    // was found. featureMaps receives FastX's maps, one per scale. The mask
    // must be empty. StsBadArg "Unsupported image type" for any other image.
    Board detectImpl(const cv::Mat& image, std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const;

    // Corner candidates, strongest first, with their wedge directions: for
    // each candidate exactly two angles, the positive one the white direction
    // (maximum of the mean intensity through the corner), the negative one the
    // black direction. Candidates that are only weakly point-symmetric carry a
    // negative response; they may confirm and extend boards but are no seeds.
    void findCornerCandidates(const cv::Mat& image, std::vector<cv::KeyPoint>& keypoints,
                              std::vector<cv::Mat>& featureMaps, std::vector<std::vector<float>>& angles,
                              const cv::Mat& mask) const;

    // N x 4 CV_32F table, one row per candidate: x, y, angle (radians, the
    // direction of the candidate's last wedge extremum) and response.
    static cv::Mat keyPointTable(const std::vector<cv::KeyPoint>& keypoints);

    // The centre followed by those of its 21 nearest candidates whose response
    // reaches minResponse and whose angle lies within 48 degrees of the white
    // or the black direction (as lines).
    // Errors: StsBadArg "Unsupported source type" (table not CV_32F),
    // "wrong data format" (not 4 columns).
    static std::vector<cv::KeyPoint> getInitialPoints(cv::flann::Index& index, const cv::Mat& table,
                                                      const cv::KeyPoint& center, float whiteAngle,
                                                      float blackAngle, float minResponse);

    // Appends the 3 x 3 seed boards around a centre: every two crossing lines
    // of usable neighbours through the centre give one board with the centre
    // and its four edge neighbours known and the outer corners NaN.
    static void makeSeedBoards(cv::flann::Index& index, const cv::Mat& table, const cv::KeyPoint& center,
                               float whiteAngle, float blackAngle, float minResponse, const cv::Mat& image,
                               std::vector<Board>& boards);

private:
    Settings parameters;
};

} // namespace details
