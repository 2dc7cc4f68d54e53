#include "core/chessboard/chessboard_fastx.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace details {

namespace {

// Number of strip orientations for an angle step; directions are twice as many.
int orientationCount(float angleStep)
{
    return static_cast<int>(std::floor((CV_PI * 0.5 + CV_PI * 1e-4) / angleStep));
}

// Working-image scale exponent: 1 when the image is enlarged 2x.
int upsampleExponent(const FastX::Settings& s)
{
    return s.upsample ? 1 : 0;
}

// Allocates m (unless it already has this size and type) and asks the system
// to back the large image with huge pages: the working images of a detection
// are several tens of megabytes each, and faulting them in 4 KiB pages on
// first use takes a good part of the detection's time. Only a hint, on
// systems that have it; the contents are the same either way.
void createLarge(cv::Mat& m, cv::Size size, int type)
{
    if (m.size() == size && m.type() == type)
        return;
    m.create(size, type);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(m.datastart);
    const std::uintptr_t e = reinterpret_cast<std::uintptr_t>(m.dataend);
    const std::uintptr_t s = (b + huge - 1) & ~(huge - 1), t = e & ~(huge - 1);
    if (t > s)
        madvise(reinterpret_cast<void*>(s), t - s, MADV_HUGEPAGE);
#endif
}

void boxMean(cv::InputArray src, cv::OutputArray dst, int width, int height)
{
    cv::boxFilter(src, dst, -1, cv::Size(width, height), cv::Point(-1, -1), true, cv::BORDER_REFLECT_101);
}

// Minimum, maximum and first (row-major) location of the maximum of a float
// region.
struct RegionExtrema {
    float minVal;
    float maxVal;
    cv::Point maxLoc;
};

// Smallest and largest value of a float region, four values at a time.
inline void regionMinMax(const cv::Mat& M, const cv::Rect& r, float& lo, float& hi)
{
    lo = hi = M.at<float>(r.y, r.x);
#if CV_SIMD128
    cv::v_float32x4 vlo = cv::v_setall_f32(lo), vhi = vlo;
#endif
    for (int y = r.y; y < r.y + r.height; ++y) {
        const float* row = M.ptr<float>(y) + r.x;
        int x = 0;
#if CV_SIMD128
        for (; x + 4 <= r.width; x += 4) {
            const cv::v_float32x4 v = cv::v_load(row + x);
            vlo = cv::v_min(vlo, v);
            vhi = cv::v_max(vhi, v);
        }
#endif
        for (; x < r.width; ++x) {
            lo = std::min(lo, row[x]);
            hi = std::max(hi, row[x]);
        }
    }
#if CV_SIMD128
    lo = std::min(lo, cv::v_reduce_min(vlo));
    hi = std::max(hi, cv::v_reduce_max(vhi));
#endif
}

inline RegionExtrema regionExtrema(const cv::Mat& M, const cv::Rect& r)
{
    RegionExtrema e{0, 0, cv::Point(r.x, r.y)};
    regionMinMax(M, r, e.minVal, e.maxVal);
    for (int y = r.y; y < r.y + r.height; ++y) {
        const float* row = M.ptr<float>(y);
        for (int x = r.x; x < r.x + r.width; ++x)
            if (row[x] == e.maxVal) {
                e.maxLoc = cv::Point(x, y);
                return e;
            }
    }
    return e;
}

inline float regionMax(const cv::Mat& M, const cv::Rect& r)
{
    float lo, hi;
    regionMinMax(M, r, lo, hi);
    return hi;
}

// Rows per band of the banded image operations.
constexpr int kBandRows = 32;

// Runs f(y0, y1) over fixed bands of `band` rows, in parallel.
template <typename F> void runBands(int rows, const F& f, int band = kBandRows)
{
    const int bands = (rows + band - 1) / band;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& r) {
        for (int b = r.start; b < r.end; ++b)
            f(b * band, std::min(rows, (b + 1) * band));
    });
}

// Rows per band of a box filter of the given height: a band also reads
// height - 1 rows around it, so bands are kept several times taller.
int boxBandRows(int height)
{
    return std::max(kBandRows, 4 * height);
}

// Box mean of src (normalised, reflected border) computed band by band. Each
// band is filtered as a region of the whole image, so it reads its real
// neighbours across band edges and equals the whole-image filter.
void bandedBoxMean(const cv::Mat& src, cv::Mat& dst, int width, int height)
{
    createLarge(dst, src.size(), src.type());
    runBands(
        src.rows,
        [&](int y0, int y1) {
            cv::Mat out = dst.rowRange(y0, y1);
            boxMean(src.rowRange(y0, y1), out, width, height);
        },
        boxBandRows(height));
}

// Box mean of a turned copy of the working image, computed only where the
// copy holds image content (the convex quadrilateral `quad`, plus two pixels
// for the interpolation of the turn back); the rest of dst is 0. Each band
// is filtered as a region of the whole image, so the values equal those of
// the whole-image filter.
void bandedBoxMeanInside(const cv::Mat& src, cv::Mat& dst, int width, int height,
                         const std::vector<cv::Point2f>& quad)
{
    createLarge(dst, src.size(), src.type());
    runBands(
        src.rows,
        [&](int y0, int y1) {
            const float ya = y0 - 2.0f, yb = y1 + 1.0f;
            float xMin = FLT_MAX, xMax = -FLT_MAX;
            const size_t k = quad.size();
            for (size_t i = 0; i < k; ++i) {
                const cv::Point2f p = quad[i], q = quad[(i + 1) % k];
                if (p.y >= ya && p.y <= yb) {
                    xMin = std::min(xMin, p.x);
                    xMax = std::max(xMax, p.x);
                }
                for (float yl : {ya, yb}) {
                    if ((p.y - yl) * (q.y - yl) < 0) {
                        const float x = p.x + (q.x - p.x) * (yl - p.y) / (q.y - p.y);
                        xMin = std::min(xMin, x);
                        xMax = std::max(xMax, x);
                    }
                }
            }
            cv::Mat out = dst.rowRange(y0, y1);
            if (!(xMin <= xMax) || xMax < -2.0f || xMin > src.cols + 2.0f) {
                out.setTo(0); // the band lies outside the picture
                return;
            }
            const int x0 = std::max(0, static_cast<int>(std::floor(std::max(xMin, -4.0f))) - 2);
            const int x1 =
                std::min(src.cols, static_cast<int>(std::ceil(std::min(xMax, src.cols + 4.0f))) + 3);
            if (x0 >= x1) {
                out.setTo(0);
                return;
            }
            out.colRange(0, x0).setTo(0);
            out.colRange(x1, src.cols).setTo(0);
            cv::Mat part = out.colRange(x0, x1);
            boxMean(src(cv::Range(y0, y1), cv::Range(x0, x1)), part, width, height);
        },
        boxBandRows(height));
}

// Normalised box means of a feature-strength map (CV_32F holding whole
// numbers from 0 to 65025, squares of grey-level differences) over a k x k
// window with reflected border, rows y0 .. y1-1 into `out` (y1 - y0 rows).
// They equal cv::boxFilter(map, dst, -1, {k, k}, {-1, -1}, true,
// cv::BORDER_REFLECT_101) bit for bit: that filter sums float maps in double,
// which is exact for such values, and scales the sum by 1 / (k * k) in
// double. Here the sums are kept in 32-bit integers (a window sum stays below
// 2^31 for k <= 181) and scaled the same way. Column sums slide down the
// rows; row sums are differences of running totals, modulo 2^32 (exact, as
// every window sum fits).
class StrengthBoxMean {
public:
    StrengthBoxMean(const cv::Mat& map, int k) : map(map), k(k), a(k / 2), scale(1. / (k * k))
    {
        CV_Assert(map.type() == CV_32FC1 && k >= 1 && k <= 181);
        xt.resize(map.cols + k - 1);
        for (int i = 0; i < map.cols + k - 1; ++i)
            xt[i] = cv::borderInterpolate(i - a, map.cols, cv::BORDER_REFLECT_101);
    }

    void rows(int y0, int y1, cv::Mat& out, std::vector<std::uint32_t>& col,
              std::vector<std::uint32_t>& total) const
    {
        const int cols = map.cols;
        col.assign(cols, 0u);
        total.resize(cols + k);
        for (int i = 0; i < k; ++i)
            addRow(y0 - a + i, 1, col.data());
        for (int y = y0; y < y1; ++y) {
            if (y > y0) {
                addRow(y - a + k - 1, 1, col.data());
                addRow(y - 1 - a, -1, col.data());
            }
            std::uint32_t run = 0;
            std::uint32_t* t = total.data();
            t[0] = 0;
            for (int i = 0; i < cols + k - 1; ++i) {
                run += col[xt[i]];
                t[i + 1] = run;
            }
            float* o = out.ptr<float>(y - y0);
            int x = 0;
#if CV_SIMD128_64F
            const cv::v_float64x2 vs = cv::v_setall_f64(scale);
            for (; x + 4 <= cols; x += 4) {
                const cv::v_int32x4 d = cv::v_reinterpret_as_s32(cv::v_load(t + x + k) - cv::v_load(t + x));
                cv::v_store(o + x, cv::v_cvt_f32(cv::v_cvt_f64(d) * vs, cv::v_cvt_f64_high(d) * vs));
            }
#endif
            for (; x < cols; ++x)
                o[x] = static_cast<float>(static_cast<int>(t[x + k] - t[x]) * scale);
        }
    }

private:
    // Adds (sign 1) or removes (sign -1) row y of the map to the column sums.
    void addRow(int y, int sign, std::uint32_t* c) const
    {
        const float* in = map.ptr<float>(cv::borderInterpolate(y, map.rows, cv::BORDER_REFLECT_101));
        const int cols = map.cols;
        int x = 0;
#if CV_SIMD128
        for (; x + 4 <= cols; x += 4) {
            const cv::v_uint32x4 v = cv::v_reinterpret_as_u32(cv::v_trunc(cv::v_load(in + x)));
            const cv::v_uint32x4 s = cv::v_load(c + x);
            cv::v_store(c + x, sign > 0 ? s + v : s - v);
        }
#endif
        for (; x < cols; ++x) {
            const std::uint32_t v = static_cast<std::uint32_t>(static_cast<int>(in[x]));
            c[x] = sign > 0 ? c[x] + v : c[x] - v;
        }
    }

    const cv::Mat& map;
    const int k, a;
    const double scale;
    std::vector<int> xt;
};

// The contrast-filtered feature map: centre mean (Q x Q) minus 0.8 times the
// surround mean (L x L) of the raw strengths, band by band, so that the two
// means exist only for one band at a time.
void contrastMap(const cv::Mat& raw, int L, int Q, cv::Mat& map)
{
    createLarge(map, raw.size(), CV_32FC1);
    const StrengthBoxMean surround(raw, L), centre(raw, Q);
    runBands(raw.rows, [&](int y0, int y1) {
        cv::Mat s(y1 - y0, raw.cols, CV_32FC1), c(y1 - y0, raw.cols, CV_32FC1);
        std::vector<std::uint32_t> col, total;
        surround.rows(y0, y1, s, col, total);
        centre.rows(y0, y1, c, col, total);
        cv::Mat out = map.rowRange(y0, y1);
        cv::scaleAdd(s, -0.8, c, out);
    });
}

// Feature strength of one direction profile v[0..n-1], read as a cycle: the
// squared difference of its highest maximum and lowest minimum when it has
// exactly `branches` extrema, else 0. Equal neighbours count as rising.
template <int N> inline float profileStrengthN(const uchar* v, int n, int branches)
{
    const int len = N > 0 ? N : n;
    int lo = 255, hi = 0, count = 0;
    int prev = v[len - 1];
    for (int k = 0; k < len; ++k) {
        const int cur = v[k];
        const int next = v[k + 1 < len ? k + 1 : 0];
        if (prev > cur && next >= cur) {
            lo = std::min(lo, cur);
            ++count;
        } else if (prev <= cur && next < cur) {
            hi = std::max(hi, cur);
            ++count;
        }
        prev = cur;
    }
    const int d = hi - lo;
    return count == branches ? static_cast<float>(d * d) : 0.0f;
}

inline float profileStrength(const uchar* v, int n, int branches)
{
    return n == 4 ? profileStrengthN<4>(v, n, branches) : profileStrengthN<0>(v, n, branches);
}

// Interleaves the n strip images into one n-channel filter image and computes
// the feature strength of every pixel in the same pass.
void mergeWithStrength(const std::vector<cv::Mat>& strips, int branches, cv::Mat& filter, cv::Mat& map)
{
    const int n = static_cast<int>(strips.size());
    const cv::Size size = strips.front().size();
    createLarge(filter, size, CV_MAKETYPE(CV_8U, n));
    createLarge(map, size, CV_32FC1);
    runBands(size.height, [&](int y0, int y1) {
        std::vector<const uchar*> rows(n);
        for (int y = y0; y < y1; ++y) {
            for (int k = 0; k < n; ++k)
                rows[k] = strips[k].ptr<uchar>(y);
            uchar* f = filter.ptr<uchar>(y);
            float* out = map.ptr<float>(y);
            if (n == 4) {
                const uchar *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
                int x = 0;
#if CV_SIMD128
                // The rule of profileStrengthN, sixteen pixels at a time.
                const cv::v_uint8x16 v255 = cv::v_setall_u8(255), v0 = cv::v_setzero_u8();
                const cv::v_uint8x16 want =
                    cv::v_setall_u8(static_cast<uchar>(std::min(std::max(branches, 0), 255)));
                for (; x + 16 <= size.width; x += 16) {
                    const cv::v_uint8x16 v[4] = {cv::v_load(r0 + x), cv::v_load(r1 + x), cv::v_load(r2 + x),
                                                 cv::v_load(r3 + x)};
                    cv::v_store_interleave(f + 4 * x, v[0], v[1], v[2], v[3]);
                    cv::v_uint8x16 lo = v255, hi = v0, count = v0;
                    for (int k = 0; k < 4; ++k) {
                        const cv::v_uint8x16 prev = v[(k + 3) & 3], cur = v[k], next = v[(k + 1) & 3];
                        const cv::v_uint8x16 isMin = (prev > cur) & (next >= cur);
                        const cv::v_uint8x16 isMax = (prev <= cur) & (next < cur);
                        lo = cv::v_min(lo, cv::v_select(isMin, cur, v255));
                        hi = cv::v_max(hi, cv::v_select(isMax, cur, v0));
                        count = cv::v_sub_wrap(cv::v_sub_wrap(count, isMin), isMax);
                    }
                    const cv::v_uint8x16 d = (hi - lo) & (count == want);
                    cv::v_uint16x8 d0, d1;
                    cv::v_expand(d, d0, d1);
                    cv::v_uint32x4 s0, s1, s2, s3;
                    cv::v_mul_expand(d0, d0, s0, s1);
                    cv::v_mul_expand(d1, d1, s2, s3);
                    cv::v_store(out + x, cv::v_cvt_f32(cv::v_reinterpret_as_s32(s0)));
                    cv::v_store(out + x + 4, cv::v_cvt_f32(cv::v_reinterpret_as_s32(s1)));
                    cv::v_store(out + x + 8, cv::v_cvt_f32(cv::v_reinterpret_as_s32(s2)));
                    cv::v_store(out + x + 12, cv::v_cvt_f32(cv::v_reinterpret_as_s32(s3)));
                }
#endif
                for (; x < size.width; ++x) {
                    uchar* fx = f + 4 * x;
                    fx[0] = r0[x];
                    fx[1] = r1[x];
                    fx[2] = r2[x];
                    fx[3] = r3[x];
                    out[x] = profileStrengthN<4>(fx, 4, branches);
                }
            } else {
                for (int x = 0; x < size.width; ++x, f += n) {
                    for (int k = 0; k < n; ++k)
                        f[k] = rows[k][x];
                    out[x] = profileStrength(f, n, branches);
                }
            }
        }
    });
}

} // namespace

void rotateImage(float angle, cv::InputArray src, cv::Size size, cv::OutputArray dst)
{
    if (angle == 0.0f) {
        src.copyTo(dst);
        return;
    }
    const cv::Size srcSize = src.size();
    cv::Mat M = cv::getRotationMatrix2D(cv::Point2f(0.5f * srcSize.width, 0.5f * srcSize.height),
                                        static_cast<float>(angle * 180.0 / CV_PI), 1.0);
    M.at<double>(0, 2) += (size.width - srcSize.width) * 0.5;
    M.at<double>(1, 2) += (size.height - srcSize.height) * 0.5;
    cv::warpAffine(src, dst, M, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
}

float subPixelOffset(float a, float b, float c)
{
    if (a <= 0 || b <= 0 || c <= 0)
        return 0.0f;
    const float la = static_cast<float>(std::log(static_cast<double>(a) + 1e-6));
    const float lb = static_cast<float>(std::log(static_cast<double>(b) + 1e-6));
    const float lc = static_cast<float>(std::log(static_cast<double>(c) + 1e-6));
    const float d = lc - 2 * lb + la;
    if (d == 0)
        return 0.0f;
    return (la - lc) / (2 * d);
}

FastX::FastX() {}

FastX::FastX(const Settings& settings)
{
    reconfigure(settings);
}

void FastX::reconfigure(const Settings& settings)
{
    if (settings.minScale < 0 || settings.minScale > settings.maxScale)
        cv::error(cv::Error::StsBadArg, "invalid scale", "details::FastX::reconfigure", __FILE__, __LINE__);
    parameters = settings;
}

void FastX::detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask)
{
    cv::Mat img = image.getMat();
    cv::Mat msk = mask.getMat();
    cv::Feature2D::detect(img, keypoints, msk);
}

void FastX::detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                             cv::OutputArray descriptors, bool)
{
    std::vector<cv::Mat> maps;
    detectImpl(image.getMat(), keypoints, maps, mask.getMat());
    if (descriptors.needed()) {
        cv::Mat d(static_cast<int>(keypoints.size()), 2, CV_32FC1);
        for (size_t i = 0; i < keypoints.size(); ++i) {
            d.at<float>(static_cast<int>(i), 0) = keypoints[i].pt.x;
            d.at<float>(static_cast<int>(i), 1) = keypoints[i].pt.y;
        }
        d.copyTo(descriptors);
    }
}

int FastX::descriptorSize() const
{
    return 0;
}

int FastX::descriptorType() const
{
    return 0;
}

void FastX::detectImpl(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask) const
{
    std::vector<cv::Mat> maps;
    detectImpl(image.getMat(), keypoints, maps, mask.getMat());
}

void FastX::operator()(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                       cv::OutputArray descriptors) const
{
    descriptors.clear();
    detectImpl(image, keypoints, mask);
}

void FastX::detectWithoutDescriptors(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                                     cv::OutputArray descriptors) const
{
    descriptors.assign(cv::Mat());
    detectImpl(image, keypoints, cv::noArray());
}

void FastX::detectImpl(const cv::Mat& image, std::vector<cv::KeyPoint>& keypoints,
                       std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const
{
    std::vector<cv::Mat> rotated;
    detectImpl(image, rotated, featureMaps, mask);
    findKeyPoints(featureMaps, keypoints);
}

void FastX::detectImpl(const cv::Mat& image, std::vector<cv::Mat>& rotatedImages,
                       std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const
{
    const char* fn = "details::FastX::detectImpl";
    if (!mask.empty())
        cv::error(cv::Error::StsBadSize, "Mask is not supported", fn, __FILE__, __LINE__);
    if (image.type() != CV_8UC1)
        cv::error(cv::Error::StsBadSize, "Unsupported image type", fn, __FILE__, __LINE__);

    const int u = upsampleExponent(parameters);
    cv::Mat work; // only read
    if (parameters.upsample) {
        createLarge(work, cv::Size(2 * image.cols, 2 * image.rows), CV_8UC1);
        cv::resize(image, work, work.size(), 0, 0, cv::INTER_LINEAR);
    } else {
        // The filters read across band edges into the surrounding image: a
        // region of a larger image is copied so that its own border counts.
        work = image.isSubmatrix() ? image.clone() : image;
    }

    const int m = orientationCount(parameters.angleStep);
    const int n = 2 * m;
    const int D = static_cast<int>(
        std::floor(std::sqrt(double(work.cols) * work.cols + double(work.rows) * work.rows)));

    // The working image turned by -j*angleStep, for j = 1 .. m-1; the same for every scale.
    std::vector<cv::Mat> turned(std::max(m, 1));
    for (int j = 1; j < m; ++j) {
        createLarge(turned[j], cv::Size(D, D), CV_8UC1);
        rotateImage(-j * parameters.angleStep, work, cv::Size(D, D), turned[j]);
    }

    const int scales = parameters.maxScale - parameters.minScale + 1;
    rotatedImages.assign(scales, cv::Mat());
    featureMaps.assign(scales, cv::Mat());

    // Scales are done one after the other, each step split into fixed bands of
    // rows run in parallel: this keeps every core busy, holds the temporary
    // images of one scale only, and gives the same result for any number of
    // threads (the bands do not depend on it).
    // Where the working image lies in each turned copy.
    std::vector<std::vector<cv::Point2f>> footprint(turned.size());
    for (int j = 1; j < m; ++j) {
        const float theta = -j * parameters.angleStep;
        cv::Mat M = cv::getRotationMatrix2D(cv::Point2f(0.5f * work.cols, 0.5f * work.rows),
                                            static_cast<float>(theta * 180.0 / CV_PI), 1.0);
        M.at<double>(0, 2) += (D - work.cols) * 0.5;
        M.at<double>(1, 2) += (D - work.rows) * 0.5;
        const cv::Matx23d A = M;
        for (const cv::Point2d p : {cv::Point2d(-1, -1), cv::Point2d(work.cols, -1),
                                    cv::Point2d(work.cols, work.rows), cv::Point2d(-1, work.rows)})
            footprint[j].emplace_back(static_cast<float>(A(0, 0) * p.x + A(0, 1) * p.y + A(0, 2)),
                                      static_cast<float>(A(1, 0) * p.x + A(1, 1) * p.y + A(1, 2)));
    }

    // Temporary images, reused from scale to scale.
    std::vector<cv::Mat> strips(n);
    cv::Mat box, rawMap;
    const cv::Mat& workMat = work;
    const std::vector<cv::Mat>& turnedMat = turned;

    for (int i = parameters.minScale; i <= parameters.maxScale; ++i) {
        const int L = 1 << (i + 1 + u);
        const int T = 2 * (L / 7) + 1;
        if (m > 0) {
            bandedBoxMean(workMat, strips[0], L, T);
            bandedBoxMean(workMat, strips[m], T, L);
        }
        for (int j = 1; j < m; ++j) {
            const float theta = j * parameters.angleStep;
            bandedBoxMeanInside(turnedMat[j], box, L, T, footprint[j]);
            createLarge(strips[j], work.size(), CV_8UC1);
            rotateImage(theta, box, work.size(), strips[j]);
            bandedBoxMeanInside(turnedMat[j], box, T, L, footprint[j]);
            createLarge(strips[m + j], work.size(), CV_8UC1);
            rotateImage(theta, box, work.size(), strips[m + j]);
        }

        cv::Mat filter, map;
        cv::Mat& strength = parameters.contrastFilter ? rawMap : map;
        if (n == 0) {
            calcFeatureMap(filter, strength); // refuses the empty filter image
        } else if (n >= 4) {
            mergeWithStrength(strips, parameters.branchCount, filter, strength);
        } else {
            cv::merge(strips, filter);
            calcFeatureMap(filter, strength); // refuses fewer than four channels
        }

        if (parameters.contrastFilter) {
            const int Q = 2 * (L / 6) + 1;
            contrastMap(rawMap, L, Q, map);
        }
        rotatedImages[i - parameters.minScale] = filter;
        featureMaps[i - parameters.minScale] = map;
    }
}

void FastX::calcFeatureMap(const cv::Mat& rotated, cv::Mat& featureMap) const
{
    const char* fn = "details::FastX::calcFeatureMap";
    if (rotated.empty())
        cv::error(cv::Error::StsBadArg, "no rotation images", fn, __FILE__, __LINE__);
    if (rotated.depth() != CV_8U)
        cv::error(cv::Error::StsBadArg, "Only 8-bit grayscale or color images are supported", fn, __FILE__,
                  __LINE__);
    if (!rotated.isContinuous())
        cv::error(cv::Error::StsBadArg, "image must be continuous", fn, __FILE__, __LINE__);
    if (rotated.channels() < 4)
        cv::error(cv::Error::StsBadArg, "images must have at least four channels", fn, __FILE__, __LINE__);

    featureMap.create(rotated.size(), CV_32FC1);
    const int n = rotated.channels();
    const int branches = parameters.branchCount;
    runBands(rotated.rows, [&](int y0, int y1) {
        std::vector<uchar> v(n);
        for (int y = y0; y < y1; ++y) {
            const uchar* in = rotated.ptr<uchar>(y);
            float* out = featureMap.ptr<float>(y);
            for (int x = 0; x < rotated.cols; ++x, in += n)
                out[x] = profileStrength(in, n, branches);
        }
    });
}

void FastX::findKeyPoints(const std::vector<cv::Mat>& featureMaps, std::vector<cv::KeyPoint>& keypoints,
                          const cv::Mat& mask) const
{
    const char* fn = "details::FastX::findKeyPoints";
    const int scales = parameters.maxScale - parameters.minScale + 1;
    if (static_cast<int>(featureMaps.size()) < scales)
        cv::error(cv::Error::StsBadSize, "missing feature maps", fn, __FILE__, __LINE__);
    for (int i = 0; i < scales; ++i)
        if (featureMaps[i].type() != CV_32FC1 || featureMaps[i].size() != featureMaps.front().size())
            cv::error(cv::Error::StsBadSize, "feature maps must be CV_32FC1 images of one size", fn, __FILE__,
                      __LINE__);
    if (!mask.empty()) {
        if (mask.type() != CV_8UC1)
            cv::error(cv::Error::StsBadSize, "wrong mask type", fn, __FILE__, __LINE__);
        if (mask.size() != featureMaps.front().size())
            cv::error(cv::Error::StsBadSize, "wrong mask type or size", fn, __FILE__, __LINE__);
    }

    keypoints.clear();
    cv::Mat free;
    if (mask.empty())
        free = cv::Mat(featureMaps.front().size(), CV_8UC1, cv::Scalar(1));
    else
        free = mask.clone();

    const int u = upsampleExponent(parameters);
    for (int i = parameters.maxScale; i >= parameters.minScale; --i) {
        const cv::Mat& M = featureMaps[i - parameters.minScale];
        const int g = (1 << (i + u)) + 1;
        const float half = g / 2.0f;
        const int r = static_cast<int>(std::nearbyint(g / 2.0));
        const float quarter = g / 4.0f;
        const int tilesX = M.cols / g - 3;
        const int tilesY = M.rows / g - 3;

        // The tile tests that do not depend on the free area are independent
        // of each other: run them in parallel, one list per row of tiles.
        std::vector<std::vector<RegionExtrema>> found(std::max(tilesY, 0));
        cv::parallel_for_(cv::Range(0, std::max(tilesY, 0)), [&](const cv::Range& range) {
            for (int t = range.start; t < range.end; ++t) {
                const int ty = t + 1;
                for (int tx = 1; tx <= tilesX; ++tx) {
                    const cv::Rect tile(tx * g, ty * g, g, g);
                    const RegionExtrema e = regionExtrema(M, tile);
                    if (e.minVal == e.maxVal || e.maxVal < parameters.threshold)
                        continue;
                    const cv::Rect window(static_cast<int>(e.maxLoc.x - half),
                                          static_cast<int>(e.maxLoc.y - half), g, g);
                    if ((window & cv::Rect(0, 0, M.cols, M.rows)) != window)
                        continue;
                    if (regionExtrema(M, window).maxLoc != e.maxLoc)
                        continue;
                    bool coarsest = true;
                    for (int j = i - 1; j >= parameters.minScale && coarsest; --j)
                        coarsest = regionMax(featureMaps[j - parameters.minScale], tile) <= e.maxVal;
                    if (coarsest)
                        found[t].push_back(e);
                }
            }
        });

        for (const std::vector<RegionExtrema>& row : found) {
            for (const RegionExtrema& e : row) {
                const double maxVal = e.maxVal;
                const int X = e.maxLoc.x;
                const int Y = e.maxLoc.y;
                if (free.at<uchar>(Y, X) == 0)
                    continue;

                float x = static_cast<float>(X), y = static_cast<float>(Y);
                if (X + 1 < M.cols && Y + 1 < M.rows) {
                    x += subPixelOffset(M.at<float>(Y, X - 1), M.at<float>(Y, X), M.at<float>(Y, X + 1));
                    y += subPixelOffset(M.at<float>(Y - 1, X), M.at<float>(Y, X), M.at<float>(Y + 1, X));
                }

                const cv::Rect block(std::max(0, static_cast<int>(x - quarter)),
                                     std::max(0, static_cast<int>(y - quarter)), r, r);
                free(block & cv::Rect(0, 0, free.cols, free.rows)).setTo(0);

                cv::KeyPoint kp(cv::Point2f(x, y), static_cast<float>(g), 0.0f, static_cast<float>(maxVal), i,
                                -1);
                if (parameters.upsample) {
                    kp.pt = cv::Point2f(x * 0.5f - 0.25f, y * 0.5f - 0.25f);
                    kp.size = g * 0.5f;
                }
                keypoints.push_back(kp);
            }
        }
    }
}

std::vector<std::vector<float>> FastX::calcAngles(const std::vector<cv::Mat>& rotatedImages,
                                                  std::vector<cv::KeyPoint>& keypoints) const
{
    const char* fn = "details::FastX::calcAngles";
    if (rotatedImages.empty())
        cv::error(cv::Error::StsBadArg, "no rotated images", fn, __FILE__, __LINE__);
    for (const cv::Mat& r : rotatedImages) {
        if (r.empty())
            cv::error(cv::Error::StsBadArg, "empty rotated images", fn, __FILE__, __LINE__);
        if (r.channels() < 4)
            cv::error(cv::Error::StsBadArg, "rotated images must have at least four channels", fn, __FILE__,
                      __LINE__);
    }
    for (const cv::KeyPoint& kp : keypoints) {
        const int s = kp.octave - parameters.minScale;
        if (s < 0 || s >= static_cast<int>(rotatedImages.size()))
            cv::error(cv::Error::StsBadArg, "no rotated image for requested keypoint octave", fn, __FILE__,
                      __LINE__);
    }

    const int n = rotatedImages.front().channels();
    const float step = static_cast<float>(CV_PI / n);
    const int u = upsampleExponent(parameters);
    const float f = static_cast<float>(1 + u);
    // Key points of the enlarged image were reported at X/2 - 0.25; read the
    // profile back at X, where the candidate was found.
    const float shift = 0.5f * u;

    std::vector<std::vector<float>> angles(keypoints.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(keypoints.size())), [&](const cv::Range& range) {
        std::vector<float> v(n);
        for (int p = range.start; p < range.end; ++p) {
            cv::KeyPoint& kp = keypoints[p];
            const cv::Mat& img = rotatedImages[kp.octave - parameters.minScale];
            const float sx = f * kp.pt.x + shift;
            const float sy = f * kp.pt.y + shift;
            if (!(sx >= 0 && sy >= 0 && sx < img.cols - 1 && sy < img.rows - 1))
                continue;
            const int c0 = static_cast<int>(sx);
            const int r0 = static_cast<int>(sy);
            const float fx = sx - c0;
            const float fy = sy - r0;
            const uchar* a = img.ptr<uchar>(r0) + c0 * n;
            const uchar* b = img.ptr<uchar>(r0 + 1) + c0 * n;
            for (int k = 0; k < n; ++k)
                v[k] = (1 - fx) * (1 - fy) * a[k] + fx * (1 - fy) * a[k + n] + (1 - fx) * fy * b[k] +
                       fx * fy * b[k + n];

            std::vector<float>& list = angles[p];
            for (int k = 0; k < n; ++k) {
                const float prev = v[(k + n - 1) % n];
                const float cur = v[k];
                const float next = v[(k + 1) % n];
                const bool isMax = prev <= cur && cur > next;
                const bool isMin = prev > cur && cur <= next;
                if (!isMax && !isMin)
                    continue;
                const float B = 2 * (prev - 2 * cur + next);
                float D = 0;
                if (B != 0) {
                    const float C = (prev - next) / B;
                    D = C > 1 ? 1.0f : std::max(-1.0f, C);
                }
                float E = (k + D) * step;
                if (E < 0)
                    E += static_cast<float>(CV_PI);
                else if (E > CV_PI)
                    E -= static_cast<float>(CV_PI);
                // The sign tells a dark wedge from a bright one. A dark wedge
                // along direction 0 (read there exactly when the profile is
                // symmetric about it, as where a square's diagonal runs along
                // the image rows) would be -0, which compares equal to 0 and
                // would pass for a bright one: the same line is written as -pi.
                const float dark = E > 0 ? E : static_cast<float>(CV_PI);
                list.push_back(isMax ? E : -dark);
                kp.angle = 360.0f - E * 57.29578f;
            }
        }
    });
    return angles;
}

} // namespace details
