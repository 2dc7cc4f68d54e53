#include "core/geometry/vanishing_points.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

bool isFinite(const cv::Vec4f& s)
{
    return std::isfinite(s[0]) && std::isfinite(s[1]) && std::isfinite(s[2]) && std::isfinite(s[3]);
}

bool hasLength(const cv::Vec4f& s)
{
    return s[0] != s[2] || s[1] != s[3];
}

// Homogeneous line (x1, y1, 1) x (x2, y2, 1), in double.
cv::Vec3d lineThrough(const cv::Vec4f& s)
{
    const double x1 = s[0], y1 = s[1], x2 = s[2], y2 = s[3];
    return {y1 - y2, x2 - x1, x1 * y2 - x2 * y1};
}

// The segments used in the estimate: all finite (else StsBadArg),
// at least two of positive length (else StsBadSize).
std::vector<cv::Vec4f> usableSegments(const std::vector<cv::Vec4f>& segments, const char* func)
{
    std::vector<cv::Vec4f> used;
    used.reserve(segments.size());
    for (const auto& s : segments) {
        if (!isFinite(s))
            cv::error(cv::Error::StsBadArg, "a segment has a non-finite coordinate", func, __FILE__,
                      __LINE__);
        if (hasLength(s))
            used.push_back(s);
    }
    if (used.size() < 2)
        cv::error(cv::Error::StsBadSize, "at least two segments of positive length are needed", func,
                  __FILE__, __LINE__);
    return used;
}

// Distance from (px, py) to the line of s, in double (the RMS is computed
// with it so that far vanishing points do not lose the distances to float
// cancellation).
double distanceToLine(double px, double py, const cv::Vec4f& s)
{
    const double x1 = s[0], y1 = s[1], dx = double(s[2]) - x1, dy = double(s[3]) - y1;
    const double len2 = dx * dx + dy * dy;
    if (len2 == 0)
        return std::hypot(px - x1, py - y1);
    return std::abs((px - x1) * dy - (py - y1) * dx) / std::sqrt(len2);
}

// Sum of u u^T over the unit lines u = l / |l| (lines of norm 0 left out),
// each weighted, with `lengthWeighted`, by l[0]^2 + l[1]^2: the squared
// length of the segment the line was drawn through.
cv::Matx33d unitLineScatter(const std::vector<cv::Vec3d>& lines, bool lengthWeighted)
{
    cv::Matx33d M = cv::Matx33d::zeros();
    for (const auto& l : lines) {
        const double n = cv::norm(l);
        if (n == 0)
            continue;
        const cv::Vec3d u = l / n;
        if (lengthWeighted)
            M += (l[0] * l[0] + l[1] * l[1]) * (u * u.t());
        else
            M += u * u.t();
    }
    return M;
}

// Negates lines so that all lie on one side of their main direction: the
// leading eigenvector r of the sum of u u^T over the unit lines u (a
// statistic that does not change when a line changes sign). Returns which
// lines were negated.
std::vector<bool> orientLines(std::vector<cv::Vec3d>& lines)
{
    const cv::Matx33d M = unitLineScatter(lines, false);
    cv::Mat evals, evecs;
    cv::eigen(cv::Mat(M), evals, evecs);
    const cv::Vec3d r(evecs.at<double>(0, 0), evecs.at<double>(0, 1), evecs.at<double>(0, 2));
    std::vector<bool> flipped(lines.size(), false);
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].dot(r) < 0) {
            lines[i] = -lines[i];
            flipped[i] = true;
        }
    return flipped;
}

// Conditioning of a segment list: x' = scale (x - cx), y' = scale (y - cy)
// with (cx, cy) the centroid of the midpoints and the mean distance of the
// end points from it sqrt(2).
struct Conditioning {
    double cx = 0, cy = 0, scale = 1;

    explicit Conditioning(const std::vector<cv::Vec4f>& segments)
    {
        for (const auto& s : segments) {
            cx += 0.5 * (double(s[0]) + s[2]);
            cy += 0.5 * (double(s[1]) + s[3]);
        }
        const double n = double(segments.size());
        cx /= n;
        cy /= n;
        double spread = 0;
        for (const auto& s : segments)
            spread += 0.5 * (std::hypot(s[0] - cx, s[1] - cy) + std::hypot(s[2] - cx, s[3] - cy));
        spread /= n;
        if (spread > 0 && std::isfinite(std::sqrt(2.0) / spread))
            scale = std::sqrt(2.0) / spread;
    }

    // homogeneous lines of the segments in conditioned coordinates
    std::vector<cv::Vec3d> lines(const std::vector<cv::Vec4f>& segments) const
    {
        std::vector<cv::Vec3d> out;
        out.reserve(segments.size());
        for (const auto& s : segments) {
            const double x1 = scale * (s[0] - cx), y1 = scale * (s[1] - cy);
            const double x2 = scale * (s[2] - cx), y2 = scale * (s[3] - cy);
            out.emplace_back(y1 - y2, x2 - x1, x1 * y2 - x2 * y1);
        }
        return out;
    }

    // homogeneous point of conditioned coordinates in pixels
    cv::Vec3d toPixels(const cv::Vec3d& v) const
    {
        return {v[0] / scale + cx * v[2], v[1] / scale + cy * v[2], v[2]};
    }
};

float rmsDistance(const cv::Point2f& vp, const std::vector<cv::Vec4f>& segments)
{
    double sum = 0;
    for (const auto& s : segments) {
        const double d = distanceToLine(vp.x, vp.y, s);
        sum += d * d;
    }
    return float(std::sqrt(sum / double(segments.size())));
}

// Image point of the homogeneous vanishing point v; a point at infinity or
// beyond kFarVanishingPoint is represented at that distance from the centroid
// of the segments' midpoints, along its direction.
cv::Point2f imagePoint(const cv::Vec3d& v, const std::vector<cv::Vec4f>& segments, const char* func)
{
    const double r = std::hypot(v[0], v[1]);
    if (!(std::isfinite(r) && std::isfinite(v[2])) || (r == 0 && v[2] == 0))
        cv::error(cv::Error::StsBadArg, "the segments do not define a vanishing point", func, __FILE__,
                  __LINE__);
    if (r < kFarVanishingPoint * std::abs(v[2]))
        return {float(v[0] / v[2]), float(v[1] / v[2])};
    double cx = 0, cy = 0;
    for (const auto& s : segments) {
        cx += 0.5 * (double(s[0]) + s[2]);
        cy += 0.5 * (double(s[1]) + s[3]);
    }
    cx /= double(segments.size());
    cy /= double(segments.size());
    const double sign = v[2] < 0 ? -1.0 : 1.0;
    return {float(cx + sign * kFarVanishingPoint * v[0] / r),
            float(cy + sign * kFarVanishingPoint * v[1] / r)};
}

} // namespace

float pointLineDistance(const cv::Point2f& p, const cv::Vec4f& s)
{
    const float dx = s[2] - s[0], dy = s[3] - s[1];
    const float len2 = dx * dx + dy * dy;
    const float u = len2 > 0 ? ((p.x - s[0]) * dx + (p.y - s[1]) * dy) / len2 : 0.f;
    const cv::Point2f foot(s[0] + u * dx, s[1] + u * dy);
    return float(cv::norm(cv::Vec2f(p.x - foot.x, p.y - foot.y), cv::NORM_L2));
}

cv::Point2f vanishingPointFitLine(std::vector<cv::Vec4f> segments, float& rms, int distType)
{
    const char* func = "vanishingPointFitLine";
    const std::vector<cv::Vec4f> used = usableSegments(segments, func);
    const Conditioning conditioning(used);
    std::vector<cv::Vec3d> lines = conditioning.lines(used);
    orientLines(lines);

    cv::Vec3d direction, point;
    if (distType == cv::DIST_L2) {
        // the centroid and the principal direction of the lines
        point = cv::Vec3d::all(0);
        for (const auto& l : lines)
            point += l;
        point *= 1.0 / double(lines.size());
        cv::Matx33d scatter = cv::Matx33d::zeros();
        for (const auto& l : lines)
            scatter += (l - point) * (l - point).t();
        cv::Mat evals, evecs;
        cv::eigen(cv::Mat(scatter), evals, evecs);
        direction = cv::Vec3d(evecs.at<double>(0, 0), evecs.at<double>(0, 1), evecs.at<double>(0, 2));
    } else {
        std::vector<cv::Point3f> points;
        points.reserve(lines.size());
        for (const auto& l : lines)
            points.emplace_back(float(l[0]), float(l[1]), float(l[2]));
        cv::Vec6f fit;
        cv::fitLine(points, fit, distType, 0, 0.01, 0.01);
        direction = cv::Vec3d(fit[0], fit[1], fit[2]);
        point = cv::Vec3d(fit[3], fit[4], fit[5]);
    }

    // The fitted line lies in the plane {l : l . v = 0} of the lines through
    // the vanishing point v, so v is normal to its direction and to its point.
    // When the two are parallel, the fitted line runs through the origin of
    // line space: the segments lie on one image line (direction), every
    // point of which is a solution; its point at infinity is taken, as for
    // parallel segments.
    cv::Vec3d v = direction.cross(point);
    if (v == cv::Vec3d::all(0))
        v = cv::Vec3d(direction[1], -direction[0], 0);
    const cv::Point2f vp = imagePoint(conditioning.toPixels(v), segments, func);
    rms = rmsDistance(vp, segments);
    return vp;
}

cv::Point2f vanishingPointSvd(std::vector<cv::Vec4f> segments, float& rms)
{
    const char* func = "vanishingPointSvd";
    const std::vector<cv::Vec4f> used = usableSegments(segments, func);
    const Conditioning conditioning(used);
    const std::vector<cv::Vec3d> lines = conditioning.lines(used);

    // sum of length^2 * u u^T over the unit lines u (lengths in conditioned
    // units: the same weights up to one factor)
    const cv::Matx33d M = unitLineScatter(lines, true);
    cv::Mat W, U, Vt;
    cv::SVD::compute(cv::Mat(M), W, U, Vt);
    const cv::Vec3d v(U.at<double>(0, 2), U.at<double>(1, 2), U.at<double>(2, 2));
    const cv::Point2f vp = imagePoint(conditioning.toPixels(v), segments, func);
    rms = rmsDistance(vp, segments);
    return vp;
}

bool closestPointsOfLines(const cv::Point3d& p1, const cv::Point3d& p2, const cv::Point3d& p3,
                          const cv::Point3d& p4, cv::Point3d& pa, cv::Point3d& pb)
{
    constexpr double EPS = 1e-6;
    const cv::Point3d p43 = p4 - p3;
    if (cv::norm(p43) < EPS)
        return false;
    const cv::Point3d p21 = p2 - p1;
    if (cv::norm(p21) < EPS)
        return false;
    const cv::Point3d p13 = p1 - p3;
    const double d1343 = p13.dot(p43), d4321 = p43.dot(p21), d1321 = p13.dot(p21);
    const double d4343 = p43.dot(p43), d2121 = p21.dot(p21);
    const double denom = d2121 * d4343 - d4321 * d4321;
    if (std::abs(denom) < EPS)
        return false;
    const double mua = (d1343 * d4321 - d1321 * d4343) / denom;
    const double mub = (d1343 + d4321 * mua) / d4343;
    const cv::Point3d a = p1 + mua * p21, b = p3 + mub * p43;
    if (!(std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z) && std::isfinite(b.x) &&
          std::isfinite(b.y) && std::isfinite(b.z)))
        return false;
    pa = a;
    pb = b;
    return true;
}

std::vector<cv::Vec4f> orientSegmentsConsistently(std::vector<cv::Vec4f> segments)
{
    std::vector<cv::Vec3d> lines;
    lines.reserve(segments.size());
    for (const auto& s : segments)
        lines.push_back(lineThrough(s));
    const std::vector<bool> flipped = orientLines(lines);
    for (std::size_t i = 0; i < segments.size(); ++i)
        if (flipped[i])
            segments[i] = cv::Vec4f(segments[i][2], segments[i][3], segments[i][0], segments[i][1]);
    return segments;
}

namespace {

// Angle in radians between a segment and the line from its midpoint to vp.
double angularResidual(const cv::Vec4f& s, const cv::Point2f& vp)
{
    const double mx = 0.5 * (double(s[0]) + s[2]), my = 0.5 * (double(s[1]) + s[3]);
    const double dx = double(s[2]) - s[0], dy = double(s[3]) - s[1];
    const double vx = double(vp.x) - mx, vy = double(vp.y) - my;
    const double a = std::abs(dx * vy - dy * vx), b = std::abs(dx * vx + dy * vy);
    return std::atan2(a, b);
}

} // namespace

cv::Point2f clusterVanishingPoint(const std::vector<cv::Vec4f>& cluster, float& rms, bool weighted)
{
    // Only segments with a direction take part: a zero-length one would stay
    // through the outlier step below (its angle is 0) while real ones go.
    std::vector<cv::Vec4f> kept = usableSegments(cluster, "clusterVanishingPoint");

    // the inliers are chosen with the length-weighted estimate, which long
    // segments steady; the chosen method then fits them
    float unused = 0;
    cv::Point2f vp = vanishingPointSvd(kept, unused);

    // A segment that fits two vanishing points within the clustering
    // threshold can sit in the wrong cluster; one such segment pulls an L2
    // fit by degrees. The segment pointing farthest from the fit is left out
    // and the fit repeated, while it points more than three times the median
    // angle (and over 0.1 degree) away and more than three segments remain.
    while (kept.size() > 3) {
        std::vector<double> res;
        for (const auto& s : kept)
            res.push_back(angularResidual(s, vp));
        std::vector<double> sorted = res;
        std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
        const double limit = std::max(3.0 * sorted[sorted.size() / 2], 0.1 * CV_PI / 180.0);
        const auto worst = std::max_element(res.begin(), res.end());
        if (*worst <= limit)
            break;
        kept.erase(kept.begin() + (worst - res.begin()));
        vp = vanishingPointSvd(kept, unused);
    }
    if (!weighted)
        vp = vanishingPointFitLine(kept, unused, cv::DIST_L2);
    rms = rmsDistance(vp, cluster);
    return vp;
}
