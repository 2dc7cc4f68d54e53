#pragma once

// Decoding of captured Gray code sets (see gray_code_pattern.h) into projector
// coordinates, with direct/global light separation.
//
// The robust classification follows Xu and Aliaga's rules on top of the
// direct/global separation of Nayar et al. ("Fast separation of direct and
// global components of a scene using high frequency illumination", 2006):
// from a few high-frequency patterns each camera pixel gets its direct light
// Ld and global light Lg, and a bit is decided only where these make the
// pattern and inverse levels unambiguous.
//
// Maps, all of the camera image size:
//  - decoded map, CV_32FC2: channel 0 projector column x, channel 1 projector
//    row y, in projector pixels (pixel centres at integers); NaN where the
//    channel could not be decided. Both channels are decided independently.
//  - min/max map, CV_8UC2: the least and greatest grey level the pixel showed
//    in the pattern and inverse images (not white and black); max - min is
//    the pixel's contrast.
//  - direct/global map, CV_8UC2: Ld and Lg in grey levels, saturated to 255.

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

enum DecodeFlags {
    DecodeToProjector = 1, // turn the Gray code into projector coordinates (else the raw code sum)
    DecodeRobust = 2,      // classify with the direct/global map
    DecodeAll = 3
};

// Reads a file as 8-bit grey; an empty image when it gives no pixels or
// cannot be read.
cv::Mat loadGrayscaleImage(const std::string& path);

// Direct and global light per pixel from high-frequency pattern images (all
// of one size, 8-bit one channel; the first min(count, 10) are used) and the
// black level b (0 <= b < 1, brightness of an off projector pixel relative to
// an on one). With Lmax, Lmin the extremes of a pixel:
//   Lg' = trunc((Lmin - b Lmax) * 2 / (1 - b^2));
//   Lg' >= 1: Ld = trunc((Lmax - Lmin) / (1 - b)), Lg = Lg'; else Ld = Lmax, Lg = 0.
// Ld and Lg are saturated to 255 for every b in [0, 1), also where b so close
// to 1 makes the estimates exceed the range of int.
// Returns an empty map for no images, an empty image, another type, images of
// different sizes or b outside [0, 1).
cv::Mat separateDirectGlobal(const std::vector<cv::Mat>& images, float b);

// Indices, in the order they are taken, of the `count` pattern/inverse pairs
// used for the direct/global estimate in a set of n images, skipping the
// `skip` finest images: d = n - n/2 - count - skip + 2, then for
// i = 0 .. count-1 the images d - 1 + i and n/2 + d - 2 + i. Empty when
// n/2 - 1 < count + skip (too few images).
std::vector<int> directGlobalImageIndices(int n, int count, int skip);

// Source of the set's images by number (0 white, 1 black, then the pairs).
// It may return an empty image for an unreadable file.
using SetImageSource = std::function<cv::Mat(int index)>;

struct DecodeResult {
    bool ok = false;
    std::string error; // why the set was not decoded
};

// Decodes one set of imageCount images. The white and black images (0 and 1)
// are not read; every pair is read once and dropped after use, so only two
// images and the two output maps are held at a time.
// The set fails (both maps empty) when: imageCount is not
// grayCodeImageCount(projectorSize); an image is empty; a pattern or inverse
// image differs in size from the first pair; in robust mode the direct/global
// map is not CV_8UC2 of that size; the projector size is not positive; or
// `abort` (when given) returns true between pairs.
// m: least direct light (grey levels) for a pixel to be decoded (0 disables;
// above 255 no pixel is decided in robust mode, as no Ld reaches it).
// Converted values are clamped to 0 .. width-1 and 0 .. height-1.
DecodeResult decodeGrayCode(int imageCount, const SetImageSource& image, cv::Mat& decoded, cv::Mat& minMax,
                            cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m,
                            const std::function<bool()>& abort = {});

// The same for images in files, read with loadGrayscaleImage.
bool decodeGrayCode(const std::vector<std::string>& files, cv::Mat& decoded, cv::Mat& minMax,
                    cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m,
                    std::string* error = nullptr);

// The same for images already in memory.
bool decodeGrayCode(const std::vector<cv::Mat>& images, cv::Mat& decoded, cv::Mat& minMax,
                    cv::Size projectorSize, int flags, const cv::Mat& directGlobal, int m,
                    std::string* error = nullptr);

// The whole decoding of one set: direct/global estimate from the pairs that
// directGlobalImageIndices(imageCount, 4, 4) names, then decodeGrayCode with
// both flags. `error` says why a set failed.
DecodeResult decodeImageSetImages(int imageCount, const SetImageSource& image, cv::Mat& decoded,
                                  cv::Mat& minMax, cv::Size projectorSize, float b, int m,
                                  const std::function<bool()>& abort = {});

// True when x or y is NaN.
inline bool isNaNPoint(const cv::Point2f& p)
{
    return p.x != p.x || p.y != p.y;
}
