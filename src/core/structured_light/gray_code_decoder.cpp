#include "core/structured_light/gray_code_decoder.h"

#include "core/structured_light/gray_code_pattern.h"

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

    cv::Mat result(size, CV_8UC2);
    const float directFactor = 1.f / (1.f - b);
    const double globalFactor = 2.0 / (1.0 - static_cast<double>(b) * b);
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& rows) {
        std::vector<const uchar*> src(n);
        for (int r = rows.start; r < rows.end; ++r) {
            for (size_t i = 0; i < n; ++i)
                src[i] = images[i].ptr<uchar>(r);
            cv::Vec2b* out = result.ptr<cv::Vec2b>(r);
            for (int c = 0; c < size.width; ++c) {
                int lmax = src[0][c], lmin = src[0][c];
                for (size_t i = 1; i < n; ++i) {
                    const int v = src[i][c];
                    lmax = std::max(lmax, v);
                    lmin = std::min(lmin, v);
                }
                const int lg = static_cast<int>(static_cast<float>(lmin - b * lmax) * globalFactor);
                int ld, lgOut;
                if (lg >= 1) {
                    ld = static_cast<int>(static_cast<float>(lmax - lmin) * directFactor);
                    lgOut = lg;
                } else {
                    ld = lmax;
                    lgOut = 0;
                }
                out[c] = cv::Vec2b(cv::saturate_cast<uchar>(ld), cv::saturate_cast<uchar>(lgOut));
            }
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

// Adds one bit of one channel to every pixel of the decoded map and updates
// the min/max map. A channel that became NaN stays NaN.
void decodePair(const cv::Mat& pattern, const cv::Mat& inverse, const cv::Mat& directGlobal, bool robust, int m,
                int channel, float bitValue, bool firstPair, cv::Mat& decoded, cv::Mat& minMax)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::parallel_for_(cv::Range(0, decoded.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            const uchar* p = pattern.ptr<uchar>(r);
            const uchar* q = inverse.ptr<uchar>(r);
            float* dec = decoded.ptr<float>(r) + channel;
            uchar* mm = minMax.ptr<uchar>(r);
            const uchar* dg = robust ? directGlobal.ptr<uchar>(r) : nullptr;
            for (int c = 0; c < decoded.cols; ++c) {
                const int pv = p[c], qv = q[c];
                const int lo = std::min(pv, qv), hi = std::max(pv, qv);
                if (firstPair) {
                    mm[2 * c] = static_cast<uchar>(lo);
                    mm[2 * c + 1] = static_cast<uchar>(hi);
                } else {
                    if (lo < mm[2 * c])
                        mm[2 * c] = static_cast<uchar>(lo);
                    if (hi > mm[2 * c + 1])
                        mm[2 * c + 1] = static_cast<uchar>(hi);
                }
                float& value = dec[2 * c];
                if (value != value)
                    continue;
                int bit;
                if (!robust) {
                    bit = pv > qv;
                } else {
                    const int ld = dg[2 * c], lg = dg[2 * c + 1];
                    if (ld < m) {
                        value = nan;
                        continue;
                    }
                    if (ld > lg)
                        bit = pv > qv;
                    else if (pv <= ld && qv >= lg)
                        bit = 0;
                    else if (pv >= lg && qv <= ld)
                        bit = 1;
                    else {
                        value = nan;
                        continue;
                    }
                }
                if (bit)
                    value += bitValue;
            }
        }
    });
}

void convertToProjector(cv::Mat& decoded, cv::Size projectorSize)
{
    const int offsets[2] = {grayCodeOffset(projectorSize.width), grayCodeOffset(projectorSize.height)};
    const int limits[2] = {projectorSize.width - 1, projectorSize.height - 1};
    cv::parallel_for_(cv::Range(0, decoded.rows), [&](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            float* dec = decoded.ptr<float>(r);
            for (int k = 0; k < 2 * decoded.cols; ++k) {
                const float v = dec[k];
                if (v != v)
                    continue;
                const int ch = k & 1;
                const std::uint32_t g = static_cast<std::uint32_t>(v);
                const int value = static_cast<int>(grayDecode(g)) - offsets[ch];
                dec[k] = static_cast<float>(std::min(std::max(value, 0), limits[ch]));
            }
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
            result.error = "image " + std::to_string(pattern.empty() ? 2 + 2 * k : 3 + 2 * k) + " cannot be read";
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
            dec = cv::Mat::zeros(pattern.size(), CV_32FC2);
            mm.create(pattern.size(), CV_8UC2);
        } else if (pattern.size() != dec.size() || inverse.size() != dec.size()) {
            result.error = "images " + std::to_string(2 + 2 * k) + " and " + std::to_string(3 + 2 * k) +
                           " differ in size from the first pair";
            return result;
        }
        decodePair(pattern, inverse, directGlobal, robust, std::max(m, 0), channel,
                   static_cast<float>(1u << bitPos), k == 0, dec, mm);
    }
    if ((flags & DecodeToProjector) && !dec.empty())
        convertToProjector(dec, projectorSize);
    decoded = dec;
    minMax = mm;
    result.ok = true;
    return result;
}

bool decodeGrayCode(const std::vector<std::string>& files, cv::Mat& decoded, cv::Mat& minMax,
                    cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m, std::string* error)
{
    const DecodeResult r = decodeGrayCode(
        static_cast<int>(files.size()), [&](int i) { return loadGrayscaleImage(files[static_cast<size_t>(i)]); },
        decoded, minMax, projectorSize, flags, directGlobal, m);
    if (error)
        *error = r.error;
    return r.ok;
}

bool decodeGrayCode(const std::vector<cv::Mat>& images, cv::Mat& decoded, cv::Mat& minMax, cv::Size projectorSize,
                    int flags, const cv::Mat& directGlobal, int m, std::string* error)
{
    const DecodeResult r = decodeGrayCode(
        static_cast<int>(images.size()), [&](int i) { return images[static_cast<size_t>(i)]; }, decoded, minMax,
        projectorSize, flags, directGlobal, m);
    if (error)
        *error = r.error;
    return r.ok;
}

DecodeResult decodeImageSetImages(int imageCount, const SetImageSource& image, cv::Mat& decoded, cv::Mat& minMax,
                                  cv::Size projectorSize, float b, int m, const std::function<bool()>& abort)
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
    return decodeGrayCode(imageCount, image, decoded, minMax, projectorSize, DecodeAll, directGlobal, m, abort);
}
