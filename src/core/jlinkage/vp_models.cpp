#include "core/jlinkage/vp_models.h"

#include <cmath>

namespace {

struct V3 {
    float x, y, z;
};

inline V3 cross(const V3& a, const V3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

} // namespace

std::vector<float> vpFromSegments(const std::vector<SamplerPoint>& points, const std::vector<unsigned>& set)
{
    const auto& s1 = points[set[0]].coordinates();
    const auto& s2 = points[set[1]].coordinates();
    const V3 l1 = cross({s1[0], s1[1], 1.f}, {s1[2], s1[3], 1.f});
    const V3 l2 = cross({s2[0], s2[1], 1.f}, {s2[2], s2[3], 1.f});
    const V3 v = cross(l1, l2);
    const float n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / n, v.y / n, v.z / n};
}

float vpSegmentResidual(const std::vector<float>& model, const std::vector<float>& s)
{
    const V3 m{(s[0] + s[2]) / 2.f, (s[1] + s[3]) / 2.f, 1.f};
    const V3 l = cross(m, {model[0], model[1], model[2]});
    return std::fabs(l.x * s[0] + l.y * s[1] + l.z) / std::sqrt(l.x * l.x + l.y * l.y);
}
