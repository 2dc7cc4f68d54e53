#include "box_room.h"

#include "core/calib/manhattan_pose.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace synth {

namespace {

// in-plane axes (u, v) of the faces of normal axis 0, 1, 2
const int kFaceU[3] = {1, 0, 0};
const int kFaceV[3] = {2, 2, 1};

cv::Matx33d lookAt(const cv::Vec3d& forward)
{
    const cv::Vec3d f = cv::normalize(forward);
    const cv::Vec3d right = cv::normalize(f.cross(cv::Vec3d(0, 0, 1)));
    const cv::Vec3d down = f.cross(right);
    return cv::Matx33d(right[0], right[1], right[2], down[0], down[1], down[2], f[0], f[1], f[2]);
}

// Normalised undistorted coordinates of a distorted normalised point
// (fixed-point iteration of OpenCV's 5-coefficient model).
cv::Point2d undistortNormalised(double xd, double yd, const std::array<double, 5>& k)
{
    double x = xd, y = yd;
    for (int it = 0; it < 30; ++it) {
        const double r2 = x * x + y * y;
        const double radial = 1 + r2 * (k[0] + r2 * (k[1] + r2 * k[4]));
        const double dx = 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
        const double dy = k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
        x = (xd - dx) / radial;
        y = (yd - dy) / radial;
    }
    return {x, y};
}

// Liang-Barsky clip of p + s (q - p), s in [0, 1], to the box [x0, x1] x [y0, y1].
bool clipToBox(cv::Point2d& p, cv::Point2d& q, double x0, double y0, double x1, double y1)
{
    double s0 = 0, s1 = 1;
    const double dx = q.x - p.x, dy = q.y - p.y;
    const double pp[4] = {-dx, dx, -dy, dy};
    const double qq[4] = {p.x - x0, x1 - p.x, p.y - y0, y1 - p.y};
    for (int i = 0; i < 4; ++i) {
        if (pp[i] == 0) {
            if (qq[i] < 0)
                return false;
            continue;
        }
        const double r = qq[i] / pp[i];
        if (pp[i] < 0)
            s0 = std::max(s0, r);
        else
            s1 = std::min(s1, r);
    }
    if (s0 > s1)
        return false;
    const cv::Point2d a = p + s0 * cv::Point2d(dx, dy), b = p + s1 * cv::Point2d(dx, dy);
    p = a;
    q = b;
    return true;
}

} // namespace

BoxRoom makeBoxRoom(std::uint64_t seed)
{
    BoxRoom room;
    cv::RNG rng(seed);
    // opposite faces may look alike; neighbouring faces differ by 40 grey levels or more
    const double base[6] = {140, 140, 190, 190, 85, 232};
    for (int f = 0; f < 6; ++f)
        room.faceGrey[f] = base[f] + rng.uniform(-3.0, 3.0);
    for (int f = 0; f < 6; ++f) {
        const int a = f / 2, ua = kFaceU[a], va = kFaceV[a];
        const double eu = room.extent[ua], ev = room.extent[va];
        room.cellsU[f] = std::max(2, (int)std::lround(eu / 800.0));
        room.cellsV[f] = std::max(2, (int)std::lround(ev / 800.0));
        room.cellU[f] = eu / room.cellsU[f];
        room.cellV[f] = ev / room.cellsV[f];
        room.cellPanel[f].assign((size_t)room.cellsU[f] * room.cellsV[f], -1);
        for (int iv = 0; iv < room.cellsV[f]; ++iv)
            for (int iu = 0; iu < room.cellsU[f]; ++iu) {
                if (rng.uniform(0.0, 1.0) > 0.75)
                    continue;
                const double cu = room.cellU[f], cv_ = room.cellV[f];
                RoomPanel p;
                p.u0 = iu * cu + rng.uniform(0.1, 0.3) * cu;
                p.u1 = (iu + 1) * cu - rng.uniform(0.1, 0.3) * cu;
                p.v0 = iv * cv_ + rng.uniform(0.1, 0.3) * cv_;
                p.v1 = (iv + 1) * cv_ - rng.uniform(0.1, 0.3) * cv_;
                const double g = room.faceGrey[f];
                const double step = rng.uniform(45.0, 90.0);
                const bool up = (g + step <= 240) && (g - step < 15 || rng.uniform(0, 2) == 1);
                p.grey = up ? g + step : std::max(15.0, g - step);
                room.cellPanel[f][(size_t)iv * room.cellsU[f] + iu] = (int)room.panels[f].size();
                room.panels[f].push_back(p);
            }
    }
    return room;
}

double roomGrey(const BoxRoom& room, int face, const cv::Point3d& p)
{
    const int a = face / 2;
    const double c[3] = {p.x, p.y, p.z};
    const double u = c[kFaceU[a]], v = c[kFaceV[a]];
    const int iu = std::min(room.cellsU[face] - 1, std::max(0, (int)std::floor(u / room.cellU[face])));
    const int iv = std::min(room.cellsV[face] - 1, std::max(0, (int)std::floor(v / room.cellV[face])));
    const int k = room.cellPanel[face][(size_t)iv * room.cellsU[face] + iu];
    if (k >= 0) {
        const RoomPanel& pn = room.panels[face][(size_t)k];
        if (u >= pn.u0 && u < pn.u1 && v >= pn.v0 && v < pn.v1)
            return pn.grey;
    }
    return room.faceGrey[face];
}

void boxRoomPose(RoomView view, double levelPitchDeg, cv::Matx33d& R, cv::Vec3d& t)
{
    cv::Vec3d C, forward;
    if (view == RoomView::Corner) {
        C = cv::Vec3d(2600, 3400, 2500);
        forward = cv::Vec3d(0, 0, 300) - C;
    } else {
        C = cv::Vec3d(3000, 4000, 1500);
        const cv::Vec3d h = cv::normalize(cv::Vec3d(-3000, -3500, 0));
        const double p = levelPitchDeg * CV_PI / 180.0;
        forward = std::cos(p) * h + cv::Vec3d(0, 0, -std::sin(p));
    }
    R = lookAt(forward);
    t = -(R * C);
}

bool projectIdeal(const cv::Matx33d& K, const cv::Matx33d& R, const cv::Vec3d& t, const cv::Point3d& world,
                  cv::Point2d& pixel)
{
    const cv::Vec3d p = R * cv::Vec3d(world.x, world.y, world.z) + t;
    if (p[2] <= 1e-9)
        return false;
    const cv::Vec3d q = K * p;
    pixel = cv::Point2d(q[0] / q[2], q[1] / q[2]);
    return true;
}

cv::Point2d projectToImage(const BoxRoomScene& scene, const cv::Point3d& world)
{
    std::vector<cv::Point3d> in{world};
    std::vector<cv::Point2d> out;
    cv::Vec3d rvec;
    cv::Rodrigues(scene.R, rvec);
    cv::projectPoints(in, rvec, scene.t, cv::Mat(scene.K), scene.kc, out);
    return out[0];
}

std::vector<cv::Vec4f> visibleSegments(const std::vector<RoomEdge>& edges, const cv::Matx33d& K,
                                       const cv::Matx33d& R, const cv::Vec3d& t, cv::Size size,
                                       std::vector<int>* axes, double minLength)
{
    const double nearZ = 1.0;
    std::vector<cv::Vec4f> out;
    if (axes)
        axes->clear();
    for (const RoomEdge& e : edges) {
        cv::Vec3d a = R * cv::Vec3d(e.a.x, e.a.y, e.a.z) + t;
        cv::Vec3d b = R * cv::Vec3d(e.b.x, e.b.y, e.b.z) + t;
        if (a[2] < nearZ && b[2] < nearZ)
            continue;
        if (a[2] < nearZ)
            a = a + (b - a) * ((nearZ - a[2]) / (b[2] - a[2]));
        else if (b[2] < nearZ)
            b = b + (a - b) * ((nearZ - b[2]) / (a[2] - b[2]));
        const cv::Vec3d pa = K * a, pb = K * b;
        cv::Point2d p(pa[0] / pa[2], pa[1] / pa[2]), q(pb[0] / pb[2], pb[1] / pb[2]);
        if (!clipToBox(p, q, 0, 0, size.width - 1, size.height - 1))
            continue;
        if (cv::norm(q - p) < minLength)
            continue;
        out.emplace_back((float)p.x, (float)p.y, (float)q.x, (float)q.y);
        if (axes)
            axes->push_back(e.axis);
    }
    return out;
}

BoxRoomScene renderBoxRoom(const BoxRoomOptions& o)
{
    BoxRoomScene s;
    s.view = o.view;
    s.room = makeBoxRoom(o.seed);
    const BoxRoom& room = s.room;
    const int W = o.size.width, H = o.size.height;
    const double fx = o.focalOverWidth * W, fy = fx * o.fyOverFx;
    const double cx = 0.505 * (W - 1), cy = 0.495 * (H - 1);
    s.K = cv::Matx33d(fx, 0, cx, 0, fy, cy, 0, 0, 1);
    s.kc = cv::Mat::zeros(1, 5, CV_64F);
    if (o.distorted)
        for (int i = 0; i < 5; ++i)
            s.kc.at<double>(0, i) = o.distortion[(size_t)i];
    boxRoomPose(o.view, o.levelPitchDeg, s.R, s.t);
    s.centre = -(s.R.t() * s.t);

    for (int i = 0; i < 3; ++i) {
        s.directions[(size_t)i] = cv::Vec3d(s.R(0, i), s.R(1, i), s.R(2, i));
        cv::Vec3d v = s.K * s.directions[(size_t)i];
        v = cv::normalize(v);
        s.vanishingHomogeneous[(size_t)i] = v;
        s.vanishingFinite[(size_t)i] = std::abs(v[2]) > 1e-12;
        s.vanishingPoints[(size_t)i] = s.vanishingFinite[(size_t)i]
                                           ? cv::Point2d(v[0] / v[2], v[1] / v[2])
                                           : cv::Point2d(std::numeric_limits<double>::quiet_NaN(),
                                                         std::numeric_limits<double>::quiet_NaN());
    }

    // corners: bit 0 -> x, bit 1 -> y, bit 2 -> z
    const cv::Vec3d& ext = room.extent;
    for (int c = 0; c < 8; ++c)
        s.corners.emplace_back((c & 1) ? ext[0] : 0.0, (c & 2) ? ext[1] : 0.0, (c & 4) ? ext[2] : 0.0);
    for (int c = 0; c < 8; ++c)
        for (int axis = 0; axis < 3; ++axis)
            if (!(c & (1 << axis)))
                s.roomEdges.push_back({s.corners[(size_t)c], s.corners[(size_t)(c | (1 << axis))], axis});
    s.textureEdges = s.roomEdges;
    for (int f = 0; f < 6; ++f) {
        const int a = f / 2, ua = kFaceU[a], va = kFaceV[a];
        const double w = (f % 2) ? ext[a] : 0.0;
        auto point = [&](double u, double v) {
            double c[3];
            c[a] = w;
            c[ua] = u;
            c[va] = v;
            return cv::Point3d(c[0], c[1], c[2]);
        };
        for (const RoomPanel& p : room.panels[f]) {
            s.textureEdges.push_back({point(p.u0, p.v0), point(p.u1, p.v0), ua});
            s.textureEdges.push_back({point(p.u0, p.v1), point(p.u1, p.v1), ua});
            s.textureEdges.push_back({point(p.u0, p.v0), point(p.u0, p.v1), va});
            s.textureEdges.push_back({point(p.u1, p.v0), point(p.u1, p.v1), va});
        }
    }
    s.segments = visibleSegments(s.textureEdges, s.K, s.R, s.t, o.size, &s.segmentAxes);

    // rendering: every sample's ray is intersected with the box from inside
    const int n = std::max(1, o.supersample);
    const cv::Matx33d Rt = s.R.t();
    const cv::Vec3d C = s.centre;
    cv::Mat acc(H, W, CV_64F);
    cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            double* out = acc.ptr<double>(r);
            for (int c = 0; c < W; ++c) {
                double sum = 0;
                for (int sy = 0; sy < n; ++sy)
                    for (int sx = 0; sx < n; ++sx) {
                        const double u = c + (sx + 0.5) / n - 0.5, v = r + (sy + 0.5) / n - 0.5;
                        double xn = (u - cx) / fx, yn = (v - cy) / fy;
                        if (o.distorted) {
                            const cv::Point2d un = undistortNormalised(xn, yn, o.distortion);
                            xn = un.x;
                            yn = un.y;
                        }
                        const cv::Vec3d d = Rt * cv::Vec3d(xn, yn, 1.0);
                        double best = std::numeric_limits<double>::infinity();
                        int face = 0;
                        for (int i = 0; i < 3; ++i) {
                            if (d[i] > 0) {
                                const double h = (ext[i] - C[i]) / d[i];
                                if (h < best) {
                                    best = h;
                                    face = 2 * i + 1;
                                }
                            } else if (d[i] < 0) {
                                const double h = -C[i] / d[i];
                                if (h < best) {
                                    best = h;
                                    face = 2 * i;
                                }
                            }
                        }
                        const cv::Vec3d p = C + best * d;
                        sum += roomGrey(room, face, cv::Point3d(p[0], p[1], p[2]));
                    }
                out[c] = sum / (n * n);
            }
        }
    });
    if (o.noiseSigma > 0) {
        cv::Mat noise(H, W, CV_64F);
        cv::RNG rng(o.seed * 7919 + 17);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, o.noiseSigma);
        acc += noise;
    }
    acc.convertTo(s.image, CV_8U); // rounds and saturates
    return s;
}

double segmentRecall(const std::vector<cv::Vec4f>& truth, const std::vector<cv::Vec4f>& detected,
                     double maxDistPx, double maxAngleDeg)
{
    struct Seg {
        cv::Point2d p, d; // start, unit direction
        double len, angle;
        double x0, y0, x1, y1; // bounding box
    };
    auto make = [](const cv::Vec4f& v) {
        Seg s;
        s.p = cv::Point2d(v[0], v[1]);
        const cv::Point2d q(v[2], v[3]);
        s.len = cv::norm(q - s.p);
        s.d = s.len > 0 ? (q - s.p) * (1.0 / s.len) : cv::Point2d(1, 0);
        s.angle = std::atan2(s.d.y, s.d.x);
        if (s.angle < 0)
            s.angle += CV_PI;
        s.x0 = std::min(s.p.x, q.x);
        s.x1 = std::max(s.p.x, q.x);
        s.y0 = std::min(s.p.y, q.y);
        s.y1 = std::max(s.p.y, q.y);
        return s;
    };
    std::vector<Seg> det;
    det.reserve(detected.size());
    for (const auto& v : detected)
        det.push_back(make(v));
    const double maxAngle = maxAngleDeg * CV_PI / 180.0;
    double total = 0, covered = 0;
    std::vector<const Seg*> cand;
    for (const auto& v : truth) {
        const Seg t = make(v);
        if (t.len <= 0)
            continue;
        total += t.len;
        cand.clear();
        for (const Seg& d : det) {
            double da = std::abs(d.angle - t.angle);
            da = std::min(da, CV_PI - da);
            if (da > maxAngle)
                continue;
            if (d.x1 + maxDistPx < t.x0 || d.x0 - maxDistPx > t.x1 || d.y1 + maxDistPx < t.y0 ||
                d.y0 - maxDistPx > t.y1)
                continue;
            cand.push_back(&d);
        }
        if (cand.empty())
            continue;
        const int ns = std::max(1, (int)std::ceil(t.len / 0.5));
        for (int i = 0; i < ns; ++i) {
            const cv::Point2d x = t.p + t.d * ((i + 0.5) * t.len / ns);
            for (const Seg* d : cand) {
                const cv::Point2d w = x - d->p;
                const double along = w.dot(d->d);
                if (along < -maxDistPx || along > d->len + maxDistPx)
                    continue;
                if (std::abs(w.x * d->d.y - w.y * d->d.x) <= maxDistPx) {
                    covered += t.len / ns;
                    break;
                }
            }
        }
    }
    return total > 0 ? covered / total : 0.0;
}

cv::Mat renderGreyFunction(cv::Size size, const std::function<double(double x, double y)>& grey,
                           int supersample)
{
    const int n = std::max(1, supersample);
    cv::Mat img(size, CV_8UC1);
    for (int r = 0; r < size.height; ++r)
        for (int c = 0; c < size.width; ++c) {
            double sum = 0;
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i)
                    sum += grey(c + (i + 0.5) / n - 0.5, r + (j + 0.5) / n - 0.5);
            img.at<uchar>(r, c) = cv::saturate_cast<uchar>(sum / (n * n));
        }
    return img;
}

std::vector<cv::Vec4f> noisySegments(const BoxRoomScene& scene, double sigma, unsigned seed,
                                     std::vector<int>* axes, double minLength)
{
    std::mt19937 rng(seed);
    std::normal_distribution<float> n(0.f, float(sigma));
    std::bernoulli_distribution flip(0.5);
    std::vector<cv::Vec4f> out;
    for (std::size_t i = 0; i < scene.segments.size(); ++i) {
        cv::Vec4f s = scene.segments[i];
        if (std::hypot(s[2] - s[0], s[3] - s[1]) < minLength)
            continue;
        for (int k = 0; k < 4; ++k)
            s[k] += n(rng);
        if (flip(rng))
            s = cv::Vec4f(s[2], s[3], s[0], s[1]);
        out.push_back(s);
        if (axes)
            axes->push_back(scene.segmentAxes[i]);
    }
    return out;
}

double lineAngleDeg(const cv::Vec3d& a, const cv::Vec3d& b)
{
    return std::min(angleDeg(a, b), angleDeg(a, -b));
}

} // namespace synth
