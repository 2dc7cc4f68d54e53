#include "core/lines/EdgeTracer.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// trace directions
enum { LEFT = 1, RIGHT = 2, UP = 3, DOWN = 4 };
// direction map values
enum { VERTICAL_EDGE = 1, HORIZONTAL_EDGE = 2 };
enum : unsigned char { FREE = 0, ANCHOR = 254, EDGE = 255 };

inline bool near8(const cv::Point& a, const cv::Point& b)
{
    return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1;
}

// Offsets of the pixels ahead of a trace, per trace direction (index 1..4):
// straight ahead, the diagonals A (upper or left) and C (lower or right), and
// the diagonal checked first and second for edge pixels.
struct TraceOffsets {
    int straight[5], diagA[5], diagC[5], markFirst[5], markSecond[5];
    explicit TraceOffsets(int W)
        : straight{0, -1, 1, -W, W}, diagA{0, -W - 1, -W + 1, -W - 1, W - 1}, diagC{0, W - 1, W + 1, -W + 1,
                                                                                    W + 1},
          markFirst{0, -W - 1, W + 1, -W - 1, W + 1}, markSecond{0, W - 1, -W + 1, -W + 1, W - 1}
    {
    }
    // next pixel: an edge or anchor pixel ahead (straight first), else the strongest gradient,
    // ties between the diagonals going to C, ties with the straight pixel going straight
    inline int next(const uchar* e, const short* g, int off, int dir) const
    {
        if (e[off + straight[dir]] >= ANCHOR)
            return off + straight[dir];
        if (e[off + markFirst[dir]] >= ANCHOR)
            return off + markFirst[dir];
        if (e[off + markSecond[dir]] >= ANCHOR)
            return off + markSecond[dir];
        const int A = g[off + diagA[dir]], B = g[off + straight[dir]], C = g[off + diagC[dir]];
        if (A > B)
            return off + (A > C ? diagA[dir] : diagC[dir]);
        return off + (C > B ? diagC[dir] : straight[dir]);
    }
};

} // namespace

int EdgeTracer::nextTracePixel(const unsigned char* edge, const short* gradient, int W, int off, int dir)
{
    CV_Assert(dir >= 1 && dir <= 4);
    return TraceOffsets(W).next(edge, gradient, off, dir);
}

EdgeTracer::EdgeTracer(const cv::Mat& image, int gradientOperator, int gradientThreshold, int anchorThreshold,
                       int scanInterval_, int minPathLength, double sigma_, bool sumFlag_)
    : op(gradientOperator), gradThresh(std::max(1, gradientThreshold)),
      anchorThresh(std::max(0, anchorThreshold)), scanInterval(scanInterval_), minPathLen(minPathLength),
      sigma(std::max(1.0, sigma_)), sumFlag(sumFlag_)
{
    CV_Assert(image.type() == CV_8UC1);
    if (scanInterval < 1)
        CV_Error(cv::Error::StsOutOfRange, "The anchor scan interval must be 1 or more");
    if (op < PREWITT_OPERATOR || op > TWO_BY_TWO_OPERATOR_ALT)
        CV_Error(cv::Error::StsOutOfRange, "Unknown gradient operator");
    W = image.cols;
    H = image.rows;
    source = image.clone();
    edge = cv::Mat::zeros(image.size(), CV_8UC1);
    if (W < 5 || H < 5) {
        smoothed = source.clone();
        gradient = cv::Mat::zeros(image.size(), CV_16SC1);
        return;
    }
    if (sigma == 1.0)
        cv::GaussianBlur(source, smoothed, cv::Size(5, 5), sigma);
    else
        cv::GaussianBlur(source, smoothed, cv::Size(), sigma);
    gradient.create(image.size(), CV_16SC1);
    direction = cv::Mat::zeros(image.size(), CV_8UC1);
    gradientMap();
    collectAnchors();
    traceEdgeChains();
    direction.release();
}

std::vector<std::vector<cv::Point>> EdgeTracer::chains() const
{
    std::vector<std::vector<cv::Point>> out((size_t)chainCount());
    for (int i = 0; i < chainCount(); ++i)
        out[(size_t)i].assign(chainPixels(i), chainPixels(i) + chainLength(i));
    return out;
}

void EdgeTracer::gradientMap()
{
    short* g = gradient.ptr<short>();
    const short border = (short)(gradThresh - 1);
    for (int c = 0; c < W; ++c) {
        g[c] = border;
        g[(size_t)(H - 1) * W + c] = border;
    }
    for (int r = 0; r < H; ++r) {
        g[(size_t)r * W] = border;
        g[(size_t)r * W + W - 1] = border;
    }
    const bool twoByTwo = op == TWO_BY_TWO_OPERATOR || op == TWO_BY_TWO_OPERATOR_ALT;
    const int centreWeight = op == SOBEL_OPERATOR ? 2 : 1;
    for (int r = 1; r < H - 1; ++r) {
        const uchar* up = smoothed.ptr<uchar>(r - 1);
        const uchar* mid = smoothed.ptr<uchar>(r);
        const uchar* dn = smoothed.ptr<uchar>(r + 1);
        short* gr = gradient.ptr<short>(r);
        uchar* dr = direction.ptr<uchar>(r);
        for (int c = 1; c < W - 1; ++c) {
            int gx, gy;
            if (twoByTwo) {
                const int c1 = dn[c + 1] - mid[c];
                const int c2 = mid[c + 1] - dn[c];
                gx = std::abs(c1 + c2);
                gy = std::abs(c1 - c2);
            } else {
                const int com1 = dn[c + 1] - up[c - 1];
                const int com2 = up[c + 1] - dn[c - 1];
                gx = std::abs(com1 + com2 + centreWeight * (mid[c + 1] - mid[c - 1]));
                gy = std::abs(com1 - com2 + centreWeight * (dn[c] - up[c]));
            }
            const int m = sumFlag ? gx + gy : (int)std::sqrt((double)gx * gx + (double)gy * gy);
            gr[c] = (short)m;
            if (m >= gradThresh)
                dr[c] = gx >= gy ? VERTICAL_EDGE : HORIZONTAL_EDGE;
        }
    }
}

void EdgeTracer::collectAnchors()
{
    anchors.clear();
    for (int r = 2; r < H - 2; ++r) {
        const short* g = gradient.ptr<short>(r);
        const short* gu = gradient.ptr<short>(r - 1);
        const short* gd = gradient.ptr<short>(r + 1);
        const uchar* d = direction.ptr<uchar>(r);
        uchar* e = edge.ptr<uchar>(r);
        const int c0 = (r % scanInterval == 0) ? 2 : scanInterval;
        const int step = (r % scanInterval == 0) ? 1 : scanInterval;
        for (int c = c0; c < W - 2; c += step) {
            const int v = g[c];
            if (v < gradThresh)
                continue;
            bool anchor;
            if (d[c] == VERTICAL_EDGE)
                anchor = v - g[c - 1] >= anchorThresh && v - g[c + 1] >= anchorThresh;
            else
                anchor = v - gu[c] >= anchorThresh && v - gd[c] >= anchorThresh;
            if (anchor) {
                e[c] = ANCHOR;
                anchors.emplace_back(c, r);
            }
        }
    }
}

// Anchor offsets r*W + c in falling gradient order, equal gradients in scan
// order: a stable counting sort of the anchors (which are in scan order).
std::vector<int> EdgeTracer::anchorsByGradient() const
{
    const short* g = gradient.ptr<short>();
    int maxG = 0;
    for (const auto& a : anchors)
        maxG = std::max(maxG, (int)g[(size_t)a.y * W + a.x]);
    std::vector<int> start((size_t)maxG + 2, 0);
    for (const auto& a : anchors)
        ++start[(size_t)(maxG - g[(size_t)a.y * W + a.x]) + 1];
    for (size_t i = 1; i < start.size(); ++i)
        start[i] += start[i - 1];
    std::vector<int> order(anchors.size());
    for (const auto& a : anchors) {
        const int off = a.y * W + a.x;
        order[(size_t)start[(size_t)(maxG - g[off])]++] = off;
    }
    return order;
}

// Longest path from chain k down its descendants; cuts, at every chain of the
// subtree, the child with the shorter path (child 1 on ties). A chain of
// length 0 counts 0 and its children are not visited. Iterative, since the
// subtree of one anchor's trace can be deep: a child always has a larger
// index than its parent, so the subtree is evaluated in falling index order.
int EdgeTracer::longestChainLength(int k)
{
    if (k < 0 || chainTable[(size_t)k].len == 0)
        return 0;
    subtree.clear();
    visit.clear();
    visit.push_back(k);
    while (!visit.empty()) {
        const int q = visit.back();
        visit.pop_back();
        subtree.push_back(q);
        const Chain& c = chainTable[(size_t)q];
        if (c.len == 0)
            continue;
        for (const int child : c.children)
            if (child >= 0)
                visit.push_back(child);
    }
    std::sort(subtree.begin(), subtree.end());
    if (pathLength.size() < chainTable.size())
        pathLength.resize(chainTable.size());
    for (size_t i = subtree.size(); i-- > 0;) {
        const int q = subtree[i];
        Chain& c = chainTable[(size_t)q];
        if (c.len == 0) {
            pathLength[(size_t)q] = 0;
            continue;
        }
        const int l0 = c.children[0] >= 0 ? pathLength[(size_t)c.children[0]] : 0;
        const int l1 = c.children[1] >= 0 ? pathLength[(size_t)c.children[1]] : 0;
        if (l0 >= l1) {
            c.children[1] = -1;
            pathLength[(size_t)q] = c.len + l0;
        } else {
            c.children[0] = -1;
            pathLength[(size_t)q] = c.len + l1;
        }
    }
    return pathLength[(size_t)k];
}

void EdgeTracer::copyChainBackward(int q)
{
    Chain& ch = chainTable[(size_t)q];
    int len = ch.len;
    ch.len = 0;
    if (len <= 0)
        return;
    const size_t s = (size_t)chainStarts.back();
    const cv::Point* px = pixelList.data() + ch.first;
    while (chainData.size() - s >= 2 && near8(px[len - 1], chainData[chainData.size() - 2]))
        chainData.pop_back();
    if (len > 1 && chainData.size() > s && near8(px[len - 2], chainData.back()))
        --len;
    for (int i = len - 1; i >= 0; --i)
        chainData.push_back(px[i]);
}

void EdgeTracer::copyChainForward(int q, bool dropFirst)
{
    Chain& ch = chainTable[(size_t)q];
    int first = ch.first, len = ch.len;
    ch.len = 0;
    if (dropFirst) {
        ++first;
        --len;
    }
    if (len <= 0)
        return;
    const size_t s = (size_t)chainStarts.back();
    const cv::Point* px = pixelList.data() + first;
    while (chainData.size() - s >= 2 && near8(px[0], chainData[chainData.size() - 2]))
        chainData.pop_back();
    int from = 0;
    if (len > 1 && chainData.size() > s && near8(px[1], chainData.back()))
        from = 1;
    for (int i = from; i < len; ++i)
        chainData.push_back(px[i]);
}

void EdgeTracer::closeChain()
{
    // an empty output chain is no chain: it is left out
    if ((int)chainData.size() > chainStarts.back())
        chainStarts.push_back((int)chainData.size());
}

// Two traces from pixel (r, c) with the given parent chain: down and up when
// `vertical` (across a horizontal trace, or from an anchor on a vertical
// edge), else right and left; the stack traces up or left first.
void EdgeTracer::pushCrossingTraces(int r, int c, int parent, bool vertical)
{
    if (vertical) {
        stack.push_back({r, c, parent, DOWN});
        stack.push_back({r, c, parent, UP});
    } else {
        stack.push_back({r, c, parent, RIGHT});
        stack.push_back({r, c, parent, LEFT});
    }
}

// One chain of an anchor's trace: from the entry's pixel in its direction, as
// long as the edge runs that way and the gradient stays at the threshold or
// above, marking its pixels as edge. Where the edge turns, the last pixel
// leaves the chain and starts two traces across. The chain becomes a child of
// the entry's parent: child 0 when it runs left or up, child 1 otherwise.
void EdgeTracer::traceChain(const StackEntry& en)
{
    uchar* e = edge.ptr<uchar>();
    const uchar* d = direction.ptr<uchar>();
    const short* g = gradient.ptr<short>();
    const TraceOffsets step(W);
    // per trace direction (index 1..4): offset of the pixels beside the
    // trace, and the direction map value of an edge running that way
    const int beside[5] = {0, W, W, 1, 1};
    const uchar wanted[5] = {0, HORIZONTAL_EDGE, HORIZONTAL_EDGE, VERTICAL_EDGE, VERTICAL_EDGE};

    const int k = (int)chainTable.size();
    const int dir = en.dir;
    int off = en.r * W + en.c;
    chainTable.push_back({dir, 0, en.parent, {-1, -1}, (int)pixelList.size()});
    pixelList.emplace_back(en.c, en.r);
    int len = 1;
    const int childSlot = (dir == LEFT || dir == UP) ? 0 : 1;
    for (;;) {
        if (d[off] != wanted[dir]) {
            pushCrossingTraces(off / W, off % W, k, dir == LEFT || dir == RIGHT);
            pixelList.pop_back();
            --len;
            break;
        }
        e[off] = EDGE;
        // anchors right beside the edge would only trace it again
        if (e[off - beside[dir]] == ANCHOR)
            e[off - beside[dir]] = FREE;
        if (e[off + beside[dir]] == ANCHOR)
            e[off + beside[dir]] = FREE;
        const int n = step.next(e, g, off, dir);
        if (e[n] == EDGE || g[n] < gradThresh)
            break;
        off = n;
        pixelList.emplace_back(n % W, n / W);
        ++len;
    }
    chainTable[(size_t)k].len = len;
    chainTable[(size_t)en.parent].children[childSlot] = k;
}

// Traces the edge through an anchor: a tree of chains in chainTable (chain 0
// the root, without pixels; its child 0 runs left or up from the anchor,
// child 1 right or down) with their pixels in pixelList. Returns the number
// of chains that started on a pixel not yet marked as edge.
int EdgeTracer::traceFromAnchor(int anchorOff)
{
    chainTable.clear();
    chainTable.push_back({0, 0, -1, {-1, -1}, 0});
    pixelList.clear();
    stack.clear();
    const uchar* e = edge.ptr<uchar>();
    pushCrossingTraces(anchorOff / W, anchorOff % W, 0, direction.ptr<uchar>()[anchorOff] == VERTICAL_EDGE);
    int freshStarts = 0;
    while (!stack.empty()) {
        const StackEntry en = stack.back();
        stack.pop_back();
        if (e[en.r * W + en.c] != EDGE)
            ++freshStarts;
        traceChain(en);
    }
    return freshStarts;
}

// A trace too short to keep: its pixels are free again.
void EdgeTracer::releaseTrace()
{
    uchar* e = edge.ptr<uchar>();
    for (const auto& p : pixelList)
        e[p.y * W + p.x] = FREE;
}

// The chains from q down the children that longestChainLength left, into path.
void EdgeTracer::followPath(int q)
{
    path.clear();
    while (q >= 0) {
        path.push_back(q);
        const Chain& c = chainTable[(size_t)q];
        q = c.children[0] >= 0 ? c.children[0] : c.children[1];
    }
}

// The main chain of a trace: from the far end of the right/down side to the
// anchor, then on to the far end of the left/up side (whose first pixel, the
// anchor, is already there).
void EdgeTracer::emitMainChain()
{
    const int side1 = chainTable[0].children[1];
    if (longestChainLength(side1) > 0) {
        followPath(side1);
        for (size_t j = path.size(); j-- > 0;)
            copyChainBackward(path[j]);
    }
    const int side0 = chainTable[0].children[0];
    if (longestChainLength(side0) > 1) {
        followPath(side0);
        for (size_t j = 0; j < path.size(); ++j)
            copyChainForward(path[j], j == 0);
    }
    // a first pixel whose successor already touches the last one is left out
    const size_t s = (size_t)chainStarts.back();
    if (chainData.size() - s >= 2 && near8(chainData[s + 1], chainData.back()))
        chainData.erase(chainData.begin() + (std::ptrdiff_t)s);
    closeChain();
}

// Side branches cut off by the longest paths that are long enough on their
// own, each a chain of its own. (Chain 1 starts the left/up side: it is in
// the main chain or shorter than 2.)
void EdgeTracer::emitSideBranches()
{
    for (int k = 2; k < (int)chainTable.size(); ++k) {
        if (chainTable[(size_t)k].len < 2 || longestChainLength(k) < 10)
            continue;
        followPath(k);
        for (const int q : path)
            copyChainForward(q, false);
        closeChain();
    }
}

// Links edge pixels from the anchors, strongest gradient first, into the
// output chains.
void EdgeTracer::traceEdgeChains()
{
    const std::vector<int> order = anchorsByGradient();
    const uchar* e = edge.ptr<uchar>();
    for (const int anchorOff : order) {
        // on the edge of an earlier anchor, or freed beside one
        if (e[anchorOff] != ANCHOR)
            continue;
        const int freshStarts = traceFromAnchor(anchorOff);
        if ((int)pixelList.size() - freshStarts < minPathLen) {
            releaseTrace();
            continue;
        }
        emitMainChain();
        emitSideBranches();
    }
}
