#include "synthetic.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace synth {

std::vector<cv::Point3f> boardPoints(cv::Size pattern, double square)
{
    std::vector<cv::Point3f> pts;
    pts.reserve((size_t)pattern.area());
    for (int j = 0; j < pattern.height; ++j)
        for (int i = 0; i < pattern.width; ++i)
            pts.emplace_back(float(i * square), float(j * square), 0.f);
    return pts;
}

static std::vector<cv::Point2f> projectPoints3d(const Camera& cam, const std::vector<cv::Point3d>& pts,
                                                const View& view)
{
    std::vector<cv::Point2d> img;
    cv::projectPoints(pts, view.rvec, view.tvec, cv::Mat(cam.K), cam.kc, img);
    std::vector<cv::Point2f> out(img.begin(), img.end());
    return out;
}

std::vector<cv::Point2f> projectBoard(const Camera& cam, cv::Size pattern, double square, const View& view)
{
    std::vector<cv::Point3d> pts;
    for (const auto& p : boardPoints(pattern, square))
        pts.emplace_back(p.x, p.y, p.z);
    // project in double precision from exact (not float-rounded) positions
    for (int j = 0, k = 0; j < pattern.height; ++j)
        for (int i = 0; i < pattern.width; ++i, ++k)
            pts[k] = cv::Point3d(i * square, j * square, 0);
    return projectPoints3d(cam, pts, view);
}

static bool insideImage(const Camera& cam, const std::vector<cv::Point2f>& pts, int margin)
{
    for (const auto& p : pts)
        if (!(p.x >= margin && p.y >= margin && p.x <= cam.size.width - 1 - margin &&
              p.y <= cam.size.height - 1 - margin))
            return false;
    return true;
}

std::vector<View> boardViews(const Camera& cam, cv::Size pattern, double square, int n, std::uint64_t seed,
                             const ViewOptions& o)
{
    cv::RNG rng(seed);
    const double fx = cam.K(0, 0);
    const double boardW = (pattern.width + 1 + 2 * o.borderSquares) * square;
    const cv::Vec3d centre((pattern.width - 1) * square / 2, (pattern.height - 1) * square / 2, 0);

    // outline of the board with its border, which must stay inside the image
    std::vector<cv::Point3d> outline;
    const double b = (1 + o.borderSquares) * square;
    const double x0 = -b, y0 = -b, x1 = (pattern.width - 1) * square + b,
                 y1 = (pattern.height - 1) * square + b;
    for (int k = 0; k <= 10; ++k) {
        const double a = k / 10.0;
        outline.emplace_back(x0 + a * (x1 - x0), y0, 0);
        outline.emplace_back(x0 + a * (x1 - x0), y1, 0);
        outline.emplace_back(x0, y0 + a * (y1 - y0), 0);
        outline.emplace_back(x1, y0 + a * (y1 - y0), 0);
    }

    std::vector<View> views;
    for (int attempt = 0; (int)views.size() < n; ++attempt) {
        if (attempt > 10000 * n)
            throw std::runtime_error("synth::boardViews: cannot place the board inside the image");
        const double tilt = o.maxTiltDeg * CV_PI / 180.0;
        const double ax = rng.uniform(-tilt, tilt), ay = rng.uniform(-tilt, tilt);
        const double az = rng.uniform(-0.35, 0.35);
        cv::Matx33d R;
        cv::Rodrigues(cv::Vec3d(ax, ay, 0), R);
        cv::Matx33d Rz;
        cv::Rodrigues(cv::Vec3d(0, 0, az), Rz);
        R = R * Rz;
        const double fill = rng.uniform(o.minFill, o.maxFill);
        const double d = fx * boardW / (fill * cam.size.width);
        const double ox = rng.uniform(-0.15, 0.15) * d * cam.size.width / fx;
        const double oy = rng.uniform(-0.15, 0.15) * d * cam.size.height / fx;
        const cv::Vec3d t = cv::Vec3d(ox, oy, d) - R * centre;
        View v;
        cv::Rodrigues(R, v.rvec);
        v.tvec = t;
        if (!insideImage(cam, projectBoard(cam, pattern, square, v), o.marginPx) ||
            !insideImage(cam, projectPoints3d(cam, outline, v), 1))
            continue;
        views.push_back(v);
    }
    return views;
}

View centredView(const Camera& cam, cv::Size pattern, double square, double rollDeg, double tiltXDeg,
                 double tiltYDeg, double fill)
{
    const double d2r = CV_PI / 180.0;
    cv::Matx33d Rt, Rz;
    cv::Rodrigues(cv::Vec3d(tiltXDeg * d2r, tiltYDeg * d2r, 0), Rt);
    cv::Rodrigues(cv::Vec3d(0, 0, rollDeg * d2r), Rz);
    const cv::Matx33d R = Rt * Rz;
    const cv::Vec3d centre((pattern.width - 1) * square / 2, (pattern.height - 1) * square / 2, 0);
    const double diag = std::hypot((pattern.width + 1) * square, (pattern.height + 1) * square);
    const double dist = cam.K(0, 0) * diag / (fill * std::min(cam.size.width, cam.size.height));
    View v;
    cv::Rodrigues(R, v.rvec);
    v.tvec = cv::Vec3d(0, 0, dist) - R * centre;
    return v;
}

Camera makeCamera(cv::Size size, double f, const std::vector<double>& kc)
{
    Camera cam;
    cam.size = size;
    cam.K = cv::Matx33d(f, 0, (size.width - 1) / 2.0 + 3.5, 0, f, (size.height - 1) / 2.0 - 2.25, 0, 0, 1);
    if (!kc.empty())
        cam.kc = cv::Mat(kc, true).reshape(1, 1);
    return cam;
}

namespace {

// Undistorted normalised coordinates at the pixel-corner lattice of a
// camera; samples inside a pixel interpolate them bilinearly (the map is
// smooth at that scale). Where the fixed-point undistortion did not converge
// (far outside the lens model's valid region) the lattice point is marked
// invalid. The grid depends on the camera only, so it is computed once per
// camera and kept for the next image.
struct LensGrid {
    std::vector<cv::Point2d> norm;
    std::vector<uchar> valid;
};

std::shared_ptr<const LensGrid> computeLensGrid(const Camera& cam)
{
    const int W = cam.size.width, H = cam.size.height;
    auto grid = std::make_shared<LensGrid>();
    std::vector<cv::Point2d> lattice;
    lattice.reserve((size_t)(W + 1) * (H + 1));
    for (int y = 0; y <= H; ++y)
        for (int x = 0; x <= W; ++x)
            lattice.emplace_back(x - 0.5, y - 0.5);
    // Undistorted in bands of lattice rows in parallel (each point on its own,
    // so the result does not depend on the banding).
    grid->norm.resize(lattice.size());
    grid->valid.resize(lattice.size());
    cv::parallel_for_(cv::Range(0, H + 1), [&](const cv::Range& rows) {
        const size_t first = (size_t)rows.start * (W + 1), last = (size_t)rows.end * (W + 1);
        const std::vector<cv::Point2d> part(lattice.begin() + first, lattice.begin() + last);
        std::vector<cv::Point2d> partNorm, back;
        cv::undistortPoints(part, partNorm, cv::Mat(cam.K), cam.kc, cv::noArray(), cv::noArray(),
                            cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 200, 1e-14));
        std::vector<cv::Point3d> rays(partNorm.size());
        for (size_t i = 0; i < partNorm.size(); ++i)
            rays[i] = cv::Point3d(partNorm[i].x, partNorm[i].y, 1.0);
        cv::projectPoints(rays, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), cv::Mat(cam.K), cam.kc, back);
        for (size_t i = 0; i < partNorm.size(); ++i) {
            grid->norm[first + i] = partNorm[i];
            grid->valid[first + i] = std::hypot(back[i].x - part[i].x, back[i].y - part[i].y) < 1e-4;
        }
    });
    return grid;
}

std::shared_ptr<const LensGrid> lensGrid(const Camera& cam)
{
    // Key: the image size, K and the distortion coefficients, exactly.
    std::vector<double> key = {double(cam.size.width), double(cam.size.height)};
    for (int i = 0; i < 9; ++i)
        key.push_back(cam.K.val[i]);
    if (!cam.kc.empty()) {
        cv::Mat kc;
        cam.kc.convertTo(kc, CV_64F);
        kc = kc.reshape(1, 1);
        key.insert(key.end(), kc.ptr<double>(), kc.ptr<double>() + kc.cols);
    }
    static std::mutex mutex;
    static std::map<std::vector<double>, std::shared_ptr<const LensGrid>> cache;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto it = cache.find(key);
        if (it != cache.end())
            return it->second;
    }
    std::shared_ptr<const LensGrid> grid = computeLensGrid(cam);
    const std::lock_guard<std::mutex> lock(mutex);
    if (cache.size() >= 16) // a few megabytes per camera; tests use a handful
        cache.clear();
    cache.emplace(std::move(key), grid);
    return grid;
}

} // namespace

cv::Mat renderChessboard(const Camera& cam, cv::Size pattern, double square, const View& view,
                         const RenderOptions& o)
{
    const int W = cam.size.width, H = cam.size.height, n = std::max(1, o.supersample);

    const std::shared_ptr<const LensGrid> grid = lensGrid(cam);
    const std::vector<cv::Point2d>& norm = grid->norm;
    const std::vector<uchar>& valid = grid->valid;

    cv::Matx33d R;
    cv::Rodrigues(view.rvec, R);
    const cv::Matx33d Hb(R(0, 0), R(0, 1), view.tvec[0], R(1, 0), R(1, 1), view.tvec[1], R(2, 0), R(2, 1),
                         view.tvec[2]);
    const cv::Matx33d Hinv = Hb.inv();

    const double b = o.borderSquares * square;
    const double bx0 = -square - b, by0 = -square - b;
    const double bx1 = pattern.width * square + b, by1 = pattern.height * square + b;

    auto shade = [&](double xn, double yn) {
        const cv::Vec3d p = Hinv * cv::Vec3d(xn, yn, 1.0);
        if (p[2] <= 0)
            return o.background;
        const double X = p[0] / p[2], Y = p[1] / p[2];
        if (X < bx0 || X > bx1 || Y < by0 || Y > by1)
            return o.background;
        if (X < -square || X > pattern.width * square || Y < -square || Y > pattern.height * square)
            return o.white;
        const long a = (long)std::floor(X / square), c = (long)std::floor(Y / square);
        return ((a + c) % 2 == 0) ? o.black : o.white;
    };

    cv::Mat img(H, W, CV_64F);
    const double inv = 1.0 / n;
    cv::parallel_for_(cv::Range(0, H), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            double* out = img.ptr<double>(y);
            for (int x = 0; x < W; ++x) {
                const size_t i00 = (size_t)y * (W + 1) + x, i01 = i00 + 1, i10 = i00 + W + 1, i11 = i10 + 1;
                if (!(valid[i00] && valid[i01] && valid[i10] && valid[i11])) {
                    out[x] = o.background;
                    continue;
                }
                double sum = 0;
                for (int sy = 0; sy < n; ++sy) {
                    const double fy = (sy + 0.5) * inv;
                    for (int sx = 0; sx < n; ++sx) {
                        const double fx = (sx + 0.5) * inv;
                        const double xn = (1 - fy) * ((1 - fx) * norm[i00].x + fx * norm[i01].x) +
                                          fy * ((1 - fx) * norm[i10].x + fx * norm[i11].x);
                        const double yn = (1 - fy) * ((1 - fx) * norm[i00].y + fx * norm[i01].y) +
                                          fy * ((1 - fx) * norm[i10].y + fx * norm[i11].y);
                        sum += shade(xn, yn);
                    }
                }
                out[x] = sum * inv * inv;
            }
        }
    });

    if (o.lightGradient != 0) {
        for (int y = 0; y < H; ++y) {
            double* row = img.ptr<double>(y);
            for (int x = 0; x < W; ++x)
                row[x] *= 1.0 + o.lightGradient * (2.0 * x / std::max(1, W - 1) - 1.0);
        }
    }
    if (o.blurSigma > 0)
        cv::GaussianBlur(img, img, cv::Size(), o.blurSigma, o.blurSigma, cv::BORDER_REPLICATE);
    if (o.noiseSigma > 0) {
        cv::RNG rng(o.seed);
        cv::Mat noise(H, W, CV_64F);
        rng.fill(noise, cv::RNG::NORMAL, 0.0, o.noiseSigma);
        img += noise;
    }
    cv::Mat out;
    img.convertTo(out, CV_8U); // rounds and saturates
    if (o.colour)
        cv::cvtColor(out, out, cv::COLOR_GRAY2BGR);
    return out;
}

std::vector<cv::Point3f> squarePoints()
{
    return {{0, 0, 0}, {60, 0, 0}, {0, 60, 0}, {60, 60, 0}};
}

std::vector<std::vector<cv::Point2f>> squareViews(const cv::Vec3d& rvec_camera_first,
                                                  const cv::Vec3d& t_camera_first)
{
    const cv::Matx33d K(500, 0, 320, 0, 500, 240, 0, 0, 1);
    cv::Matx33d R_camera_first;
    cv::Rodrigues(rvec_camera_first, R_camera_first);
    std::vector<std::vector<cv::Point2f>> views;
    for (int v = 0; v < 4; ++v) {
        const cv::Vec3d rvec_first_board(0.15 * v - 0.2, 0.25 - 0.12 * v, 0.05 * v);
        const cv::Vec3d t_first_board(-30 + 10 * v, -25 + 5 * v, 450 + 40 * v);
        cv::Matx33d R_first_board;
        cv::Rodrigues(rvec_first_board, R_first_board);
        cv::Vec3d rvec_camera_board;
        cv::Rodrigues(R_camera_first * R_first_board, rvec_camera_board);
        const cv::Vec3d t_camera_board = R_camera_first * t_first_board + t_camera_first;
        std::vector<cv::Point2f> points;
        cv::projectPoints(squarePoints(), rvec_camera_board, t_camera_board, K, cv::noArray(), points);
        views.push_back(points);
    }
    return views;
}

std::vector<std::vector<cv::Point2f>> scatteredSquareViews()
{
    return {{{492.1f, 213.4f}, {451.7f, 246.6f}, {315.6f, 7.9f}, {612.5f, 451.4f}},
            {{183.4f, 108.1f}, {445.7f, 17.8f}, {362.4f, 222.4f}, {235.9f, 303.2f}},
            {{23.8f, 395.8f}, {269.1f, 334.9f}, {132.4f, 304.6f}, {150.8f, 335.8f}},
            {{577.2f, 236.6f}, {566.7f, 66.8f}, {344.3f, 87.8f}, {592.5f, 169.8f}}};
}

std::array<std::vector<std::vector<cv::Point2f>>, 2> scatteredSquareViewPairs()
{
    return {{{{{180.1f, 165.5f}, {226.9f, 451.3f}, {573.6f, 279.4f}, {154.6f, 421.8f}},
              {{15.3f, 405.5f}, {618.1f, 434.6f}, {275.2f, 220.7f}, {221.6f, 262.2f}},
              {{369.3f, 383.3f}, {81.0f, 137.1f}, {608.0f, 235.3f}, {200.7f, 287.6f}},
              {{609.8f, 7.5f}, {139.8f, 284.9f}, {159.2f, 208.2f}, {552.8f, 387.5f}}},
             {{{150.6f, 151.3f}, {521.7f, 428.6f}, {348.1f, 277.4f}, {122.4f, 88.3f}},
              {{376.9f, 378.2f}, {30.8f, 293.8f}, {10.2f, 25.9f}, {31.8f, 201.7f}},
              {{255.6f, 326.0f}, {369.2f, 440.9f}, {555.2f, 0.2f}, {503.1f, 468.8f}},
              {{163.0f, 180.8f}, {52.6f, 467.4f}, {101.0f, 290.3f}, {134.1f, 397.8f}}}}};
}

} // namespace synth
