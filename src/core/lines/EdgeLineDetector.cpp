#include "core/lines/EdgeLineDetector.h"

#include "core/lines/NfaTable.h"
#include "core/lines/aligned_pixels.h"

#include <algorithm>
#include <cmath>

EdgeLineDetector::EdgeLineDetector(const cv::Mat& image, double lineFitError_, int minLineLength,
                                   double maxLineGap_, double maxLineError_)
    : EdgeTracer(image, SOBEL_OPERATOR, 36, 8, 1, 10, 1.0, true), lineFitError(lineFitError_),
      maxLineGap(maxLineGap_), maxLineError(maxLineError_)
{
    L = minimumLineLength(minLineLength, W, H);
    int longest = 0;
    for (int i = 0; i < chainCount(); ++i)
        longest = std::max(longest, chainLength(i));
    xs.resize((size_t)longest);
    ys.resize((size_t)longest);
    for (int i = 0; i < chainCount(); ++i) {
        const int n = chainLength(i);
        if (n < L)
            continue;
        const cv::Point* px = chainPixels(i);
        for (int j = 0; j < n; ++j) {
            xs[(size_t)j] = px[j].x;
            ys[(size_t)j] = px[j].y;
        }
        splitChain(xs.data(), ys.data(), n, i, L, lineFitError, records);
    }
    mergeCollinearLines(records, maxLineGap, maxLineError);
    validateAllLines(source, records, ChainView{chainData.data(), chainStarts.data()});
    result.reserve(records.size());
    for (const FittedLine& l : records)
        result.emplace_back(l.start, l.end);
}

int EdgeLineDetector::minimumLineLength(int requested, int width, int height)
{
    int len = requested;
    if (requested == -1 && width > 0 && height > 0)
        len = (int)std::round(-2.0 * (std::log10((double)width) + std::log10((double)height)) /
                              std::log10(0.125) * 0.5);
    return std::max(9, len);
}

EdgeLineDetector::LineFit EdgeLineDetector::leastSquaresLine(const double* x, const double* y, int n)
{
    LineFit f;
    if (n < 2)
        return f;
    double mx = 0, my = 0;
    for (int i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= n;
    my /= n;
    double sxx = 0, syy = 0;
    for (int i = 0; i < n; ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    f.inverted = sxx < syy ? 1 : 0;
    const double* u = f.inverted ? y : x;
    const double* v = f.inverted ? x : y;
    refitLine(x, y, n, f.inverted, f.a, f.b);
    if (f.b == 0) {
        double e = 0;
        for (int i = 0; i < n; ++i)
            e += std::abs(f.a - v[i]);
        f.error = e / n;
    } else {
        double e = 0;
        for (int i = 0; i < n; ++i) {
            const double r = v[i] - f.a - f.b * u[i];
            e += r * r;
        }
        f.error = std::sqrt(e / ((1 + f.b * f.b) * n));
    }
    return f;
}

void EdgeLineDetector::refitLine(const double* x, const double* y, int n, int inverted, double& a, double& b)
{
    const double* u = inverted ? y : x;
    const double* v = inverted ? x : y;
    double su = 0, sv = 0, suu = 0, suv = 0;
    for (int i = 0; i < n; ++i) {
        su += u[i];
        sv += v[i];
        suu += u[i] * u[i];
        suv += u[i] * v[i];
    }
    const double S = n;
    const double D = S * suu - su * su;
    a = (suu * sv - su * suv) / D;
    b = (S * suv - su * sv) / D;
}

double EdgeLineDetector::distanceToLine(double px, double py, double a, double b, int inverted,
                                        cv::Point2d* foot)
{
    // in the line's own (u, v) frame: v = a + b u
    const double u = inverted ? py : px, v = inverted ? px : py;
    double fu, fv;
    if (b == 0) {
        fu = u;
        fv = a;
    } else {
        fu = (v - a + u / b) / (b + 1.0 / b);
        fv = a + b * fu;
    }
    if (foot)
        *foot = inverted ? cv::Point2d(fv, fu) : cv::Point2d(fu, fv);
    return std::hypot(u - fu, v - fv);
}

void EdgeLineDetector::splitChain(const double* x, const double* y, int n, int chainIndex, int L,
                                  double lineFitError, std::vector<FittedLine>& records)
{
    int f = 0;
    while (n >= L) {
        LineFit fit = leastSquaresLine(x + f, y + f, L);
        if (fit.error > 0.5) {
            --n;
            ++f;
            continue;
        }
        const double* cx = x + f;
        const double* cy = y + f;
        int consumed = L;
        if (L < n) {
            int len = L, i = L, g = L - 1;
            while (i < n) {
                const int s = i;
                g = i - 1;
                int good = 0, bad = 0;
                while (i < n) {
                    if (distanceToLine(cx[i], cy[i], fit.a, fit.b, fit.inverted) <= lineFitError) {
                        g = i;
                        ++good;
                        bad = 0;
                    } else if (++bad >= 5) {
                        break;
                    }
                    ++i;
                }
                if (good >= 2) {
                    len += g - s + 1;
                    refitLine(cx, cy, len, fit.inverted, fit.a, fit.b);
                    i = g + 1;
                }
                if (good < 2 || i >= n)
                    break;
            }
            int s0 = 0;
            while (s0 < g && distanceToLine(cx[s0], cy[s0], fit.a, fit.b, fit.inverted) > lineFitError)
                ++s0;
            int e0 = g;
            while (e0 > s0 && distanceToLine(cx[e0], cy[e0], fit.a, fit.b, fit.inverted) > lineFitError)
                --e0;
            FittedLine l;
            l.a = fit.a;
            l.b = fit.b;
            l.inverted = fit.inverted;
            distanceToLine(cx[s0], cy[s0], fit.a, fit.b, fit.inverted, &l.start);
            distanceToLine(cx[e0], cy[e0], fit.a, fit.b, fit.inverted, &l.end);
            l.chain = chainIndex;
            l.firstPixel = f + s0;
            l.pixelCount = e0 - s0 + 1;
            records.push_back(l);
            consumed = e0 + 1;
        }
        n -= consumed;
        f += consumed;
    }
}

double EdgeLineDetector::endpointGap(const FittedLine& s, const FittedLine& t)
{
    return std::min(std::min(cv::norm(s.start - t.start), cv::norm(s.start - t.end)),
                    std::min(cv::norm(s.end - t.start), cv::norm(s.end - t.end)));
}

void EdgeLineDetector::refreshLineEquation(FittedLine& l)
{
    const double dx = l.end.x - l.start.x, dy = l.end.y - l.start.y;
    if (std::abs(dx) >= std::abs(dy)) {
        l.inverted = 0;
        if (std::abs(dy) < 0.001) {
            l.b = 0;
            l.a = (l.start.y + l.end.y) / 2;
        } else {
            l.b = dy / dx;
            l.a = l.start.y - l.b * l.start.x;
        }
    } else {
        l.inverted = 1;
        if (std::abs(dx) < 0.001) {
            l.b = 0;
            l.a = (l.start.x + l.end.x) / 2;
        } else {
            l.b = dx / dy;
            l.a = l.start.x - l.b * l.start.y;
        }
    }
}

bool EdgeLineDetector::tryMergeLines(FittedLine& p, const FittedLine& q, double maxLineGap,
                                     double maxLineError)
{
    if (endpointGap(p, q) > maxLineGap)
        return false;
    const bool pLonger = cv::norm(p.end - p.start) > cv::norm(q.end - q.start);
    const FittedLine& ref = pLonger ? p : q;
    const FittedLine& other = pLonger ? q : p;
    const cv::Point2d mid = (other.start + other.end) * 0.5;
    const double meanDist = (distanceToLine(other.start.x, other.start.y, ref.a, ref.b, ref.inverted) +
                             distanceToLine(mid.x, mid.y, ref.a, ref.b, ref.inverted) +
                             distanceToLine(other.end.x, other.end.y, ref.a, ref.b, ref.inverted)) /
                            3.0;
    if (meanDist > maxLineError)
        return false;

    auto l1 = [](const cv::Point2d& u, const cv::Point2d& v) {
        return std::abs(u.x - v.x) + std::abs(u.y - v.y);
    };
    const cv::Point2d ps = p.start, pe = p.end;
    int which = 0;
    double best = l1(ps, q.start);
    const double d2 = l1(ps, q.end), d3 = l1(pe, q.start), d4 = l1(pe, q.end);
    if (d2 > best) {
        best = d2;
        which = 1;
    }
    if (d3 > best) {
        best = d3;
        which = 2;
    }
    if (d4 > best)
        which = 3;
    switch (which) {
    case 0:
        p.start = ps;
        p.end = q.start;
        break;
    case 1:
        p.start = ps;
        p.end = q.end;
        break;
    case 2:
        p.start = q.start;
        p.end = pe;
        break;
    default:
        p.start = pe;
        p.end = q.end;
        break;
    }
    if (p.firstPixel + p.pixelCount + 5 >= q.firstPixel) {
        p.pixelCount += q.pixelCount;
    } else if (q.pixelCount > p.pixelCount) {
        p.firstPixel = q.firstPixel;
        p.pixelCount = q.pixelCount;
    }
    refreshLineEquation(p);
    return true;
}

void EdgeLineDetector::mergeCollinearLines(std::vector<FittedLine>& records, double maxLineGap,
                                           double maxLineError)
{
    size_t out = 0;
    size_t i = 0;
    while (i < records.size()) {
        const int chain = records[i].chain;
        const size_t runFirst = out;
        records[out++] = records[i++];
        while (i < records.size() && records[i].chain == chain) {
            if (!tryMergeLines(records[out - 1], records[i], maxLineGap, maxLineError))
                records[out++] = records[i];
            ++i;
        }
        if (out - runFirst > 1) {
            FittedLine joined = records[runFirst];
            if (tryMergeLines(joined, records[out - 1], maxLineGap, maxLineError)) {
                records[runFirst] = joined;
                --out;
            }
        }
    }
    records.resize(out);
}

namespace {

bool validateLine(const cv::Mat& source, const FittedLine& l, double theta, const NfaTable& table,
                  std::vector<cv::Point>& rectPixels)
{
    supportRectanglePixels(l.start, l.end, rectPixels);
    const AlignedCount c = countAlignedPixels(source, theta, rectPixels.data(), rectPixels.size());
    return table.isMeaningful(c.count, c.aligned);
}

} // namespace

void EdgeLineDetector::validateAllLines(const cv::Mat& source, std::vector<FittedLine>& records,
                                        ChainView chains)
{
    if (records.empty())
        return;
    const int W = source.cols, H = source.rows;
    std::vector<cv::Point> rectPixels;
    const NfaTable table((W + H) / 8, 0.125, 2.0 * (std::log10((double)W) + std::log10((double)H)));
    size_t out = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const FittedLine& l = records[i];
        double theta = l.inverted ? std::atan(1.0 / l.b) : std::atan(l.b);
        if (theta < 0)
            theta += CV_PI;
        bool valid;
        if (l.pixelCount >= 80) {
            valid = true;
        } else if (l.pixelCount <= 25) {
            valid = validateLine(source, l, theta, table, rectPixels);
        } else {
            // a joined record never reaches past the end of its chain
            const int chainLen = chains.starts[l.chain + 1] - chains.starts[l.chain];
            const int n = std::min(l.pixelCount, chainLen - l.firstPixel);
            const AlignedCount c = countAlignedPixels(
                source, theta, chains.data + chains.starts[l.chain] + l.firstPixel, (size_t)std::max(0, n));
            valid =
                table.isMeaningful(c.count, c.aligned) || validateLine(source, l, theta, table, rectPixels);
        }
        if (valid)
            records[out++] = l;
    }
    records.resize(out);
}
