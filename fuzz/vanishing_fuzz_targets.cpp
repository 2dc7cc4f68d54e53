// Fuzz targets of the Manhattan-world computations: the line detector, the
// J-Linkage search with the vanishing-point models (and the kd-tree under
// it), and the chain from vanishing points to the camera pose. Each decodes
// the bytes into the computation's input and checks what it promises: a
// result within its documented range, or a refusal of its own kind (an error
// code, or the cv::Exception its header names). Anything else aborts.

#include "fuzz_targets.h"

#include "core/calib/manhattan_pose.h"
#include "core/geometry/vanishing_points.h"
#include "core/jlinkage/KdTree.h"
#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"
#include "core/jlinkage/vanishing_point_search.h"
#include "core/lines/line_detection.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace fuzz_targets {

namespace {

void fail(const char* what)
{
    std::fprintf(stderr, "fuzz target check failed: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what)
{
    if (!ok)
        fail(what);
}

// Reads the bytes front to back; past the end every read gives 0. (Each read
// is a statement of its own: the order of a function's arguments is not
// defined.)
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data(data), size(size) {}

    size_t left() const { return size - pos; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16()
    {
        const unsigned lo = u8();
        return uint16_t(lo | (unsigned(u8()) << 8));
    }

    // A value in [lo, hi] in steps of (hi - lo) / 65535.
    double range(double lo, double hi) { return lo + (hi - lo) * u16() / 65535.0; }

    // A number that is now and then one a computation must survive: zero,
    // a value not finite, far beyond any image or tiny.
    double number(double lo, double hi)
    {
        switch (u8() % 16) {
        case 0:
            return 0.0;
        case 1:
            return std::numeric_limits<double>::quiet_NaN();
        case 2:
            return std::numeric_limits<double>::infinity();
        case 3:
            return -1e300;
        case 4:
            return 1e-300;
        case 5:
            return 2e305;
        default:
            return range(lo, hi);
        }
    }

private:
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

bool finite(const cv::Point2f& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y);
}

bool finite(const cv::Vec4f& s)
{
    return std::isfinite(s[0]) && std::isfinite(s[1]) && std::isfinite(s[2]) && std::isfinite(s[3]);
}

// A segment in an image of about 1000 px, some of them without length, some
// with coordinates that are not finite.
cv::Vec4f segmentFrom(Bytes& b)
{
    const uint8_t kind = b.u8() % 32;
    const float x1 = float(b.range(-200, 1200)), y1 = float(b.range(-200, 1200));
    if (kind == 0)
        return {x1, y1, x1, y1};
    if (kind == 1)
        return {x1, y1, x1 + 1e-7f * float(b.range(-1, 1)), y1 + 1e-7f};
    if (kind == 2)
        return {x1, y1, float(b.number(-200, 1200)), float(b.number(-200, 1200))};
    return {x1, y1, float(b.range(-200, 1200)), float(b.range(-200, 1200))};
}

// The defined outcomes of a vanishing-point fit: a finite point and RMS;
// StsBadArg for a segment that is not finite, else StsBadSize for fewer
// than two segments of positive length, with the RMS untouched.
template <class Fit> void checkFit(const std::vector<cv::Vec4f>& segments, Fit fit)
{
    const bool allFinite =
        std::all_of(segments.begin(), segments.end(), [](const cv::Vec4f& s) { return finite(s); });
    const auto withLength = std::count_if(segments.begin(), segments.end(),
                                          [](const cv::Vec4f& s) { return s[0] != s[2] || s[1] != s[3]; });
    float rms = -1.f;
    try {
        const cv::Point2f vp = fit(segments, rms);
        check(allFinite && withLength >= 2, "a fit took segments it should refuse");
        check(finite(vp) && std::isfinite(rms) && rms >= 0, "vanishing point or RMS not finite");
    } catch (const cv::Exception& e) {
        if (!allFinite)
            check(e.code == cv::Error::StsBadArg, "segments not finite refused with another error");
        else
            check(e.code == cv::Error::StsBadSize && withLength < 2, "a fit refused segments it should take");
        check(rms == -1.f, "a refused fit changed the RMS");
    }
}

struct TreePoint {
    std::vector<float> c;
    bool excludedFromSearch = false;
    float coordinate(std::size_t i) const { return c[i]; }
};

float distanceOf(const TreePoint& a, const TreePoint& b, std::size_t dim)
{
    float sum = 0;
    for (std::size_t i = 0; i < dim; ++i) {
        const float d = a.c[i] - b.c[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

// The kd-tree's k nearest points against a search of all points: the same
// distances in the same order, with the limit taken from one of the
// distances (a point exactly at the limit is found).
void checkKdTree(Bytes& b)
{
    const std::size_t dim = 1 + b.u8() % 4;
    const std::size_t n = 1 + b.u8() % 40;
    std::vector<TreePoint> points(n);
    for (auto& p : points)
        for (std::size_t i = 0; i < 4; ++i)
            p.c.push_back(float(b.u8() % 16)); // small integers: many equal distances
    KdTree<TreePoint> tree(dim);
    for (auto& p : points)
        tree.insert(&p);
    if (b.u8() % 2)
        tree.rebuild();
    check(tree.size() == n, "the tree lost points");
    TreePoint& q = points[b.u8() % n];
    const int k = 1 + b.u8() % 8;
    std::vector<float> all;
    for (const auto& p : points)
        if (&p != &q)
            all.push_back(distanceOf(p, q, dim));
    std::sort(all.begin(), all.end());
    const float limit = all.empty() ? 1.f : all[b.u8() % all.size()];
    std::vector<float> expected;
    for (float d : all)
        if (d <= limit && int(expected.size()) < k)
            expected.push_back(d);
    const std::vector<TreePoint*> found = tree.nearestPoints(q, limit, k, n);
    check(found.size() == expected.size(), "the kd-tree found another number of points");
    for (std::size_t i = 0; i < found.size(); ++i) {
        check(found[i] != &q, "the kd-tree found the query itself");
        check(distanceOf(*found[i], q, dim) == expected[i], "the kd-tree's points are not the nearest");
    }
    for (const auto& p : points)
        check(!p.excludedFromSearch, "the kd-tree left an exclusion mark");
}

} // namespace

// The bytes: image width and height (1 to 96 px), the least line length
// (-1 to 126), whether the camera has distortion (and its coefficients),
// then the grey levels, repeated to fill the image.
void lineDetection(const uint8_t* data, size_t size)
{
    Bytes b(data, size);
    const int w = 1 + b.u8() % 96, h = 1 + b.u8() % 96;
    LineDetectionInput in;
    in.minLineLength = int(b.u8() % 128) - 1;
    if (b.u8() % 4 == 0) {
        in.K = (cv::Mat_<double>(3, 3) << w, 0, (w - 1) / 2.0, 0, w, (h - 1) / 2.0, 0, 0, 1);
        in.kc = (cv::Mat_<double>(1, 5) << b.range(-0.5, 0.5), b.range(-0.2, 0.2), b.range(-0.01, 0.01),
                 b.range(-0.01, 0.01), 0.0);
    }
    in.gray = cv::Mat(h, w, CV_8UC1);
    const size_t first = size - b.left();
    for (int i = 0; i < w * h; ++i)
        in.gray.data[i] = size > first ? data[first + size_t(i) % (size - first)] : 0;
    cv::cvtColor(in.gray, in.colour, cv::COLOR_GRAY2BGR);

    const LineDetectionResult r = runLineDetection(in);
    check(r.ok, "line detection refused an 8-bit image");
    check(r.gray.size() == in.gray.size() && r.imageSize == in.gray.size(),
          "line detection changed the size");
    for (const cv::Vec4f& s : r.segments) {
        check(finite(s), "a segment is not finite");
        for (int k = 0; k < 4; k += 2)
            check(s[k] > -2 && s[k] < w + 1 && s[k + 1] > -2 && s[k + 1] < h + 1,
                  "a segment leaves the image");
    }
    check(r.statistics.count == int(r.segments.size()), "statistics of other segments");
    check(std::isfinite(r.statistics.mean) && std::isfinite(r.statistics.stddev), "statistics not finite");
}

// The bytes: the options of the search (number of clusters, fit, seed, the
// runners' sampling type and neighbours), then segments; then a kd-tree
// problem.
void jlinkageVanishingPoints(const uint8_t* data, size_t size)
{
    Bytes b(data, size);
    VanishingPointSearchInput in;
    in.count = b.u8() % 8;
    in.weighted = b.u8() % 2;
    in.seed = b.u16();
    const int samplingType = b.u8() % 4;
    const int kNeighbours = b.u8() % 3 == 0 ? 1 + b.u8() % 6 : -1;
    const unsigned hypotheses = 1 + b.u16() % 200;
    const std::size_t n = b.u8() % 48;
    for (std::size_t i = 0; i < n; ++i)
        in.segments.push_back(segmentFrom(b));
    const std::size_t rest = b.left();

    // the runners as the search drives them, with the other modes too
    std::vector<std::vector<float>> points;
    for (const auto& s : in.segments)
        points.push_back({s[0], s[1], s[2], s[3]});
    if (!points.empty()) {
        VPSample sampler;
        sampler.setSeed(*in.seed);
        const auto models = sampler.sample(points, hypotheses, nullptr, samplingType, 1.0, 10, 0.8, 0.2);
        check(models.empty() || models.size() == hypotheses, "the sampler drew another number of models");
        if (!models.empty()) {
            VPCluster clusterer;
            std::vector<int> labels;
            std::vector<std::pair<unsigned, unsigned>> sizes;
            std::vector<std::vector<int>> hyps;
            const int count = clusterer.cluster(labels, sizes, hyps, points, models, 2.0f, kNeighbours, {});
            check(count >= 1 && count <= int(points.size()), "a clustering of no or too many clusters");
            check(labels.size() == points.size() && sizes.size() == std::size_t(count), "labels or sizes");
            unsigned members = 0;
            for (const auto& s : sizes)
                members += s.first;
            check(members == points.size(), "cluster sizes do not add up");
            for (int l : labels)
                check(l >= 0 && l < count, "a label beyond the clusters");
        }
    }

    // the search itself, with fewer hypotheses than the dialog's 5000
    in.hypotheses = hypotheses;
    const bool anyNotFinite =
        !std::all_of(in.segments.begin(), in.segments.end(), [](const cv::Vec4f& s) { return finite(s); });
    const VanishingPointSearchResult r = searchVanishingPoints(in);
    if (in.count < 1)
        check(r.error == VanishingPointSearchError::BadCount, "a count below 1 was taken");
    else if (anyNotFinite)
        check(r.error == VanishingPointSearchError::InvalidSegment, "a segment not finite was taken");
    else if (in.segments.size() < 3)
        check(r.error == VanishingPointSearchError::TooFewSegments, "fewer than 3 segments were taken");
    else
        check(r.ok(), "the search failed on valid segments");
    if (r.ok()) {
        std::size_t total = r.outliers.size();
        for (const auto& c : r.clusters) {
            total += c.segments.size();
            check(finite(c.point) && std::isfinite(c.rms) && c.rms >= 0, "a cluster's point is not finite");
        }
        check(total == in.segments.size(), "the search lost or made segments");
        check(int(r.clusters.size()) <= in.count, "more clusters than asked for");
    } else {
        check(!r.message.empty() && r.clusters.empty(), "a failed search without a message or with clusters");
    }

    Bytes tail(data + (size - rest), rest);
    checkKdTree(tail);
}

// The bytes: a camera matrix, a cluster of segments for the three fits, then
// vanishing points, the axes (from the vanishing points or raw), O, P and the
// length for the pose; last, segments for the whole chain from J-Linkage to
// the pose.
void manhattanPose(const uint8_t* data, size_t size)
{
    Bytes b(data, size);
    const double fx = b.number(50, 5000), fy = b.range(50, 5000);
    const double cx = b.range(0, 1000), cy = b.range(0, 1000);
    const cv::Matx33d K(fx, 0, cx, 0, fy, cy, 0, 0, 1);

    std::vector<cv::Vec4f> cluster(b.u8() % 10);
    for (auto& s : cluster)
        s = segmentFrom(b);
    checkFit(cluster, [](const std::vector<cv::Vec4f>& s, float& rms) {
        return vanishingPointFitLine(s, rms, cv::DIST_L2);
    });
    checkFit(cluster, [](const std::vector<cv::Vec4f>& s, float& rms) { return vanishingPointSvd(s, rms); });
    checkFit(cluster,
             [](const std::vector<cv::Vec4f>& s, float& rms) { return clusterVanishingPoint(s, rms); });

    ManhattanPoseInput in;
    in.K = cv::Mat(K);
    in.vanishingPoints.resize(3 + b.u8() % 4);
    for (auto& vp : in.vanishingPoints) {
        vp.x = float(b.number(-1e5, 1e5));
        vp.y = float(b.number(-1e5, 1e5));
    }
    const bool fromPoints = b.u8() % 2;
    in.axes.resize(b.u8() % 5 == 0 ? b.u8() % 4 : 3);
    for (auto& a : in.axes) {
        a.vpIndex = int(b.u8() % 8) - 1;
        a.inverted = b.u8() % 2;
        if (fromPoints && a.vpIndex >= 0 && a.vpIndex < int(in.vanishingPoints.size()) && std::isfinite(fx) &&
            fx != 0)
            a.direction = vanishingDirection(K, in.vanishingPoints[std::size_t(a.vpIndex)]);
        else
            for (int k = 0; k < 3; ++k)
                a.direction[k] = b.number(-2, 2);
    }
    in.O.x = float(b.number(-100, 1100));
    in.O.y = float(b.number(-100, 1100));
    in.P = in.O;
    if (b.u8() % 8 != 0) {
        in.P.x = float(b.number(-100, 1100));
        in.P.y = float(b.number(-100, 1100));
    }
    in.length = b.number(-10, 1e4);

    const ManhattanPoseResult r = manhattanCameraPose(in);
    if (r.error == ManhattanPoseError::None) {
        check(r.R.rows == 3 && r.R.cols == 3 && r.t.rows == 3 && r.t.cols == 1, "pose of the wrong shape");
        check(cv::checkRange(r.R) && cv::checkRange(r.t), "a pose that is not finite");
        check(std::abs(cv::determinant(r.R) - 1) < 1e-9, "R is not a rotation (determinant)");
        check(cv::norm(r.R * r.R.t(), cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) < 1e-9,
              "R is not a rotation");
        check(r.nearestAxis >= 0 && r.nearestAxis < 3, "no axis along OP");
        check(std::abs(r.leastOrthogonal.angleDeg - 90) <= kOrthogonalityToleranceDeg,
              "axes no frame, a pose");
        check(std::isfinite(r.distance) && r.distance >= 0, "distance not finite");
    } else {
        check(!r.message.empty() && r.R.empty() && r.t.empty(),
              "a refused pose without reason or with values");
    }

    // the tools of the axis widgets on whatever they get
    const std::vector<cv::Point2f> vps = in.vanishingPoints;
    int k = -1, l = -1, m = -1;
    if (std::isfinite(fx) && fx != 0 && bestOrthogonalTriple(K, vps, k, l, m))
        check(k >= 0 && l >= 0 && m >= 0 && k != l && k != m && l != m, "a triple that repeats a point");
    std::vector<AxisAssignment> axes = in.axes;
    invertAxis(axes, int(b.u8() % 5) - 1, int(vps.size()));
    const int vpA = int(b.u8() % 8) - 1, vpB = int(b.u8() % 8) - 1;
    assignVanishingPointToAxis(axes, vpA, vpB, int(vps.size()));

    // the chain: J-Linkage, the choice of three, the axes, the pose
    ManhattanAxesInput chain;
    chain.K = cv::Mat(K);
    chain.search.count = 1 + b.u8() % 5;
    chain.search.seed = b.u8();
    chain.search.hypotheses = 1 + b.u8();
    chain.search.segments.resize(b.u8() % 16);
    for (auto& s : chain.search.segments)
        s = segmentFrom(b);
    const ManhattanAxesResult axesRun = findManhattanAxes(chain);
    if (axesRun.ok()) {
        check(axesRun.vanishingPoints.size() == 3 && axesRun.axes.size() == 3, "axes without three points");
        for (const auto& a : axesRun.axes)
            check(a.vpIndex >= 0 && a.vpIndex < 3 && std::abs(cv::norm(a.direction) - 1) < 1e-9, "an axis");
        ManhattanPoseInput pose = in;
        pose.axes = axesRun.axes;
        pose.vanishingPoints = pointsOf(axesRun.vanishingPoints);
        const ManhattanPoseResult p = manhattanCameraPose(pose);
        check(p.error != ManhattanPoseError::None || cv::checkRange(p.t), "a chain's pose not finite");
    } else {
        check(!axesRun.message.empty(), "a failed axes run without a message");
    }
}

} // namespace fuzz_targets
