#include "core/geometry/vanishing_points.h"

#include <opencv2/imgproc.hpp>

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

    std::vector<cv::Point3f> lines;
    lines.reserve(used.size());
    for (const auto& s : used) {
        // homogeneous lines as they come, not normalised
        lines.emplace_back(s[1] - s[3], s[2] - s[0], s[0] * s[3] - s[2] * s[1]);
    }
    cv::Vec6f fit;
    cv::fitLine(lines, fit, distType, 0, 0.01, 0.01);

    // The fitted line lies in the plane {l : l . v = 0} of the lines through
    // the vanishing point v, so v is normal to its direction and to its point.
    const cv::Vec3d dir(fit[0], fit[1], fit[2]), point(fit[3], fit[4], fit[5]);
    const cv::Point2f vp = imagePoint(dir.cross(point), segments, func);
    rms = rmsDistance(vp, segments);
    return vp;
}

cv::Point2f vanishingPointSvd(std::vector<cv::Vec4f> segments, float& rms)
{
    const char* func = "vanishingPointSvd";
    const std::vector<cv::Vec4f> used = usableSegments(segments, func);

    // sum of length^2 * l l^T over the unit-norm lines
    cv::Matx33d M = cv::Matx33d::zeros();
    for (const auto& s : used) {
        const cv::Vec3d l = lineThrough(s);
        const double n = cv::norm(l);
        if (n == 0)
            continue; // cannot happen for a segment of positive length
        const cv::Vec3d u = l / n;
        const double w2 =
            (double(s[2]) - s[0]) * (double(s[2]) - s[0]) + (double(s[3]) - s[1]) * (double(s[3]) - s[1]);
        M += w2 * (u * u.t());
    }
    cv::Mat W, U, Vt;
    cv::SVD::compute(cv::Mat(M), W, U, Vt);
    const cv::Vec3d v(U.at<double>(0, 2), U.at<double>(1, 2), U.at<double>(2, 2));
    const cv::Point2f vp = imagePoint(v, segments, func);
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
