#include "core/structured_light/gray_code_decoder.h"

#include "core/structured_light/gray_code_pattern.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

cv::Mat loadGrayscaleImage(const std::string& path)
{
    try {
        cv::Mat image = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (image.empty() || image.type() != CV_8UC1)
            return cv::Mat();
        return image;
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

cv::Mat separateDirectGlobal(const std::vector<cv::Mat>& images, float b)
{
    if (images.empty() || !(b >= 0.f && b < 1.f))
        return cv::Mat();
    const size_t n = std::min<size_t>(images.size(), 10);
    const cv::Size size = images[0].size();
    for (size_t i = 0; i < n; ++i)
        if (images[i].empty() || images[i].type() != CV_8UC1 || images[i].size() != size)
            return cv::Mat();

    // Lmax and Lmin over the images, then (Ld, Lg) from a table over
    // (Lmin, Lmax).
    cv::Mat lmax = images[0].clone(), lmin = images[0].clone();
    for (size_t i = 1; i < n; ++i) {
        cv::max(lmax, images[i], lmax);
        cv::min(lmin, images[i], lmin);
    }
    // With b close to 1 both factors approach 2^24 and the estimates leave
    // the range of int long before they are truncated: they are compared and
    // saturated as floating-point values, and only 0 .. 255 becomes an integer.
    const float directFactor = 1.f / (1.f - b);
    const double globalFactor = 2.0 / (1.0 - static_cast<double>(b) * b);
    const auto truncatedLevel = [](double v) {
        return static_cast<uchar>(v >= 255.0 ? 255 : static_cast<int>(v));
    };
    std::vector<cv::Vec2b> table(256 * 256);
    for (int lo = 0; lo < 256; ++lo)
        for (int hi = lo; hi < 256; ++hi) {
            const double lg = static_cast<float>(lo - b * hi) * globalFactor;
            cv::Vec2b& out = table[static_cast<size_t>(lo * 256 + hi)];
            if (lg >= 1.0) // trunc(lg) >= 1
                out =
                    cv::Vec2b(truncatedLevel(static_cast<float>(hi - lo) * directFactor), truncatedLevel(lg));
            else
                out = cv::Vec2b(static_cast<uchar>(hi), 0);
        }
    cv::Mat result(size, CV_8UC2);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const uchar* hi = lmax.ptr<uchar>(r);
            const uchar* lo = lmin.ptr<uchar>(r);
            cv::Vec2b* out = result.ptr<cv::Vec2b>(r);
            for (int c = 0; c < size.width; ++c)
                out[c] = table[static_cast<size_t>(lo[c] * 256 + hi[c])];
        }
    });
    return result;
}

std::vector<int> directGlobalImageIndices(int n, int count, int skip)
{
    std::vector<int> indices;
    const int half = n / 2;
    if (half - 1 < count + skip)
        return indices;
    const int d = n - half - count - skip + 2;
    for (int i = 0; i < count; ++i) {
        indices.push_back(d - 1 + i);
        indices.push_back(half + d - 2 + i);
    }
    return indices;
}

namespace {

// While a set is decoded, each row of the decoded map's memory (8 bytes per
// pixel) holds the running state in four planes: the Gray code of x and of y
// (16 bits each) and whether x and y are still decided (one byte each). The
// planes are turned into projector coordinates row by row at the end, so the
// decoder needs no memory beyond the two maps.
struct RowPlanes {
    ushort* code[2];
    uchar* valid[2];
};

RowPlanes rowPlanes(cv::Mat& decoded, int r)
{
    uchar* base = decoded.ptr<uchar>(r);
    const int w = decoded.cols;
    return {{reinterpret_cast<ushort*>(base), reinterpret_cast<ushort*>(base + 2 * w)},
            {base + 4 * w, base + 5 * w}};
}

void initPlanes(cv::Mat& decoded)
{
    for (int r = 0; r < decoded.rows; ++r) {
        const RowPlanes rp = rowPlanes(decoded, r);
        std::fill(rp.code[0], rp.code[0] + 2 * decoded.cols, ushort(0));
        std::fill(rp.valid[0], rp.valid[0] + 2 * decoded.cols, uchar(255));
    }
}

// The pixel rule for one pixel: whether the bit is decided and its value.
inline void classify(int p, int q, int ld, int lg, bool robust, int m, bool& decided, bool& bit)
{
    if (!robust) {
        decided = true;
        bit = p > q;
        return;
    }
    decided = true;
    if (ld < m)
        decided = false;
    else if (ld > lg)
        bit = p > q;
    else if (p <= ld && q >= lg)
        bit = false;
    else if (p >= lg && q <= ld)
        bit = true;
    else
        decided = false;
}

// Adds one bit of one channel to every pixel and updates the min/max map.
void decodePair(const cv::Mat& pattern, const cv::Mat& inverse, const cv::Mat& directGlobal, bool robust,
                int m, int channel, int bitPos, bool firstPair, cv::Mat& decoded, cv::Mat& minMax)
{
    const int w = decoded.cols;
    const ushort bitValue = static_cast<ushort>(1u << bitPos);
    cv::parallel_for_(cv::Range(0, decoded.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const uchar* p = pattern.ptr<uchar>(r);
            const uchar* q = inverse.ptr<uchar>(r);
            uchar* mm = minMax.ptr<uchar>(r);
            const uchar* dg = robust ? directGlobal.ptr<uchar>(r) : nullptr;
            const RowPlanes rp = rowPlanes(decoded, r);
            ushort* code = rp.code[channel];
            uchar* valid = rp.valid[channel];
            int c = 0;
#if CV_SIMD128
            const cv::v_uint8x16 vm = cv::v_setall_u8(static_cast<uchar>(std::min(m, 255)));
            const cv::v_uint16x8 vBit = cv::v_setall_u16(bitValue);
            const bool mActive = m > 0;
            // No 8-bit Ld reaches an m above 255: then no pixel is decided.
            const bool mUnreachable = m > 255;
            for (; c + 16 <= w; c += 16) {
                const cv::v_uint8x16 vp = cv::v_load(p + c), vq = cv::v_load(q + c);
                const cv::v_uint8x16 lo = cv::v_min(vp, vq), hi = cv::v_max(vp, vq);
                if (firstPair) {
                    cv::v_store_interleave(mm + 2 * c, lo, hi);
                } else {
                    cv::v_uint8x16 mn, mx;
                    cv::v_load_deinterleave(mm + 2 * c, mn, mx);
                    cv::v_store_interleave(mm + 2 * c, cv::v_min(mn, lo), cv::v_max(mx, hi));
                }
                const cv::v_uint8x16 gt = vp > vq;
                cv::v_uint8x16 bit = gt, decided = cv::v_setall_u8(255);
                if (robust) {
                    cv::v_uint8x16 ld, lg;
                    cv::v_load_deinterleave(dg + 2 * c, ld, lg);
                    const cv::v_uint8x16 strong = ld > lg;
                    const cv::v_uint8x16 zero = (vp <= ld) & (vq >= lg);
                    const cv::v_uint8x16 one = (vp >= lg) & (vq <= ld);
                    decided = strong | zero | one;
                    if (mUnreachable)
                        decided = cv::v_setzero_u8();
                    else if (mActive)
                        decided = decided & (ld >= vm);
                    bit = cv::v_select(strong, gt, one & ~zero);
                }
                bit = bit & decided;
                cv::v_store(valid + c, cv::v_load(valid + c) & decided);
                // 0xFF bytes widen to 0xFFFF words as signed -1.
                cv::v_int16x8 b0, b1;
                cv::v_expand(cv::v_reinterpret_as_s8(bit), b0, b1);
                const cv::v_uint16x8 add0 = cv::v_reinterpret_as_u16(b0) & vBit;
                const cv::v_uint16x8 add1 = cv::v_reinterpret_as_u16(b1) & vBit;
                cv::v_store(code + c, cv::v_load(code + c) | add0);
                cv::v_store(code + c + 8, cv::v_load(code + c + 8) | add1);
            }
#endif
            for (; c < w; ++c) {
                const int pv = p[c], qv = q[c];
                const int lo = std::min(pv, qv), hi = std::max(pv, qv);
                if (firstPair) {
                    mm[2 * c] = static_cast<uchar>(lo);
                    mm[2 * c + 1] = static_cast<uchar>(hi);
                } else {
                    mm[2 * c] = static_cast<uchar>(std::min<int>(mm[2 * c], lo));
                    mm[2 * c + 1] = static_cast<uchar>(std::max<int>(mm[2 * c + 1], hi));
                }
                bool decided = true, bit = false;
                classify(pv, qv, robust ? dg[2 * c] : 0, robust ? dg[2 * c + 1] : 0, robust, m, decided, bit);
                if (!decided)
                    valid[c] = 0;
                else if (bit)
                    code[c] |= bitValue;
            }
        }
    });
}

// Turns the planes into the decoded map: NaN where undecided, else the Gray
// code (raw) or the projector coordinate clamped to the projector.
void finishDecodedMap(cv::Mat& decoded, cv::Size projectorSize, bool toProjector)
{
    const int offsets[2] = {grayCodeOffset(projectorSize.width), grayCodeOffset(projectorSize.height)};
    const int limits[2] = {projectorSize.width - 1, projectorSize.height - 1};
    std::vector<float> lut[2];
    if (toProjector) {
        for (int ch = 0; ch < 2; ++ch) {
            // A channel's codes have its bit count, at most 16 bits.
            const std::uint32_t codes =
                1u << grayCodeBitCount(ch == 0 ? projectorSize.width : projectorSize.height);
            lut[ch].resize(codes);
            for (std::uint32_t g = 0; g < codes; ++g) {
                const int value = static_cast<int>(grayDecode(g)) - offsets[ch];
                lut[ch][g] = static_cast<float>(std::min(std::max(value, 0), limits[ch]));
            }
        }
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int w = decoded.cols;
    cv::parallel_for_(cv::Range(0, decoded.rows), [&](const cv::Range& rows) {
        std::vector<uchar> planes(static_cast<size_t>(6 * w));
        for (int r = rows.start; r < rows.end; ++r) {
            uchar* base = decoded.ptr<uchar>(r);
            std::copy(base, base + 6 * w, planes.begin());
            const ushort* code[2] = {reinterpret_cast<const ushort*>(planes.data()),
                                     reinterpret_cast<const ushort*>(planes.data() + 2 * w)};
            const uchar* valid[2] = {planes.data() + 4 * w, planes.data() + 5 * w};
            float* out = decoded.ptr<float>(r);
            for (int c = 0; c < w; ++c)
                for (int ch = 0; ch < 2; ++ch)
                    out[2 * c + ch] = !valid[ch][c] ? nan
                                      : toProjector ? lut[ch][code[ch][c]]
                                                    : static_cast<float>(code[ch][c]);
        }
    });
}

} // namespace

DecodeResult decodeGrayCode(int imageCount, const SetImageSource& image, cv::Mat& decoded, cv::Mat& minMax,
                            cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m,
                            const std::function<bool()>& abort)
{
    DecodeResult result;
    decoded.release();
    minMax.release();
    if (projectorSize.width <= 0 || projectorSize.height <= 0) {
        result.error = "the projector size is not positive";
        return result;
    }
    const int bx = grayCodeBitCount(projectorSize.width);
    const int by = grayCodeBitCount(projectorSize.height);
    if (bx > 16 || by > 16) {
        result.error = "the projector is larger than 65536 pixels in a direction";
        return result;
    }
    const int expected = 2 + 2 * (bx + by);
    if (imageCount != expected) {
        result.error = "the set has " + std::to_string(imageCount) + " images, the projector needs " +
                       std::to_string(expected);
        return result;
    }
    const bool robust = (flags & DecodeRobust) != 0;
    cv::Mat dec, mm;
    for (int k = 0; k < bx + by; ++k) {
        if (abort && abort()) {
            result.error = "aborted";
            return result;
        }
        const int channel = k < bx ? 0 : 1;
        const int bitPos = k < bx ? bx - 1 - k : by - 1 - (k - bx);
        const cv::Mat pattern = image(2 + 2 * k);
        const cv::Mat inverse = pattern.empty() ? cv::Mat() : image(3 + 2 * k);
        if (pattern.empty() || inverse.empty()) {
            result.error =
                "image " + std::to_string(pattern.empty() ? 2 + 2 * k : 3 + 2 * k) + " cannot be read";
            return result;
        }
        if (pattern.type() != CV_8UC1 || inverse.type() != CV_8UC1) {
            result.error = "image " + std::to_string(2 + 2 * k) + " is not an 8-bit grey image";
            return result;
        }
        if (k == 0) {
            if (pattern.size() != inverse.size()) {
                result.error = "images 2 and 3 differ in size";
                return result;
            }
            if (robust && (directGlobal.type() != CV_8UC2 || directGlobal.size() != pattern.size())) {
                result.error = "no direct/global light estimate of the image size";
                return result;
            }
            dec.create(pattern.size(), CV_32FC2);
            initPlanes(dec);
            mm.create(pattern.size(), CV_8UC2);
        } else if (pattern.size() != dec.size() || inverse.size() != dec.size()) {
            result.error = "images " + std::to_string(2 + 2 * k) + " and " + std::to_string(3 + 2 * k) +
                           " differ in size from the first pair";
            return result;
        }
        decodePair(pattern, inverse, directGlobal, robust, std::max(m, 0), channel, bitPos, k == 0, dec, mm);
    }
    if (!dec.empty())
        finishDecodedMap(dec, projectorSize, (flags & DecodeToProjector) != 0);
    decoded = dec;
    minMax = mm;
    result.ok = true;
    return result;
}

bool decodeGrayCode(const std::vector<std::string>& files, cv::Mat& decoded, cv::Mat& minMax,
                    cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m, std::string* error)
{
    const DecodeResult r = decodeGrayCode(
        static_cast<int>(files.size()),
        [&](int i) { return loadGrayscaleImage(files[static_cast<size_t>(i)]); }, decoded, minMax,
        projectorSize, flags, directGlobal, m);
    if (error)
        *error = r.error;
    return r.ok;
}

bool decodeGrayCode(const std::vector<cv::Mat>& images, cv::Mat& decoded, cv::Mat& minMax,
                    cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m, std::string* error)
{
    const DecodeResult r = decodeGrayCode(
        static_cast<int>(images.size()), [&](int i) { return images[static_cast<size_t>(i)]; }, decoded,
        minMax, projectorSize, flags, directGlobal, m);
    if (error)
        *error = r.error;
    return r.ok;
}

DecodeResult decodeImageSetImages(int imageCount, const SetImageSource& image, cv::Mat& decoded,
                                  cv::Mat& minMax, cv::Size projectorSize, float b, int m,
                                  const std::function<bool()>& abort)
{
    decoded.release();
    minMax.release();
    DecodeResult result;
    const std::vector<int> indices = directGlobalImageIndices(imageCount, 4, 4);
    if (indices.empty()) {
        result.error = "At least 8 images are required for the estimation of direct and global light";
        return result;
    }
    std::vector<cv::Mat> images;
    for (const int i : indices) {
        images.push_back(image(i));
        if (images.back().empty()) {
            result.error = "image " + std::to_string(i) + " cannot be read";
            return result;
        }
    }
    const cv::Mat directGlobal = separateDirectGlobal(images, b);
    images.clear();
    if (directGlobal.empty()) {
        result.error = "the direct/global light images differ in size or type";
        return result;
    }
    return decodeGrayCode(imageCount, image, decoded, minMax, projectorSize, DecodeAll, directGlobal, m,
                          abort);
}
