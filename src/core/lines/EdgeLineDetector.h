#pragma once

// Line segments from Edge Drawing chains, in the manner of EDLines (Akinlar
// and Topal, "EDLines: a real-time line segment detector with a false
// detection control", Pattern Recognition Letters 2011): each chain is cut
// into pieces that a least-squares line fits within the line fit error,
// collinear neighbouring pieces of one chain are joined, and a piece
// survives when its pixels are meaningfully aligned with it (NfaTable).
//
// Everything runs in the constructor; lines() returns the segments as
// (start, end) pairs in pixel coordinates (x = column, y = row, pixel centres
// at integral coordinates).

#include "core/lines/EdgeTracer.h"

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

class NfaTable;

struct FittedLine {
    double a = 0, b = 0; // y = a + b x (inverted 0) or x = a + b y (inverted 1)
    int inverted = 0;
    cv::Point2d start, end;
    int chain = 0;      // index of the chain it was fitted to
    int firstPixel = 0; // index in the chain of its first pixel
    int pixelCount = 0; // number of chain pixels it covers
};

class EdgeLineDetector : public EdgeTracer {
public:
    // image: 8-bit, one channel. minLineLength: least number of chain pixels
    // of a segment; -1 derives it from the image size; anything below 9 becomes 9.
    EdgeLineDetector(const cv::Mat& image, double lineFitError, int minLineLength, double maxLineGap,
                     double maxLineError);

    std::vector<std::pair<cv::Point2d, cv::Point2d>> lines() const { return result; }
    // the least chain pixels of a segment that the detector used
    int minLength() const { return L; }
    // -1 computes the length from the image size; below 9 becomes 9
    static int minimumLineLength(int requested, int width, int height);

    // internal steps, exposed for their unit behaviours
    struct LineFit {
        double a = 0, b = 0, error = 0;
        int inverted = 0;
    };
    static LineFit leastSquaresLine(const double* x, const double* y, int n);
    static void refitLine(const double* x, const double* y, int n, int inverted, double& a, double& b);
    // distance from (px, py) to its foot on the line; the foot into *foot when given
    static double distanceToLine(double px, double py, double a, double b, int inverted,
                                 cv::Point2d* foot = nullptr);
    static double endpointGap(const FittedLine& s, const FittedLine& t);
    static void refreshLineEquation(FittedLine& l);
    // cuts the chain (x[i], y[i]), i < n, into fitted records appended to `out`
    static void splitChain(const double* x, const double* y, int n, int chainIndex, int minLength,
                           double lineFitError, std::vector<FittedLine>& out);
    // joins q into p when their ends are close and they are collinear; p is changed only on success
    static bool tryMergeLines(FittedLine& p, const FittedLine& q, double maxLineGap, double maxLineError);
    // joins neighbouring records of the same chain, compacting the list in place
    static void mergeCollinearLines(std::vector<FittedLine>& records, double maxLineGap, double maxLineError);
    // the chains the records refer to: chain i is data[starts[i]] .. data[starts[i+1] - 1]
    struct ChainView {
        const cv::Point* data;
        const int* starts;
    };
    // keeps the records whose pixels are meaningfully aligned on the 8-bit source image
    static void validateAllLines(const cv::Mat& source, std::vector<FittedLine>& records, ChainView chains);

private:
    double lineFitError, maxLineGap, maxLineError;
    int L = 9;
    std::vector<FittedLine> records;
    std::vector<double> xs, ys;
    std::vector<std::pair<cv::Point2d, cv::Point2d>> result;
};
