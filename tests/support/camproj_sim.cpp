#include "camproj_sim.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <stdexcept>

namespace synth {

// ---- Gray code patterns ----------------------------------------------------

int grayBits(int n)
{
    if (n <= 2)
        return 1;
    int c = 2;
    while ((1LL << c) < n)
        ++c;
    return c;
}

int grayOffset(int n)
{
    return int(((1LL << grayBits(n)) - n) / 2);
}

int grayPatternCount(cv::Size projector)
{
    return 2 + 2 * (grayBits(projector.width) + grayBits(projector.height));
}

cv::Mat grayPattern(cv::Size projector, int number)
{
    if (projector.width <= 0 || projector.height <= 0 || number < 0 || number >= grayPatternCount(projector))
        throw std::out_of_range("synth::grayPattern: no such image in the sequence");
    if (number == 0)
        return cv::Mat(projector, CV_8U, cv::Scalar(255));
    if (number == 1)
        return cv::Mat(projector, CV_8U, cv::Scalar(0));
    const int colBits = grayBits(projector.width);
    const int k = (number - 2) / 2;
    const bool inverse = (number - 2) % 2 == 1;
    const bool columns = k < colBits;
    const int bits = columns ? colBits : grayBits(projector.height);
    const int bit = bits - 1 - (columns ? k : k - colBits);
    const int n = columns ? projector.width : projector.height;
    const int offset = grayOffset(n);

    // the stripe profile along the coded direction
    std::vector<uchar> profile((size_t)n);
    for (int i = 0; i < n; ++i) {
        const unsigned code = unsigned(i + offset);
        const unsigned gray = code ^ (code >> 1);
        const bool on = ((gray >> bit) & 1u) != 0;
        profile[(size_t)i] = (on != inverse) ? 255 : 0;
    }
    cv::Mat img(projector, CV_8U);
    for (int r = 0; r < projector.height; ++r) {
        uchar* row = img.ptr<uchar>(r);
        if (columns)
            std::copy(profile.begin(), profile.end(), row);
        else
            std::fill(row, row + projector.width, profile[(size_t)r]);
    }
    return img;
}

// ---- Rig ----------------------------------------------------------------------

double CamProjRig::baseline() const
{
    // projector centre in camera coordinates: -R^T t
    const cv::Vec3d c = -(R_proj_cam.t() * t_proj_cam);
    return cv::norm(c);
}

CamProjRig makeCamProjRig(cv::Size cameraSize, cv::Size projectorSize, double baselineMm, double cameraFocal)
{
    CamProjRig rig;
    const double fc = cameraFocal * cameraSize.width;
    rig.camera.size = cameraSize;
    rig.camera.K = cv::Matx33d(fc, 0, (cameraSize.width - 1) / 2.0 + 0.013 * cameraSize.width, 0, fc * 1.0015,
                               (cameraSize.height - 1) / 2.0 - 0.009 * cameraSize.height, 0, 0, 1);
    rig.camera.kc = (cv::Mat_<double>(1, 5) << -0.11, 0.09, 0.0006, -0.0004, 0);

    const double fp = 1.45 * projectorSize.width;
    rig.projector.size = projectorSize;
    rig.projector.K = cv::Matx33d(fp, 0, (projectorSize.width - 1) / 2.0 + 0.006 * projectorSize.width, 0,
                                  fp * 1.002, 0.62 * (projectorSize.height - 1), 0, 0, 1);
    rig.projector.kc = (cv::Mat_<double>(1, 5) << 0.03, -0.06, 0, 0, 0);

    // Projector centre C (camera coordinates) to the right and a little below
    // and behind; it looks at a point on the camera's axis at 1000 mm.
    const cv::Vec3d C = baselineMm * cv::normalize(cv::Vec3d(0.985, 0.12, -0.12));
    const cv::Vec3d target(0, 0, 1000);
    const cv::Vec3d z = cv::normalize(target - C);
    cv::Vec3d x = cv::normalize(cv::Vec3d(1, 0, 0) - z * z[0]);
    cv::Matx33d R_cam_proj; // columns: projector axes in camera coordinates
    const cv::Vec3d y = z.cross(x);
    for (int i = 0; i < 3; ++i) {
        R_cam_proj(i, 0) = x[i];
        R_cam_proj(i, 1) = y[i];
        R_cam_proj(i, 2) = z[i];
    }
    // a slight roll so that no axis of the rig is exactly aligned
    cv::Matx33d roll;
    cv::Rodrigues(cv::Vec3d(0, 0, 0.02), roll);
    R_cam_proj = R_cam_proj * roll;
    rig.R_proj_cam = R_cam_proj.t();
    rig.t_proj_cam = -(rig.R_proj_cam * C);
    return rig;
}

// ---- Geometry ------------------------------------------------------------------

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Undistorted normalised camera coordinates of every pixel centre (CV_64FC2,
// NaN where the lens model cannot be inverted). Cached per camera: the table
// of a 12 MP camera takes seconds to build.
cv::Mat rayTable(const Camera& cam)
{
    struct Entry {
        cv::Size size;
        cv::Matx33d K;
        std::vector<double> kc;
        cv::Mat table;
    };
    static std::mutex mutex;
    static std::vector<Entry> cache;
    std::vector<double> kc;
    if (!cam.kc.empty())
        cam.kc.reshape(1, 1).convertTo(kc, CV_64F);
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& e : cache)
            if (e.size == cam.size && e.K == cam.K && e.kc == kc)
                return e.table;
    }
    const int W = cam.size.width, H = cam.size.height;
    cv::Mat table(H, W, CV_64FC2);
    cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
        std::vector<cv::Point2d> px((size_t)W), norm, back;
        std::vector<cv::Point3d> rays((size_t)W);
        for (int y = rows.start; y < rows.end; ++y) {
            for (int x = 0; x < W; ++x)
                px[(size_t)x] = cv::Point2d(x, y);
            cv::undistortPoints(
                px, norm, cv::Mat(cam.K), cam.kc, cv::noArray(), cv::noArray(),
                cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-14));
            for (int x = 0; x < W; ++x)
                rays[(size_t)x] = cv::Point3d(norm[(size_t)x].x, norm[(size_t)x].y, 1.0);
            cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv::Mat(cam.K), cam.kc, back);
            auto* out = table.ptr<cv::Vec2d>(y);
            for (int x = 0; x < W; ++x) {
                const bool ok = std::hypot(back[(size_t)x].x - x, back[(size_t)x].y - y) < 1e-4;
                out[x] = ok ? cv::Vec2d(norm[(size_t)x].x, norm[(size_t)x].y)
                            : cv::Vec2d(std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::quiet_NaN());
            }
        }
    });
    std::lock_guard<std::mutex> lock(mutex);
    if (cache.size() >= 4)
        cache.erase(cache.begin());
    cache.push_back({cam.size, cam.K, kc, table});
    return table;
}

// Forward lens model of OpenCV (k1, k2, p1, p2, k3).
cv::Point2d distortAndProject(const Camera& c, const double* kc, double a, double b)
{
    const double r2 = a * a + b * b;
    const double radial = 1 + r2 * (kc[0] + r2 * (kc[1] + r2 * kc[4]));
    const double ad = a * radial + 2 * kc[2] * a * b + kc[3] * (r2 + 2 * a * a);
    const double bd = b * radial + kc[2] * (r2 + 2 * b * b) + 2 * kc[3] * a * b;
    return {c.K(0, 0) * ad + c.K(0, 1) * bd + c.K(0, 2), c.K(1, 1) * bd + c.K(1, 2)};
}

std::vector<double> fiveCoefficients(const cv::Mat& kc)
{
    std::vector<double> v;
    if (!kc.empty())
        kc.reshape(1, 1).convertTo(v, CV_64F);
    if (v.size() > 5)
        for (size_t i = 5; i < v.size(); ++i)
            if (v[i] != 0)
                throw std::invalid_argument(
                    "synth: the simulated rig models at most five distortion coefficients");
    v.resize(5, 0.0);
    return v;
}

struct BoardExtent {
    double x0, y0, x1, y1;
};

BoardExtent boardExtent(const CamProjScene& s)
{
    const double b = s.borderSquares * s.square;
    return {-s.square - b, -s.square - b, s.pattern.width * s.square + b, s.pattern.height * s.square + b};
}

View projectorView(const CamProjRig& rig, const View& view)
{
    cv::Matx33d R;
    cv::Rodrigues(view.rvec, R);
    View p;
    cv::Rodrigues(rig.R_proj_cam * R, p.rvec);
    p.tvec = rig.R_proj_cam * view.tvec + rig.t_proj_cam;
    return p;
}

std::vector<cv::Point3d> boardOutline(const CamProjScene& s)
{
    const BoardExtent e = boardExtent(s);
    std::vector<cv::Point3d> outline;
    for (int k = 0; k <= 10; ++k) {
        const double a = k / 10.0;
        outline.emplace_back(e.x0 + a * (e.x1 - e.x0), e.y0, 0);
        outline.emplace_back(e.x0 + a * (e.x1 - e.x0), e.y1, 0);
        outline.emplace_back(e.x0, e.y0 + a * (e.y1 - e.y0), 0);
        outline.emplace_back(e.x1, e.y0 + a * (e.y1 - e.y0), 0);
    }
    return outline;
}

bool inside(const std::vector<cv::Point2d>& pts, cv::Size size, int margin)
{
    for (const auto& p : pts)
        if (!(p.x >= margin && p.y >= margin && p.x <= size.width - 1 - margin &&
              p.y <= size.height - 1 - margin))
            return false;
    return true;
}

} // namespace

std::vector<View> camProjViews(const CamProjRig& rig, const CamProjScene& scene, int n, std::uint64_t seed,
                               int marginPx)
{
    ViewOptions o;
    o.maxTiltDeg = 30;
    o.minFill = 0.45;
    o.maxFill = 0.75;
    o.marginPx = marginPx;
    o.borderSquares = scene.borderSquares;
    const auto outline = boardOutline(scene);
    const cv::Vec3d C = -(rig.R_proj_cam.t() * rig.t_proj_cam);
    std::vector<View> views;
    for (std::uint64_t attempt = 0; (int)views.size() < n; ++attempt) {
        if (attempt > 20000ull * (std::uint64_t)n)
            throw std::runtime_error("synth::camProjViews: cannot place the board in both views");
        const View v =
            boardViews(rig.camera, scene.pattern, scene.square, 1, seed * 100003ull + attempt, o)[0];
        const View p = projectorView(rig, v);
        std::vector<cv::Point2d> img;
        cv::projectPoints(outline, p.rvec, p.tvec, cv::Mat(rig.projector.K), rig.projector.kc, img);
        if (!inside(img, rig.projector.size, marginPx))
            continue;
        // every outline point in front of the projector and the board facing it
        cv::Matx33d R;
        cv::Rodrigues(v.rvec, R);
        const cv::Vec3d normal(R(0, 2), R(1, 2), R(2, 2));
        const double facingCam = normal.dot(-v.tvec), facingProj = normal.dot(C - v.tvec);
        if (facingCam * facingProj <= 0 || std::abs(facingProj) < 0.2 * cv::norm(C - v.tvec))
            continue;
        bool front = true;
        cv::Matx33d Rp;
        cv::Rodrigues(p.rvec, Rp);
        for (const auto& q : outline)
            front = front && (Rp * cv::Vec3d(q.x, q.y, q.z) + p.tvec)[2] > 0;
        if (front)
            views.push_back(v);
    }
    return views;
}

CamProjSetTruth camProjTruth(const CamProjRig& rig, const CamProjScene& scene, const View& view)
{
    CamProjSetTruth t;
    t.view = view;
    t.objectPoints = boardPoints(scene.pattern, scene.square);
    t.cameraCorners = projectBoard(rig.camera, scene.pattern, scene.square, view);
    t.projectorCorners = projectBoard(rig.projector, scene.pattern, scene.square, projectorView(rig, view));

    const cv::Mat rays = rayTable(rig.camera);
    const int W = rig.camera.size.width, H = rig.camera.size.height;
    t.projectorCoords.create(H, W, CV_32FC2);
    t.boardMask.create(H, W, CV_8U);

    cv::Matx33d Rb;
    cv::Rodrigues(view.rvec, Rb);
    const cv::Vec3d nb(Rb(0, 2), Rb(1, 2), Rb(2, 2)), tb = view.tvec;
    const double planeD = nb.dot(tb);
    const BoardExtent ext = boardExtent(scene);
    const cv::Matx33d Rp = rig.R_proj_cam;
    const cv::Vec3d tp = rig.t_proj_cam, C = -(Rp.t() * tp);
    const std::vector<double> kc = fiveCoefficients(rig.projector.kc);
    const cv::Size ps = rig.projector.size;

    // Beyond this normalised radius the forward lens model may fold back onto
    // the image; no projector light leaves there.
    double maxR2 = 0;
    {
        std::vector<cv::Point2d> corners = {{-0.5, -0.5},
                                            {ps.width - 0.5, -0.5},
                                            {-0.5, ps.height - 0.5},
                                            {ps.width - 0.5, ps.height - 0.5}},
                                 norm;
        cv::undistortPoints(corners, norm, cv::Mat(rig.projector.K), rig.projector.kc);
        for (const auto& q : norm)
            maxR2 = std::max(maxR2, q.x * q.x + q.y * q.y);
        maxR2 *= 1.5;
    }

    auto onBoard = [&](const cv::Vec3d& X) {
        const cv::Vec3d local = Rb.t() * (X - tb);
        return local[0] >= ext.x0 && local[0] <= ext.x1 && local[1] >= ext.y0 && local[1] <= ext.y1;
    };

    cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rowRange) {
        for (int y = rowRange.start; y < rowRange.end; ++y) {
            const auto* ray = rays.ptr<cv::Vec2d>(y);
            auto* out = t.projectorCoords.ptr<cv::Vec2f>(y);
            uchar* mask = t.boardMask.ptr<uchar>(y);
            for (int x = 0; x < W; ++x) {
                out[x] = cv::Vec2f(kNaN, kNaN);
                mask[x] = 0;
                if (std::isnan(ray[x][0]))
                    continue;
                const cv::Vec3d d(ray[x][0], ray[x][1], 1.0);
                cv::Vec3d X;
                bool board = false;
                const double den = nb.dot(d);
                if (std::abs(den) > 1e-12) {
                    const double s = planeD / den;
                    if (s > 0) {
                        X = s * d;
                        board = onBoard(X);
                    }
                }
                if (!board) {
                    X = scene.wallDistanceMm * d;
                    // in the board's shadow when the projector's ray crosses the board first
                    const cv::Vec3d dir = X - C;
                    const double dd = nb.dot(dir);
                    if (std::abs(dd) > 1e-12) {
                        const double lambda = (planeD - nb.dot(C)) / dd;
                        if (lambda > 0 && lambda < 1 && onBoard(C + lambda * dir))
                            continue;
                    }
                } else if (nb.dot(-X) * nb.dot(C - X) <= 0) {
                    continue; // the board turns its back to the projector
                }
                const cv::Vec3d Xp = Rp * X + tp;
                if (Xp[2] <= 0)
                    continue;
                const double a = Xp[0] / Xp[2], b = Xp[1] / Xp[2];
                if (a * a + b * b > maxR2)
                    continue;
                const cv::Point2d q = distortAndProject(rig.projector, kc.data(), a, b);
                if (!(q.x >= -0.5 && q.x < ps.width - 0.5 && q.y >= -0.5 && q.y < ps.height - 0.5))
                    continue;
                out[x] = cv::Vec2f(float(q.x), float(q.y));
                mask[x] = board ? 255 : 0;
            }
        }
    });
    return t;
}

std::vector<cv::Mat> renderCamProjSet(const CamProjRig& rig, const CamProjScene& scene, const View& view,
                                      CamProjSetTruth* truthOut, const std::vector<cv::Mat>& projectedIn)
{
    std::vector<cv::Mat> projected = projectedIn;
    if (projected.empty())
        for (int k = 0; k < grayPatternCount(rig.projector.size); ++k)
            projected.push_back(grayPattern(rig.projector.size, k));
    for (const auto& p : projected)
        if (p.type() != CV_8UC1 || p.size() != rig.projector.size)
            throw std::invalid_argument(
                "synth::renderCamProjSet: projector images must be 8-bit grey of the projector size");

    CamProjSetTruth truth = camProjTruth(rig, scene, view);
    const int W = rig.camera.size.width, H = rig.camera.size.height;
    const CamProjLight& L = scene.light;

    RenderOptions ro;
    ro.supersample = scene.supersample;
    ro.black = 255 * scene.albedoBlack;
    ro.white = 255 * scene.albedoWhite;
    ro.background = 255 * scene.albedoWall;
    ro.borderSquares = scene.borderSquares;
    cv::Mat albedo;
    renderChessboard(rig.camera, scene.pattern, scene.square, view, ro).convertTo(albedo, CV_32F, 1.0 / 255);

    // scattering spread in camera pixels at the board's centre
    cv::Matx33d Rb;
    cv::Rodrigues(view.rvec, Rb);
    const cv::Vec3d centre = Rb * cv::Vec3d((scene.pattern.width - 1) * scene.square / 2,
                                            (scene.pattern.height - 1) * scene.square / 2, 0) +
                             view.tvec;
    const double scatterSigmaPx = L.scatterSigmaMm * rig.camera.K(0, 0) / centre[2];

    // Projector pixels are sharp squares; each camera pixel integrates the
    // projector image over its footprint with lightSamples x lightSamples
    // samples, placed through the local derivative of the projector
    // coordinates (central differences of the truth map).
    const int pw = rig.projector.size.width, ph = rig.projector.size.height;
    // An odd count: with an even one, half the samples of every pixel on a
    // stripe edge would fall on each side, a tie no capture could show.
    const int ns = std::max(1, scene.lightSamples) | 1;
    const cv::Mat& Q = truth.projectorCoords;
    auto derivative = [&](int x, int y, int dx, int dy) {
        const cv::Vec2f c = Q.at<cv::Vec2f>(y, x);
        const bool hasNext = x + dx < W && y + dy < H && !std::isnan(Q.at<cv::Vec2f>(y + dy, x + dx)[0]);
        const bool hasPrev = x - dx >= 0 && y - dy >= 0 && !std::isnan(Q.at<cv::Vec2f>(y - dy, x - dx)[0]);
        if (hasNext && hasPrev)
            return cv::Vec2f((Q.at<cv::Vec2f>(y + dy, x + dx) - Q.at<cv::Vec2f>(y - dy, x - dx)) * 0.5f);
        if (hasNext)
            return cv::Vec2f(Q.at<cv::Vec2f>(y + dy, x + dx) - c);
        if (hasPrev)
            return cv::Vec2f(c - Q.at<cv::Vec2f>(y - dy, x - dx));
        return cv::Vec2f(0, 0);
    };

    std::vector<cv::Mat> images;
    images.reserve(projected.size());
    cv::Mat I(H, W, CV_32F), blurred, img(H, W, CV_32F);
    const float gain = float(L.gain), black = float(L.projectorBlack);
    const float toUnit = 1.f / (255.f * ns * ns);
    for (size_t k = 0; k < projected.size(); ++k) {
        CV_Assert(projected[k].isContinuous());
        const uchar* P = projected[k].ptr<uchar>();
        cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                const auto* q = Q.ptr<cv::Vec2f>(y);
                float* out = I.ptr<float>(y);
                for (int x = 0; x < W; ++x) {
                    if (std::isnan(q[x][0])) {
                        out[x] = 0;
                        continue;
                    }
                    const cv::Vec2f jx = derivative(x, y, 1, 0), jy = derivative(x, y, 0, 1);
                    int sum = 0;
                    for (int sy = 0; sy < ns; ++sy) {
                        const float oy = (sy + 0.5f) / ns - 0.5f;
                        for (int sx = 0; sx < ns; ++sx) {
                            const float ox = (sx + 0.5f) / ns - 0.5f;
                            const float px = q[x][0] + ox * jx[0] + oy * jy[0];
                            const float py = q[x][1] + ox * jx[1] + oy * jy[1];
                            const int ix = std::min(std::max(int(std::lround(px)), 0), pw - 1);
                            const int iy = std::min(std::max(int(std::lround(py)), 0), ph - 1);
                            sum += P[(size_t)iy * pw + ix];
                        }
                    }
                    out[x] = gain * (black + (1 - black) * float(sum) * toUnit);
                }
            }
        });
        const float offset = float(L.interreflection * cv::mean(I)[0] + L.ambient);
        const bool scatter = L.scatter > 0 && scatterSigmaPx > 0;
        if (scatter)
            cv::GaussianBlur(I, blurred, cv::Size(), scatterSigmaPx, scatterSigmaPx, cv::BORDER_REPLICATE);
        const float s = scatter ? float(L.scatter) : 0.f;
        cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                const float* a = albedo.ptr<float>(y);
                const float* direct = I.ptr<float>(y);
                const float* spread = scatter ? blurred.ptr<float>(y) : direct;
                float* out = img.ptr<float>(y);
                for (int x = 0; x < W; ++x)
                    out[x] = a[x] * ((1 - s) * direct[x] + s * spread[x] + offset);
            }
        });
        if (L.blurSigma > 0)
            cv::GaussianBlur(img, img, cv::Size(), L.blurSigma, L.blurSigma, cv::BORDER_REPLICATE);
        // noise from one generator per band of rows, seeded by image and band,
        // so that the result does not depend on the thread count
        const std::uint64_t imageSeed =
            scene.seed * 0x9E3779B97F4A7C15ull + std::uint64_t(k) * 7919u +
            std::uint64_t(std::llround(std::abs(view.tvec[0]) * 1000 + view.tvec[2] * 10));
        const int band = 64;
        cv::Mat out(H, W, CV_8U);
        cv::parallel_for_(cv::Range(0, (H + band - 1) / band), [&](const cv::Range& bands) {
            std::vector<float> noise((size_t)W);
            for (int b = bands.start; b < bands.end; ++b) {
                cv::RNG rng(imageSeed ^ (std::uint64_t(b + 1) * 0xD1B54A32D192ED03ull));
                for (int y = b * band; y < std::min(H, (b + 1) * band); ++y) {
                    const float* in = img.ptr<float>(y);
                    uchar* o = out.ptr<uchar>(y);
                    if (L.noiseSigma > 0)
                        rng.fill(noise, cv::RNG::NORMAL, 0.0, L.noiseSigma);
                    for (int x = 0; x < W; ++x)
                        o[x] = cv::saturate_cast<uchar>(in[x] + (L.noiseSigma > 0 ? noise[(size_t)x] : 0.f));
                }
            }
        });
        images.push_back(out);
    }
    if (truthOut)
        *truthOut = std::move(truth);
    return images;
}

CamProjTruth writeCamProjSets(const std::string& folder, const CamProjRig& rig, const CamProjScene& scene,
                              const std::vector<View>& views)
{
    namespace fs = std::filesystem;
    CamProjTruth result;
    result.rig = rig;
    result.scene = scene;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder))
        throw std::runtime_error("synth::writeCamProjSets: cannot create " + folder);
    const std::vector<int> params = {cv::IMWRITE_PNG_COMPRESSION, 1};
    for (size_t i = 0; i < views.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "pose%02zu", i);
        const std::string sub = (fs::path(folder) / name).string();
        fs::create_directories(sub, ec);
        if (!fs::is_directory(sub))
            throw std::runtime_error("synth::writeCamProjSets: cannot create " + sub);
        CamProjSetTruth truth;
        const auto images = renderCamProjSet(rig, scene, views[i], &truth);
        // PNG encoding dominates; the files are written in parallel
        std::vector<uchar> written(images.size(), 0);
        cv::parallel_for_(cv::Range(0, (int)images.size()), [&](const cv::Range& r) {
            for (int k = r.start; k < r.end; ++k) {
                char file[32];
                std::snprintf(file, sizeof file, "%02d.png", k);
                try {
                    written[(size_t)k] =
                        cv::imwrite((fs::path(sub) / file).string(), images[(size_t)k], params);
                } catch (const cv::Exception&) {
                    written[(size_t)k] = 0;
                }
            }
        });
        for (size_t k = 0; k < images.size(); ++k)
            if (!written[k])
                throw std::runtime_error("synth::writeCamProjSets: cannot write image " + std::to_string(k) +
                                         " into " + sub);
        result.setFolders.push_back(sub);
        result.sets.push_back(std::move(truth));
    }
    return result;
}

} // namespace synth
