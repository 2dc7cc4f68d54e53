#pragma once

// Gray code stripe patterns for projector calibration.
//
// A projector of width x height pixels is coded by N = 2 + 2 (colBits + rowBits)
// images: white, black, then for every bit of the Gray code of the projector
// column (most significant first) a stripe pattern and its inverse, then the
// same for the projector row. The code range 0 .. 2^bits - 1 is centred on the
// projector: column c carries the code of c + colOffset, row r that of
// r + rowOffset. The decoder relies on exactly this order and bit rule.

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>

// Number of code bits for a projector dimension of n pixels: 1 for n <= 2,
// otherwise the smallest c >= 2 with 2^c >= n.
int grayCodeBitCount(int n);

// (2^bits - n) / 2 for the bit count of n: the code of pixel 0.
int grayCodeOffset(int n);

// x XOR (x >> 1).
inline std::uint32_t grayEncode(std::uint32_t x)
{
    return x ^ (x >> 1);
}

// Gray code back to binary.
inline std::uint32_t grayDecode(std::uint32_t g)
{
    g ^= g >> 1;
    g ^= g >> 2;
    g ^= g >> 4;
    g ^= g >> 8;
    g ^= g >> 16;
    return g;
}

// Number of pattern images for a projector of width x height pixels.
int grayCodeImageCount(int width, int height);

// A rows x cols CV_8UC1 image; pixel (r, c) is on when
// (colMask & grayEncode(c + colOffset)) + (rowMask & grayEncode(r + rowOffset))
// is not 0. On pixels are 255 and off pixels 0, swapped when inverted.
// Non-positive sizes give an empty image.
cv::Mat grayCodeImage(int rows, int cols, std::uint32_t colMask, int colOffset, std::uint32_t rowMask,
                      int rowOffset, bool inverted);

// Walks the pattern slots of a projector. The caller advances `index` before
// each nextPattern(); slots past a direction's bit count give an empty image.
class GrayCodeSequence {
public:
    GrayCodeSequence(int height, int width);

    // The image of slot `index` (also kept in `pattern`), or an empty image.
    cv::Mat nextPattern();

    int height;
    int width;
    cv::Mat pattern;
    int index = -1;
    int colBits;
    int rowBits;
    int maxBits;
};

// Writes the pattern images of a width x height projector into folder as
// 00.png, 01.png, ... in pattern order. Returns the number of files written;
// stops at the first file that cannot be written. Negative or zero sizes write
// nothing. On failure `error` (when given) says why, else it is cleared.
int writeGrayCodePatterns(const std::string& folder, int width, int height, std::string* error = nullptr);
