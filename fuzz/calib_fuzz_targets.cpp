// Core computations fed parameters and pixels made from arbitrary bytes: the
// Gray code decoder with its direct/global separation, the AX=YB solver and
// the stereo rectification. Each target checks the function's contract: a
// result of the documented shape and range, or a refusal that says why; the
// decoder is also compared with a plain pixel-by-pixel reading of its rule.

#include "fuzz_targets.h"

#include "core/calib/axyb_solver.h"
#include "core/calib/stereo_rectification.h"
#include "core/geometry/rotation_checks.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/gray_code_pattern.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzz_targets {

namespace {

// A target's check: a broken contract names itself and stops the process.
void expect(bool ok, const char* target, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz target %s: %s\n", target, what);
    std::abort();
}

// Reads the input front to back; past its end every value is 0. (Each read
// is a statement of its own: the order of a function's arguments is not
// defined.)
class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16()
    {
        const unsigned lo = u8();
        return static_cast<uint16_t>(lo | (unsigned(u8()) << 8));
    }
    uint32_t u32()
    {
        const uint32_t lo = u16();
        return lo | (static_cast<uint32_t>(u16()) << 16);
    }
    float rawFloat()
    {
        const uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    double rawDouble()
    {
        const uint64_t lo = u32();
        const uint64_t bits = lo | (static_cast<uint64_t>(u32()) << 32);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // A value in [lo, hi] in 65536 steps.
    double in(double lo, double hi) { return lo + (hi - lo) * u16() / 65535.0; }

private:
    const uint8_t* data_;
    size_t size_, pos_ = 0;
};

bool allFinite(const cv::Mat& m)
{
    return !m.empty() && cv::checkRange(m);
}

// ---------------------------------------------------------------------------
// Gray code decoder
// ---------------------------------------------------------------------------

// The direct/global estimate of one pixel as its header states it.
cv::Vec2b referenceDirectGlobal(int lo, int hi, float b)
{
    const double lg =
        std::trunc(static_cast<float>(lo - b * hi) * (2.0 / (1.0 - static_cast<double>(b) * b)));
    if (lg >= 1) {
        const double ld = std::trunc(static_cast<float>(hi - lo) * (1.f / (1.f - b)));
        return cv::Vec2b(static_cast<uchar>(std::min(ld, 255.0)), static_cast<uchar>(std::min(lg, 255.0)));
    }
    return cv::Vec2b(static_cast<uchar>(hi), 0);
}

// The decoder's rule read pixel by pixel: raw Gray code sums or projector
// coordinates, NaN where a bit was undecided; min/max over the pairs.
void referenceDecode(const std::vector<cv::Mat>& images, cv::Size projector, int flags, const cv::Mat& dg,
                     int m, cv::Mat& decoded, cv::Mat& minMax)
{
    const int bx = grayCodeBitCount(projector.width), by = grayCodeBitCount(projector.height);
    const cv::Size size = images[2].size();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    decoded.create(size, CV_32FC2);
    minMax.create(size, CV_8UC2);
    for (int r = 0; r < size.height; ++r)
        for (int c = 0; c < size.width; ++c) {
            float value[2] = {0, 0};
            int lo = 255, hi = 0;
            for (int k = 0; k < bx + by; ++k) {
                const int ch = k < bx ? 0 : 1;
                const int bit = k < bx ? bx - 1 - k : by - 1 - (k - bx);
                const int p = images[static_cast<size_t>(2 + 2 * k)].at<uchar>(r, c);
                const int q = images[static_cast<size_t>(3 + 2 * k)].at<uchar>(r, c);
                lo = std::min({lo, p, q});
                hi = std::max({hi, p, q});
                int one = -1; // -1: undecided
                if (!(flags & DecodeRobust)) {
                    one = p > q;
                } else {
                    const int ld = dg.at<cv::Vec2b>(r, c)[0], lg = dg.at<cv::Vec2b>(r, c)[1];
                    if (ld < std::max(m, 0))
                        one = -1;
                    else if (ld > lg)
                        one = p > q;
                    else if (p <= ld && q >= lg)
                        one = 0;
                    else if (p >= lg && q <= ld)
                        one = 1;
                }
                if (one < 0)
                    value[ch] = nan;
                else if (!std::isnan(value[ch]))
                    value[ch] += static_cast<float>(one << bit);
            }
            const int offsets[2] = {grayCodeOffset(projector.width), grayCodeOffset(projector.height)};
            const int limits[2] = {projector.width - 1, projector.height - 1};
            for (int ch = 0; ch < 2; ++ch)
                if ((flags & DecodeToProjector) && !std::isnan(value[ch])) {
                    const int v =
                        static_cast<int>(grayDecode(static_cast<uint32_t>(value[ch]))) - offsets[ch];
                    value[ch] = static_cast<float>(std::min(std::max(v, 0), limits[ch]));
                }
            decoded.at<cv::Vec2f>(r, c) = cv::Vec2f(value[0], value[1]);
            minMax.at<cv::Vec2b>(r, c) = cv::Vec2b(static_cast<uchar>(lo), static_cast<uchar>(hi));
        }
}

bool sameDecodedMaps(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size() || a.type() != CV_32FC2 || b.type() != CV_32FC2)
        return false;
    for (int r = 0; r < a.rows; ++r)
        for (int c = 0; c < a.cols; ++c)
            for (int ch = 0; ch < 2; ++ch) {
                const float x = a.at<cv::Vec2f>(r, c)[ch], y = b.at<cv::Vec2f>(r, c)[ch];
                if (std::isnan(x) != std::isnan(y) || (!std::isnan(x) && x != y))
                    return false;
            }
    return true;
}

// The black level: a fraction in 65536 steps, 1 - 2^-k, or any float.
float blackLevel(Bytes& in)
{
    switch (in.u8() % 3) {
    case 0:
        return static_cast<float>(in.u16() / 65536.0);
    case 1:
        return 1.f - std::ldexp(1.f, -static_cast<int>(in.u8() % 30));
    default:
        return in.rawFloat();
    }
}

} // namespace

// Layout: projector width and height, image width (vectorised part and
// remainder) and height, m, b, flags, a count change, a damaged image, then
// the pixels of the images and of a direct/global map.
void grayCodeDecoder(const uint8_t* data, size_t size)
{
    const char* const name = "gray_code_decoder";
    Bytes in(data, size);
    cv::Size projector, image;
    projector.width = in.u8() % 40 + 1;
    projector.height = in.u8() % 20 + 1;
    image.width = in.u8() % 48 + 1;
    image.height = in.u8() % 3 + 1;
    const int m = static_cast<int>(in.u16() % 700) - 4;
    const float b = blackLevel(in);
    const int flags = in.u8() % 4;
    const int countChange = static_cast<int>(in.u8() % 8) - 1; // mostly 0, sometimes -1, +1 .. +6
    const int damaged = in.u8();

    const int expected = grayCodeImageCount(projector.width, projector.height);
    const int count = expected + (countChange > 1 ? 0 : countChange);
    std::vector<cv::Mat> images;
    for (int i = 0; i < count; ++i) {
        cv::Mat im(image, CV_8UC1);
        for (auto it = im.begin<uchar>(); it != im.end<uchar>(); ++it)
            *it = in.u8();
        images.push_back(im);
    }
    cv::Mat dg(image, CV_8UC2);
    for (auto it = dg.begin<cv::Vec2b>(); it != dg.end<cv::Vec2b>(); ++it) {
        (*it)[0] = in.u8();
        (*it)[1] = in.u8();
    }
    // One image in 8 unreadable or of another size.
    if (damaged < 2 * count && damaged % 2 == 0 && damaged / 2 >= 2)
        images[static_cast<size_t>(damaged / 2)] =
            damaged % 4 == 0 ? cv::Mat() : cv::Mat(image.height + 1, image.width, CV_8UC1, cv::Scalar(7));
    const bool intact = count == expected && !(damaged < 2 * count && damaged % 2 == 0 && damaged / 2 >= 2);

    // The separation alone, against its formulas.
    std::vector<cv::Mat> estimateImages(images.begin() + std::min<size_t>(2, images.size()),
                                        images.begin() + std::min<size_t>(12, images.size()));
    const cv::Mat separated = separateDirectGlobal(estimateImages, b);
    const bool validB = b >= 0.f && b < 1.f;
    bool sameSizes = !estimateImages.empty();
    for (const cv::Mat& e : estimateImages)
        sameSizes = sameSizes && !e.empty() && e.size() == estimateImages[0].size();
    expect(separated.empty() == !(validB && sameSizes), name, "direct/global map given or refused wrongly");
    if (!separated.empty()) {
        expect(separated.type() == CV_8UC2 && separated.size() == estimateImages[0].size(), name,
               "direct/global map of the wrong shape");
        for (int r = 0; r < separated.rows; ++r)
            for (int c = 0; c < separated.cols; ++c) {
                int lo = 255, hi = 0;
                for (size_t i = 0; i < std::min<size_t>(estimateImages.size(), 10); ++i) {
                    lo = std::min<int>(lo, estimateImages[i].at<uchar>(r, c));
                    hi = std::max<int>(hi, estimateImages[i].at<uchar>(r, c));
                }
                expect(separated.at<cv::Vec2b>(r, c) == referenceDirectGlobal(lo, hi, b), name,
                       "direct/global estimate differs from its formulas");
            }
    }

    // The decoder with the map from the bytes, against the plain rule.
    cv::Mat decoded, minMax;
    std::string error;
    const bool ok = decodeGrayCode(images, decoded, minMax, projector, flags, dg, m, &error);
    expect(ok == intact, name, "set decoded or refused wrongly");
    expect(ok ? !decoded.empty() && !minMax.empty() : decoded.empty() && minMax.empty() && !error.empty(),
           name, "maps or error do not match the outcome");
    if (ok) {
        cv::Mat refDecoded, refMinMax;
        referenceDecode(images, projector, flags, dg, m, refDecoded, refMinMax);
        expect(sameDecodedMaps(decoded, refDecoded), name, "decoded map differs from the pixel rule");
        expect(minMax.type() == CV_8UC2 && cv::norm(minMax, refMinMax, cv::NORM_INF) == 0, name,
               "min/max map differs from the pixel levels");
    }

    // The whole set as the dialog decodes it: estimate, then robust decoding.
    const DecodeResult whole = decodeImageSetImages(
        count, [&](int i) { return i >= 0 && i < count ? images[static_cast<size_t>(i)] : cv::Mat(); },
        decoded, minMax, projector, b, m);
    expect(whole.ok ? decoded.type() == CV_32FC2 && decoded.size() == image
                    : decoded.empty() && minMax.empty() && !whole.error.empty(),
           name, "set result does not match its outcome");
    for (int r = 0; whole.ok && r < decoded.rows; ++r)
        for (int c = 0; c < decoded.cols; ++c) {
            const cv::Vec2f v = decoded.at<cv::Vec2f>(r, c);
            expect((std::isnan(v[0]) || (v[0] >= 0 && v[0] <= projector.width - 1)) &&
                       (std::isnan(v[1]) || (v[1] >= 0 && v[1] <= projector.height - 1)),
                   name, "decoded value outside the projector");
        }
}

// ---------------------------------------------------------------------------
// AX=YB solver
// ---------------------------------------------------------------------------

namespace {

cv::Mat rotationFrom(Bytes& in)
{
    // Mostly angles within a few turns; one in four any double.
    cv::Vec3d r;
    const bool raw = in.u8() % 4 == 0;
    for (int k = 0; k < 3; ++k)
        r[k] = raw ? in.rawDouble() : in.in(-7, 7);
    if (!cv::checkRange(r))
        r = cv::Vec3d(0, 0, 0);
    cv::Mat R;
    cv::Rodrigues(r, R);
    return R;
}

cv::Mat translationFrom(Bytes& in, bool raw)
{
    cv::Mat t(3, 1, CV_64F);
    for (int k = 0; k < 3; ++k)
        t.at<double>(k) = raw ? in.rawDouble() : in.in(-2000, 2000);
    return t;
}

double rotationError(const cv::Mat& a, const cv::Mat& b)
{
    return cv::norm(a - b, cv::NORM_INF);
}

} // namespace

// Layout: pair count, mode, then X and Y (rotation, translation), then per
// pair A (rotation, translation) and, for unrelated pairs, B as well.
// Related pairs satisfy A X = Y B exactly.
void axybSolver(const uint8_t* data, size_t size)
{
    const char* const name = "axyb_solver";
    Bytes in(data, size);
    const int n = in.u8() % 12;
    const uint8_t mode = in.u8();
    const bool related = (mode & 1) == 0;
    const bool rawTranslations = (mode & 2) != 0;
    const bool uneven = (mode & 12) == 12; // one list one entry short

    const cv::Mat RX = rotationFrom(in), tX = translationFrom(in, rawTranslations);
    const cv::Mat RY = rotationFrom(in), tY = translationFrom(in, rawTranslations);
    std::vector<cv::Mat> RA, tA, RB, tB;
    for (int i = 0; i < n; ++i) {
        RA.push_back(rotationFrom(in));
        tA.push_back(translationFrom(in, rawTranslations));
        if (related) {
            // A X = Y B: RB = RY^T RA RX, tB = RY^T (RA tX + tA - tY).
            RB.push_back(RY.t() * RA.back() * RX);
            tB.push_back(RY.t() * (RA.back() * tX + tA.back() - tY));
        } else {
            RB.push_back(rotationFrom(in));
            tB.push_back(translationFrom(in, rawTranslations));
        }
    }
    if (uneven && n > 0)
        tB.pop_back();

    cv::Mat rx, tx, ry, ty;
    std::string error;
    const bool ok = tfc::solveAXYB(RA, tA, RB, tB, rx, tx, ry, ty, error);
    if (!ok) {
        expect(!error.empty() && rx.empty() && tx.empty() && ry.empty() && ty.empty(), name,
               "a refusal without a reason or with outputs");
    } else {
        expect(!uneven && n >= 3, name, "solved lists of different lengths or fewer than 3 pairs");
        std::string message;
        expect(rx.size() == cv::Size(3, 3) && ry.size() == cv::Size(3, 3) && tx.size() == cv::Size(1, 3) &&
                   ty.size() == cv::Size(1, 3) && rx.type() == CV_64F && ty.type() == CV_64F,
               name, "results of the wrong shape");
        expect(allFinite(rx) && allFinite(tx) && allFinite(ry) && allFinite(ty), name, "results not finite");
        expect(checkRotationMatrix(rx, message) && checkRotationMatrix(ry, message), name,
               "a result rotation that is not a rotation");
        if (related && !rawTranslations) {
            // Exact pairs that determine X and Y give them back.
            expect(rotationError(rx, RX) < 1e-6 && rotationError(ry, RY) < 1e-6, name,
                   "exact pairs give other rotations");
            double scale = std::max(cv::norm(tX), cv::norm(tY));
            for (int i = 0; i < n; ++i)
                scale = std::max(
                    {scale, cv::norm(tA[static_cast<size_t>(i)]), cv::norm(tB[static_cast<size_t>(i)])});
            expect(cv::norm(tx - tX) <= 1e-6 * (1 + scale) && cv::norm(ty - tY) <= 1e-6 * (1 + scale), name,
                   "exact pairs give other translations");
        }
    }

    // The closed form itself: any lists of one length give an answer, lists
    // of different lengths its assertion.
    try {
        tfc::shah(RA, tA, RB, tB, rx, tx, ry, ty);
        expect(!uneven || n == 0, name, "shah accepted lists of different lengths");
        expect(rx.size() == cv::Size(3, 3) && ry.size() == cv::Size(3, 3), name, "shah's rotations not 3x3");
    } catch (const cv::Exception& e) {
        expect(uneven && n > 0 && e.code == cv::Error::StsAssert, name, "shah raised on lists of one length");
    }
}

// ---------------------------------------------------------------------------
// Stereo rectification
// ---------------------------------------------------------------------------

namespace {

cv::Mat cameraMatrixFrom(Bytes& in)
{
    cv::Matx33d K = cv::Matx33d::eye();
    if (in.u8() % 8 == 0) { // any doubles
        for (int k = 0; k < 9; ++k)
            K.val[k] = in.rawDouble();
    } else {
        K(0, 0) = in.in(-200, 5000);
        K(1, 1) = in.in(-200, 5000);
        K(0, 1) = in.u8() % 4 == 0 ? in.in(-50, 50) : 0;
        K(0, 2) = in.in(-500, 3000);
        K(1, 2) = in.in(-500, 3000);
    }
    return cv::Mat(K, true);
}

cv::Mat distortionFrom(Bytes& in)
{
    static const int kCounts[] = {0, 4, 5, 8, 12, 14, 3};
    const int count = kCounts[in.u8() % 7];
    if (count == 0)
        return cv::Mat();
    const bool raw = in.u8() % 8 == 0;
    cv::Mat kc(1, count, CV_64F);
    for (int k = 0; k < count; ++k)
        kc.at<double>(k) = raw ? in.rawDouble() : in.in(-1, 1) * (k < 2 ? 1.0 : 0.1);
    return kc;
}

} // namespace

// Layout: both cameras (matrix, distortion), the calibrated and the new
// image size, the pose of the secondary camera, the flags and alpha.
void stereoRectification(const uint8_t* data, size_t size)
{
    const char* const name = "stereo_rectification";
    Bytes in(data, size);
    StereoRectifyInput input;
    for (int c = 0; c < 2; ++c) {
        input.K[static_cast<size_t>(c)] = cameraMatrixFrom(in);
        input.kc[static_cast<size_t>(c)] = distortionFrom(in);
    }
    input.imageSize.width = static_cast<int>(in.u16()) - 2;
    input.imageSize.height = static_cast<int>(in.u16()) - 2;
    // Remap tables of at most 64 x 64 keep a run short.
    input.newImageSize.width = in.u8() % 66 - 1;
    input.newImageSize.height = in.u8() % 66 - 1;
    cv::Vec3d r;
    for (int k = 0; k < 3; ++k)
        r[k] = in.in(-3.2, 3.2);
    if (in.u8() % 4 == 0)
        r = cv::Vec3d(0, 0, 0);
    cv::Rodrigues(r, input.R);
    const bool rawT = in.u8() % 8 == 0;
    input.T = cv::Mat(3, 1, CV_64F);
    for (int k = 0; k < 3; ++k)
        input.T.at<double>(k) = rawT ? in.rawDouble() : (in.u8() % 3 == 0 ? 0.0 : in.in(-500, 500));
    const uint8_t options = in.u8();
    input.zeroDisparity = (options & 1) != 0;
    input.alpha = (options & 2) ? in.rawDouble() : in.in(-0.5, 1.5);

    StereoRectification rect;
    std::string error;
    bool ok = false;
    try {
        ok = rectifyStereo(input, rect, error);
    } catch (...) {
        expect(false, name, "rectifyStereo let an exception out");
    }
    if (!ok) {
        expect(!error.empty() && rect.P0.empty() && !rect.hasMaps(), name,
               "a refusal without a reason or with results");
        return;
    }
    expect(rect.R0.size() == cv::Size(3, 3) && rect.R1.size() == cv::Size(3, 3) &&
               rect.P0.size() == cv::Size(4, 3) && rect.P1.size() == cv::Size(4, 3) &&
               rect.Q.size() == cv::Size(4, 4),
           name, "results of the wrong shape");
    expect(allFinite(rect.R0) && allFinite(rect.R1) && allFinite(rect.P0) && allFinite(rect.P1), name,
           "results not finite");
    expect(rect.P0.at<double>(0, 0) > 0 && rect.P1.at<double>(1, 1) > 0, name, "a focal length not positive");
    expect(rect.hasMaps() && rect.map1[0].size() == input.newImageSize && rect.map1[1].type() == CV_16SC2 &&
               rect.map2[1].type() == CV_16UC1,
           name, "remap tables of the wrong shape");
    // Both rectified frames share one orientation, and the baseline lies
    // along their x axis (side by side) or y axis (above each other).
    const cv::Mat common = rect.R1 * input.R * rect.R0.t();
    expect(cv::norm(common - cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF) < 1e-6, name,
           "the rectified frames are not parallel");
    const cv::Mat baseline = rect.R1 * input.T;
    const int along = rect.vertical() ? 1 : 0;
    const double length = std::abs(baseline.at<double>(along));
    for (int k = 0; k < 3; ++k)
        expect(length > 0 && (k == along || std::abs(baseline.at<double>(k)) <= 1e-6 * length), name,
               "the baseline is not along the rectified rows or columns");
    if (input.zeroDisparity)
        expect(rect.P0.at<double>(0, 2) == rect.P1.at<double>(0, 2) &&
                   rect.P0.at<double>(1, 2) == rect.P1.at<double>(1, 2),
               name, "principal points differ with CALIB_ZERO_DISPARITY");

    const std::vector<Sensor> cameras = rectifiedCameras(rect, "A", "B");
    expect(cameras.size() == 2 && cameras[0].name == "A_rect" && cameras[1].name == "B_rect", name,
           "rectified cameras misnamed");
    std::string writeError;
    expect(writeRectificationFile(writeInput("rectification.yml", nullptr, 0), rect, writeError), name,
           "rectification file not written");
    const cv::Mat rectified =
        rectifyImage(cv::Mat(input.newImageSize, CV_8UC3, cv::Scalar(1, 2, 3)), rect, 1);
    expect(rectified.size() == input.newImageSize, name, "rectified image of another size");
}

} // namespace fuzz_targets
