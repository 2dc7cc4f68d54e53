#pragma once

// Edge Drawing (Topal and Akinlar, "Edge Drawing: a combined real-time edge
// and segment detector", JVCIR 2012): a grey image becomes chains of
// connected edge pixels. Smoothing, a gradient magnitude and direction map,
// anchors where the gradient peaks across an edge, anchors taken in falling
// gradient order, and linking from each anchor along the ridge of the
// gradient.
//
// Everything runs in the constructor; the object then holds its maps, its
// anchors and its chains. Coordinates: x = column, y = row.

#include <opencv2/core.hpp>

#include <vector>

enum GradientOperator {
    PREWITT_OPERATOR = 101,
    SOBEL_OPERATOR = 102,
    TWO_BY_TWO_OPERATOR = 103,
    TWO_BY_TWO_OPERATOR_ALT = 104
};

class EdgeTracer {
public:
    // image: 8-bit, one channel (copied). Thresholds are clamped: gradient
    // threshold at least 1, anchor threshold at least 0, sigma at least 1.0.
    // Throws cv::Exception for another image type, a scan interval below 1 or
    // an unknown operator.
    EdgeTracer(const cv::Mat& image, int gradientOperator, int gradientThreshold, int anchorThreshold,
               int scanInterval, int minPathLength, double sigma, bool sumFlag);

    int width() const { return W; }
    int height() const { return H; }
    const cv::Mat& sourceImage() const { return source; }
    const cv::Mat& smoothedImage() const { return smoothed; }
    const cv::Mat& gradientImage() const { return gradient; } // CV_16S
    const cv::Mat& edgeImage() const { return edge; }         // 0 free, 254 anchor, 255 edge
    const std::vector<cv::Point>& anchorPoints() const { return anchors; }

    int chainCount() const { return (int)chainStarts.size() - 1; }
    const cv::Point* chainPixels(int i) const { return chainData.data() + chainStarts[(size_t)i]; }
    int chainLength(int i) const { return chainStarts[(size_t)i + 1] - chainStarts[(size_t)i]; }
    std::vector<std::vector<cv::Point>> chains() const;

    // One step of a trace in direction dir (1 left, 2 right, 3 up, 4 down)
    // from the pixel at offset off of W-wide edge and gradient maps: the
    // offset of the next pixel among the three ahead.
    static int nextTracePixel(const unsigned char* edge, const short* gradient, int W, int off, int dir);

protected:
    int W = 0, H = 0;
    cv::Mat source, smoothed, gradient, direction, edge;
    std::vector<cv::Point> anchors;
    // the output chains, one after the other; chain i is [chainStarts[i], chainStarts[i+1])
    std::vector<cv::Point> chainData;
    std::vector<int> chainStarts{0};

private:
    int op, gradThresh, anchorThresh, scanInterval, minPathLen;
    double sigma;
    bool sumFlag;

    struct Chain {
        int dir;
        int len;
        int parent;
        int children[2];
        int first; // index of its first pixel in the pixel list
    };
    struct StackEntry {
        int r, c, parent, dir;
    };
    // working storage of the linking, kept across anchors
    std::vector<cv::Point> pixelList;
    std::vector<StackEntry> stack;
    std::vector<Chain> chainTable;
    std::vector<int> path;
    std::vector<int> subtree, visit, pathLength;

    void gradientMap();
    void collectAnchors();
    std::vector<int> anchorsByGradient() const;
    void traceEdgeChains();
    // the steps of traceEdgeChains
    int traceFromAnchor(int anchorOff);
    void pushCrossingTraces(int r, int c, int parent, bool vertical);
    void traceChain(const StackEntry& en);
    void releaseTrace();
    void followPath(int q);
    void emitMainChain();
    void emitSideBranches();
    int longestChainLength(int k);
    void copyChainForward(int q, bool dropFirst);
    void copyChainBackward(int q);
    void closeChain();
};
