#include "core/calib/manhattan_pose.h"

#include "core/geometry/vanishing_points.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

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

// d / |d| also for lengths whose square leaves the range of double: d is
// scaled by its largest component first. None for a zero or non-finite d.
std::optional<cv::Vec3d> unitDirection(const cv::Vec3d& d)
{
    const double m = std::max({std::abs(d[0]), std::abs(d[1]), std::abs(d[2])});
    if (!(m > 0) || !std::isfinite(m))
        return std::nullopt;
    return cv::normalize(cv::Vec3d(d / m));
}

} // namespace

cv::Vec3d vanishingDirection(const cv::Matx33d& K, const cv::Point2f& vp)
{
    // unitDirection keeps the length within double for any focal length
    const cv::Vec3d d = K.inv() * cv::Vec3d(vp.x, vp.y, 1.0);
    const std::optional<cv::Vec3d> unit = unitDirection(d);
    return unit ? *unit : cv::normalize(d);
}

double angleDeg(const cv::Vec3d& a, const cv::Vec3d& b)
{
    const double c = a.dot(b) / (cv::norm(a) * cv::norm(b));
    return std::acos(std::max(-1.0, std::min(1.0, c))) * 180.0 / CV_PI;
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

std::vector<cv::Point2f> pointsOf(const std::vector<NumberedVanishingPoint>& vps)
{
    std::vector<cv::Point2f> points;
    points.reserve(vps.size());
    for (const auto& v : vps)
        points.push_back(v.point);
    return points;
}

namespace {

// Reduces the vanishing points to the three of the axes (a third from two,
// or the best triple of more) and notes the angles between their directions.
// false, with the error set, when no three can be had.
bool chooseThree(const cv::Matx33d& K, ManhattanAxesResult& r)
{
    std::vector<NumberedVanishingPoint>& vps = r.vanishingPoints;
    const auto dir = [&](std::size_t i) { return vanishingDirection(K, vps[i].point); };
    if (vps.size() == 1) {
        r.error = ManhattanAxesError::OnlyOne;
        r.message = "only one vanishing point was found";
        return false;
    }
    if (vps.size() == 2) {
        r.selection = AxesSelection::FromTwo;
        r.angles[0] = angleDeg(dir(0), dir(1));
        vps.push_back({thirdVanishingPoint(K, vps[0].point, vps[1].point), 3});
        return true;
    }
    if (vps.size() == 3) {
        r.selection = AxesSelection::Three;
    } else {
        int k = -1, l = -1, m = -1;
        if (!bestOrthogonalTriple(K, pointsOf(vps), k, l, m)) {
            r.error = ManhattanAxesError::Coplanar;
            r.message = "the directions of all vanishing points lie in one plane";
            return false;
        }
        r.selection = AxesSelection::BestTriple;
        vps = {vps[std::size_t(k)], vps[std::size_t(l)], vps[std::size_t(m)]};
    }
    r.angles = {angleDeg(dir(0), dir(1)), angleDeg(dir(0), dir(2)), angleDeg(dir(1), dir(2))};
    return true;
}

} // namespace

ManhattanAxesResult findManhattanAxes(const ManhattanAxesInput& in, const SearchProgress& progress)
{
    ManhattanAxesResult r;
    r.search = searchVanishingPoints(in.search, progress);
    if (!r.search.ok()) {
        r.error = ManhattanAxesError::Search;
        r.message = r.search.message;
        return r;
    }
    for (std::size_t i = 0; i < r.search.clusters.size(); ++i)
        r.vanishingPoints.push_back({r.search.clusters[i].point, int(i) + 1});
    if (r.vanishingPoints.empty()) {
        r.error = ManhattanAxesError::NoVanishingPoint;
        r.message = "no vanishing point was found";
        return r;
    }
    if (!validCamera(in.K)) {
        r.error = ManhattanAxesError::NoCamera;
        r.message = "the camera has no valid camera matrix";
        return r;
    }
    const cv::Matx33d K = toMatx(in.K);
    if (!chooseThree(K, r))
        return r;
    r.axes = assignAxes(K, pointsOf(r.vanishingPoints), &r.flipped);
    for (const AxisAssignment& a : r.axes)
        if (!(std::abs(cv::norm(a.direction) - 1.0) < 1e-9)) {
            r.error = ManhattanAxesError::NoCamera;
            r.message = "the camera matrix gives no finite directions";
            r.axes.clear();
            r.selection = AxesSelection::None;
            return r;
        }
    return r;
}

AxisPairAngle leastOrthogonalPair(const std::array<cv::Vec3d, 3>& d)
{
    AxisPairAngle worst;
    double worstDeparture = -1;
    for (const auto& [i, j] : {std::pair<int, int>{0, 1}, {0, 2}, {1, 2}}) {
        const double angle = angleDeg(d[std::size_t(i)], d[std::size_t(j)]);
        const double departure = std::abs(angle - 90.0);
        if (departure > worstDeparture) {
            worstDeparture = departure;
            worst = {i, j, angle};
        }
    }
    return worst;
}

namespace {

bool finitePoint(const cv::Point2f& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// The nearest proper rotation to the matrix with the directions as columns;
// flipped tells whether they formed a left-handed frame.
cv::Mat nearestRotation(const std::array<cv::Vec3d, 3>& d, bool& flipped)
{
    cv::Mat A(3, 3, CV_64F);
    for (int i = 0; i < 3; ++i)
        for (int r = 0; r < 3; ++r)
            A.at<double>(r, i) = d[std::size_t(i)][r];
    cv::Mat w, u, vt;
    cv::SVD::compute(A, w, u, vt);
    cv::Mat R = u * vt;
    flipped = cv::determinant(R) < 0;
    if (flipped) {
        cv::Mat D = cv::Mat::eye(3, 3, CV_64F);
        D.at<double>(2, 2) = -1;
        R = u * D * vt;
    }
    return R;
}

// The axis along OP: the smallest angle at O between OP and the direction
// from O towards the axis's vanishing point, taken from the homogeneous point
// K d (valid also at infinity).
int axisAlongSegment(const cv::Matx33d& K, const std::vector<cv::Vec3d>& directions, const cv::Point2f& O,
                     const cv::Point2f& P)
{
    const cv::Vec2d op(double(P.x) - O.x, double(P.y) - O.y);
    double bestSin = 2;
    int best = 0;
    for (int i = 0; i < 3; ++i) {
        const cv::Vec3d v = K * directions[std::size_t(i)];
        const cv::Vec2d towards(v[0] - v[2] * O.x, v[1] - v[2] * O.y);
        const double n = cv::norm(towards);
        const double s = n > 0 ? std::abs(op[0] * towards[1] - op[1] * towards[0]) / (cv::norm(op) * n) : 1.0;
        if (s < bestSin) {
            bestSin = s;
            best = i;
        }
    }
    return best;
}

// Distance in pixels from vp to the image line through O and P.
double distanceToLineOP(const cv::Point2f& vp, const cv::Point2f& O, const cv::Point2f& P)
{
    const cv::Vec3d l = cv::Vec3d(O.x, O.y, 1).cross(cv::Vec3d(P.x, P.y, 1));
    return std::abs(l[0] * vp.x + l[1] * vp.y + l[2]) / std::hypot(l[0], l[1]);
}

} // namespace

ManhattanPoseResult manhattanCameraPose(const ManhattanPoseInput& in)
{
    ManhattanPoseResult res;
    const auto fail = [&](ManhattanPoseError e, const std::string& msg) {
        res.error = e;
        res.message = msg;
        res.R = cv::Mat();
        res.t = cv::Mat();
        res.directions.clear();
        return res;
    };
    if (!validCamera(in.K))
        return fail(ManhattanPoseError::NoIntrinsics, "no valid camera matrix");
    const bool oUnset = in.O.x == -1.f && in.O.y == -1.f;
    const bool pUnset = in.P.x == -1.f && in.P.y == -1.f;
    if (oUnset || pUnset)
        return fail(ManhattanPoseError::PointsUnset, "points O and P are not both set");
    if (!finitePoint(in.O) || !finitePoint(in.P))
        return fail(ManhattanPoseError::InvalidPoints, "point O or P is not a finite pixel position");
    if (!(in.length > 0) || !std::isfinite(in.length))
        return fail(ManhattanPoseError::NoLength, "the segment length is not positive");
    if (in.axes.size() != 3)
        return fail(ManhattanPoseError::MissingAxes, "three axes are needed");
    std::array<cv::Vec3d, 3> unit;
    for (std::size_t i = 0; i < 3; ++i) {
        const AxisAssignment& a = in.axes[i];
        if (a.vpIndex < 0 || a.vpIndex >= int(in.vanishingPoints.size()) ||
            !finitePoint(in.vanishingPoints[std::size_t(a.vpIndex)]))
            return fail(ManhattanPoseError::MissingAxes, "an axis has no vanishing point");
        const std::optional<cv::Vec3d> u = unitDirection(a.direction);
        if (!u)
            return fail(ManhattanPoseError::MissingAxes, "an axis has no direction");
        unit[i] = *u;
    }
    res.leastOrthogonal = leastOrthogonalPair(unit);
    if (std::abs(res.leastOrthogonal.angleDeg - 90.0) > kOrthogonalityToleranceDeg) {
        const char* names[] = {"X", "Y", "Z"};
        return fail(
            ManhattanPoseError::NotOrthogonal,
            cv::format("the axes %s and %s are %.1f degrees apart, more than %g degrees from a right angle",
                       names[res.leastOrthogonal.first], names[res.leastOrthogonal.second],
                       res.leastOrthogonal.angleDeg, kOrthogonalityToleranceDeg));
    }
    if (cv::norm(in.O - in.P) < 1e-3)
        return fail(ManhattanPoseError::SamePoints, "O and P are the same point");

    const cv::Matx33d K = toMatx(in.K);
    res.R = nearestRotation(unit, res.flippedDeterminant);
    for (int i = 0; i < 3; ++i)
        res.directions.emplace_back(res.R.at<double>(0, i), res.R.at<double>(1, i), res.R.at<double>(2, i));
    res.nearestAxis = axisAlongSegment(K, res.directions, in.O, in.P);
    res.vpDistance = distanceToLineOP(
        in.vanishingPoints[std::size_t(in.axes[std::size_t(res.nearestAxis)].vpIndex)], in.O, in.P);

    // O lies at s rO; the closest points of the line through O along the
    // axis and the ray of P give P, and so the scale.
    const cv::Matx33d Kinv = K.inv();
    const cv::Vec3d rO = Kinv * cv::Vec3d(in.O.x, in.O.y, 1.0), rP = Kinv * cv::Vec3d(in.P.x, in.P.y, 1.0);
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
    if (!std::isfinite(res.distance) || !std::isfinite(t[0]) || !std::isfinite(t[1]) || !std::isfinite(t[2]))
        return fail(ManhattanPoseError::NotFinite, "the translation is beyond the range of numbers");
    res.t = (cv::Mat_<double>(3, 1) << t[0], t[1], t[2]);
    return res;
}
