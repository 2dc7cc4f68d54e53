#include "core/calib/manhattan_pose.h"

#include "core/geometry/vanishing_points.h"
#include "core/jlinkage/VPCluster.h"
#include "core/jlinkage/VPSample.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

bool validCamera(const cv::Mat& K)
{
    if (K.empty() || K.rows != 3 || K.cols != 3 || K.channels() != 1)
        return false;
    cv::Mat K64;
    K.convertTo(K64, CV_64F);
    if (!cv::checkRange(K64))
        return false;
    return K64.at<double>(0, 0) > 0 && K64.at<double>(1, 1) > 0 && std::abs(cv::determinant(K64)) > 0;
}

cv::Matx33d toMatx(const cv::Mat& K)
{
    cv::Mat K64;
    K.convertTo(K64, CV_64F);
    return cv::Matx33d(K64);
}

} // namespace

cv::Vec3d vanishingDirection(const cv::Matx33d& K, const cv::Point2f& vp)
{
    const cv::Vec3d d = K.inv() * cv::Vec3d(vp.x, vp.y, 1.0);
    return cv::normalize(d);
}

double angleDeg(const cv::Vec3d& a, const cv::Vec3d& b)
{
    const double c = a.dot(b) / (cv::norm(a) * cv::norm(b));
    return std::acos(std::max(-1.0, std::min(1.0, c))) * 180.0 / CV_PI;
}

SegmentClusters clusterSegmentsJLinkage(const std::vector<cv::Vec4f>& segments, int N, VPSample& sampler,
                                        VPCluster& clusterer)
{
    SegmentClusters out;
    std::vector<std::vector<float>> points;
    points.reserve(segments.size());
    for (const auto& s : segments)
        points.push_back({s[0], s[1], s[2], s[3]});

    std::vector<std::vector<float>> hypotheses = sampler.sample(points, 5000, nullptr, 3, 1.0, 10, 0.8, 0.2);
    std::vector<int> labels;
    std::vector<std::pair<unsigned, unsigned>> sizes;
    std::vector<std::vector<int>> clusterHyps;
    int found = 0;
    if (!hypotheses.empty())
        found = clusterer.cluster(labels, sizes, clusterHyps, points, hypotheses, 2.0f, -1, {});
    out.found = found;
    N = std::max(0, std::min(found, N));
    out.clusters.resize(std::size_t(N));
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const int label = i < labels.size() ? labels[i] : N;
        if (label < N)
            out.clusters[std::size_t(label)].push_back(segments[i]);
        else
            out.outliers.push_back(segments[i]);
    }
    return out;
}

cv::Point2f thirdVanishingPoint(const cv::Matx33d& K, const cv::Point2f& vp1, const cv::Point2f& vp2)
{
    const cv::Vec3d d3 = vanishingDirection(K, vp1).cross(vanishingDirection(K, vp2));
    const cv::Vec3d p = K * d3;
    const double r = std::hypot(p[0], p[1]);
    if (std::abs(p[2]) * kFarVanishingPoint > r)
        return {float(p[0] / p[2]), float(p[1] / p[2])};
    // at (or beyond) the far distance: along its direction from the principal point
    const double sign = p[2] < 0 ? -1.0 : 1.0;
    return {float(K(0, 2) + sign * kFarVanishingPoint * p[0] / r),
            float(K(1, 2) + sign * kFarVanishingPoint * p[1] / r)};
}

bool bestOrthogonalTriple(const cv::Matx33d& K, const std::vector<cv::Point2f>& vps, int& k, int& l, int& m)
{
    const int n = int(vps.size());
    std::vector<cv::Vec3d> d;
    for (const auto& v : vps)
        d.push_back(vanishingDirection(K, v));
    double best = 1.0;
    bool found = false;
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            for (int c = 0; c < n; ++c) {
                const cv::Matx33d D(d[a][0], d[b][0], d[c][0], d[a][1], d[b][1], d[c][1], d[a][2], d[b][2],
                                    d[c][2]);
                const double score = 1.0 - std::abs(cv::determinant(D));
                if (score >= 0 && score < best) {
                    best = score;
                    k = a;
                    l = b;
                    m = c;
                    found = true;
                }
            }
    return found;
}

bool compareByAngleAroundPrincipalPoint(const cv::Point2f& c, const cv::Point2f& a, const cv::Point2f& b)
{
    const cv::Point2f ad = a - c, bd = b - c;
    if (ad.x < 0 && bd.x >= 0)
        return true;
    if (ad.x >= 0 && bd.x < 0)
        return false;
    if (ad.x == 0 && bd.x == 0) {
        if (ad.y >= 0 || bd.y >= 0)
            return a.y < b.y;
        return a.y > b.y;
    }
    const float cross = ad.x * bd.y - ad.y * bd.x;
    if (cross > 0)
        return true;
    if (cross < 0)
        return false;
    return ad.x * ad.x + ad.y * ad.y < bd.x * bd.x + bd.y * bd.y;
}

std::vector<AxisAssignment> assignAxes(const cv::Matx33d& K, const std::vector<cv::Point2f>& vps,
                                       bool* flipped)
{
    CV_Assert(vps.size() == 3);
    std::vector<int> order{0, 1, 2};
    const cv::Point2f c(float(K(0, 2)), float(K(1, 2)));
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return compareByAngleAroundPrincipalPoint(c, vps[a], vps[b]); });
    std::vector<AxisAssignment> axes(3);
    for (int i = 0; i < 3; ++i) {
        axes[i].vpIndex = order[i];
        axes[i].inverted = false;
        axes[i].direction = vanishingDirection(K, vps[order[i]]);
    }
    const double det = axes[0].direction.dot(axes[1].direction.cross(axes[2].direction));
    if (flipped)
        *flipped = det < 0;
    if (det < 0) {
        axes[2].inverted = true;
        axes[2].direction = -axes[2].direction;
    }
    return axes;
}

void invertAxis(std::vector<AxisAssignment>& axes, int i, int vpCount)
{
    if (i < 0 || i >= vpCount || i > 2 || axes.size() != 3)
        return;
    for (int a : {i, (i + 1) % 3}) {
        axes[a].inverted = !axes[a].inverted;
        axes[a].direction = -axes[a].direction;
    }
}

void assignVanishingPointToAxis(std::vector<AxisAssignment>& axes, int a, int b, int vpCount)
{
    if (a < 0 || b < 0 || a >= vpCount || b >= vpCount || axes.size() != 3 || a == b)
        return;
    int ia = -1, ib = -1;
    for (int i = 0; i < 3; ++i) {
        if (axes[i].vpIndex == a)
            ia = i;
        if (axes[i].vpIndex == b)
            ib = i;
    }
    if (ia < 0 || ib < 0)
        return;
    std::swap(axes[ia], axes[ib]);
    // axes[ib] now holds a
    axes[ib].inverted = !axes[ib].inverted;
    axes[ib].direction = -axes[ib].direction;
}

cv::Point2f axisImagePoint(const cv::Matx33d& K, const std::vector<cv::Point2f>& vps,
                           const AxisAssignment& axis)
{
    const cv::Point2f v = vps[std::size_t(axis.vpIndex)];
    if (!axis.inverted)
        return v;
    return {float(2 * K(0, 2) - v.x), float(2 * K(1, 2) - v.y)};
}

ManhattanPoseResult manhattanCameraPose(const ManhattanPoseInput& in)
{
    ManhattanPoseResult res;
    const auto fail = [&](ManhattanPoseError e, const std::string& msg) {
        res.error = e;
        res.message = msg;
        return res;
    };
    if (!validCamera(in.K))
        return fail(ManhattanPoseError::NoIntrinsics, "no valid camera matrix");
    const bool oUnset = in.O.x == -1.f && in.O.y == -1.f;
    const bool pUnset = in.P.x == -1.f && in.P.y == -1.f;
    if (oUnset || pUnset)
        return fail(ManhattanPoseError::PointsUnset, "points O and P are not both set");
    if (!(in.length > 0) || !std::isfinite(in.length))
        return fail(ManhattanPoseError::NoLength, "the segment length is not positive");
    if (in.axes.size() != 3)
        return fail(ManhattanPoseError::MissingAxes, "three axes are needed");
    for (const auto& a : in.axes)
        if (a.vpIndex < 0 || a.vpIndex >= int(in.vanishingPoints.size()) || !(cv::norm(a.direction) > 0))
            return fail(ManhattanPoseError::MissingAxes, "an axis has no vanishing point");
    if (cv::norm(in.O - in.P) < 1e-3)
        return fail(ManhattanPoseError::SamePoints, "O and P are the same point");

    const cv::Matx33d K = toMatx(in.K);

    // rotation: the nearest proper rotation to [X Y Z]
    cv::Mat A(3, 3, CV_64F);
    for (int i = 0; i < 3; ++i)
        for (int r = 0; r < 3; ++r)
            A.at<double>(r, i) = in.axes[std::size_t(i)].direction[r];
    cv::Mat w, u, vt;
    cv::SVD::compute(A, w, u, vt);
    cv::Mat R = u * vt;
    if (cv::determinant(R) < 0) {
        res.flippedDeterminant = true;
        cv::Mat D = cv::Mat::eye(3, 3, CV_64F);
        D.at<double>(2, 2) = -1;
        R = u * D * vt;
    }
    res.R = R;
    for (int i = 0; i < 3; ++i)
        res.directions.emplace_back(R.at<double>(0, i), R.at<double>(1, i), R.at<double>(2, i));

    // the axis along OP: smallest angle at O between OP and O -> vanishing point
    const cv::Matx33d Kinv = K.inv();
    const cv::Vec3d rO = Kinv * cv::Vec3d(in.O.x, in.O.y, 1.0), rP = Kinv * cv::Vec3d(in.P.x, in.P.y, 1.0);
    const cv::Vec2d op(double(in.P.x) - in.O.x, double(in.P.y) - in.O.y);
    double bestSin = 2;
    for (int i = 0; i < 3; ++i) {
        // image direction from O towards the axis's vanishing point, from the
        // homogeneous point K d (valid also at infinity)
        const cv::Vec3d v = K * res.directions[std::size_t(i)];
        const cv::Vec2d towards(v[0] - v[2] * in.O.x, v[1] - v[2] * in.O.y);
        const double n = cv::norm(towards);
        const double s = n > 0 ? std::abs(op[0] * towards[1] - op[1] * towards[0]) / (cv::norm(op) * n) : 1.0;
        if (s < bestSin) {
            bestSin = s;
            res.nearestAxis = i;
        }
    }
    {
        const cv::Point2f vp = in.vanishingPoints[std::size_t(in.axes[std::size_t(res.nearestAxis)].vpIndex)];
        const cv::Vec3d l = cv::Vec3d(in.O.x, in.O.y, 1).cross(cv::Vec3d(in.P.x, in.P.y, 1));
        res.vpDistance = std::abs(l[0] * vp.x + l[1] * vp.y + l[2]) / std::hypot(l[0], l[1]);
    }

    const cv::Vec3d d = res.directions[std::size_t(res.nearestAxis)];
    cv::Point3d pa, pb;
    const cv::Point3d o(rO), dd(d);
    if (!closestPointsOfLines(o, o + dd, cv::Point3d(rP), cv::Point3d(0, 0, 0), pa, pb))
        return fail(ManhattanPoseError::Degenerate, "the segment OP runs along the line of sight");
    const cv::Vec3d m = (cv::Vec3d(pa) + cv::Vec3d(pb)) * 0.5;
    const double sep = cv::norm(rO - m);
    if (!(sep > 0) || !std::isfinite(sep))
        return fail(ManhattanPoseError::Degenerate, "the segment OP runs along the line of sight");
    const double s = in.length / sep;
    res.distance = s * cv::norm(rO);
    const cv::Vec3d t = s * rO;
    res.t = (cv::Mat_<double>(3, 1) << t[0], t[1], t[2]);
    return res;
}
