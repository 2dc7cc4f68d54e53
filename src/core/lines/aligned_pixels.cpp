#include "core/lines/aligned_pixels.h"

#include <cmath>

namespace {

const double* atanTable()
{
    static const std::vector<double> table = [] {
        std::vector<double> t(1025);
        for (int i = 0; i <= 1024; ++i)
            t[(size_t)i] = std::atan(i / 1024.0);
        return t;
    }();
    return table.data();
}

// y on the side (p, q) at column x; for a (nearly) vertical side the smaller or larger y
double sideY(const cv::Point2d& p, const cv::Point2d& q, double x, bool lower)
{
    if (std::abs(q.x - p.x) <= 0.01)
        return lower ? std::min(p.y, q.y) : std::max(p.y, q.y);
    return p.y + (x - p.x) * (q.y - p.y) / (q.x - p.x);
}

} // namespace

double levelLineAngle(double y, double x)
{
    const double* table = atanTable();
    double ay = std::abs(y), ax = std::abs(x);
    bool swapped = false;
    if (ay > ax) {
        std::swap(ay, ax);
        swapped = true;
    }
    // ax is now the larger magnitude, ay the smaller
    if (ax == 0)
        ax = 1e-6;
    const double f = table[(int)(ay / ax * 1024.0)];
    if ((y < 0) != (x < 0))
        return swapped ? CV_PI / 2 + f : CV_PI - f;
    return swapped ? CV_PI / 2 - f : f;
}

void supportRectanglePixels(cv::Point2d s, cv::Point2d e, std::vector<cv::Point>& out)
{
    out.clear();
    const double len = std::hypot(e.x - s.x, e.y - s.y);
    if (!(len > 0))
        return;
    const double dx = (e.x - s.x) / len, dy = (e.y - s.y) / len;
    const cv::Point2d c[4] = {
        {s.x - dy, s.y + dx}, {e.x - dy, e.y + dx}, {e.x + dy, e.y - dx}, {s.x + dy, s.y - dx}};
    int rot;
    if (s.x < e.x && s.y <= e.y)
        rot = 0;
    else if (s.x >= e.x && s.y < e.y)
        rot = 1;
    else if (s.x > e.x && s.y >= e.y)
        rot = 2;
    else
        rot = 3;
    const cv::Point2d R0 = c[rot % 4], R1 = c[(rot + 1) % 4], R2 = c[(rot + 2) % 4], R3 = c[(rot + 3) % 4];
    for (int x = (int)std::ceil(R0.x); x <= R2.x; ++x) {
        const double lo = x < R3.x ? sideY(R0, R3, x, true) : sideY(R3, R2, x, true);
        const double hi = x < R1.x ? sideY(R0, R1, x, false) : sideY(R1, R2, x, false);
        for (int y = (int)std::ceil(lo); y <= hi; ++y)
            out.emplace_back(x, y);
    }
}

AlignedCount countAlignedPixels(const cv::Mat& source, double theta, const cv::Point* pixels, size_t n)
{
    CV_Assert(source.type() == CV_8UC1);
    const int W = source.cols, H = source.rows;
    const double prec = CV_PI / 8;
    AlignedCount r;
    for (size_t i = 0; i < n; ++i) {
        const int x = pixels[i].x, y = pixels[i].y;
        if (y <= 0 || y >= H - 1 || x <= 0 || x >= W - 1)
            continue;
        ++r.count;
        const uchar* up = source.ptr<uchar>(y - 1) + x;
        const uchar* mid = source.ptr<uchar>(y) + x;
        const uchar* dn = source.ptr<uchar>(y + 1) + x;
        const int com1 = dn[1] - up[-1];
        const int com2 = up[1] - dn[-1];
        const int gx = com1 + com2 + (mid[1] - mid[-1]);
        const int gy = com1 - com2 + (dn[0] - up[0]);
        const double angle = levelLineAngle((double)gx, (double)-gy);
        const double d = std::abs(theta - angle);
        if (d <= prec || d >= CV_PI - prec)
            ++r.aligned;
    }
    return r;
}
