#include "core/structured_light/gray_code_pattern.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>

int grayCodeBitCount(int n)
{
    if (n <= 2)
        return 1;
    int c = 2;
    while (c < 31 && (std::int64_t(1) << c) < n)
        ++c;
    return c;
}

int grayCodeOffset(int n)
{
    const std::int64_t range = std::int64_t(1) << grayCodeBitCount(n);
    return n > 0 ? static_cast<int>((range - n) / 2) : static_cast<int>(range / 2);
}

int grayCodeImageCount(int width, int height)
{
    return 2 + 2 * (grayCodeBitCount(width) + grayCodeBitCount(height));
}

cv::Mat grayCodeImage(int rows, int cols, std::uint32_t colMask, int colOffset, std::uint32_t rowMask,
                      int rowOffset, bool inverted)
{
    if (rows <= 0 || cols <= 0)
        return cv::Mat();
    const uchar on = inverted ? 0 : 255;
    const uchar off = inverted ? 255 : 0;
    cv::Mat image(rows, cols, CV_8UC1);
    std::vector<uchar> colOn(static_cast<size_t>(cols));
    for (int c = 0; c < cols; ++c)
        colOn[c] = (colMask & grayEncode(static_cast<std::uint32_t>(c + colOffset))) != 0;
    for (int r = 0; r < rows; ++r) {
        const bool rowOn = (rowMask & grayEncode(static_cast<std::uint32_t>(r + rowOffset))) != 0;
        uchar* p = image.ptr<uchar>(r);
        for (int c = 0; c < cols; ++c)
            p[c] = (rowOn || colOn[c]) ? on : off;
    }
    return image;
}

GrayCodeSequence::GrayCodeSequence(int height_, int width_)
    : height(height_), width(width_), colBits(grayCodeBitCount(width_)), rowBits(grayCodeBitCount(height_)),
      maxBits(std::max(colBits, rowBits))
{
    if (height > 0 && width > 0)
        pattern = cv::Mat::zeros(height, width, CV_8UC1);
}

cv::Mat GrayCodeSequence::nextPattern()
{
    const int i = index;
    const int L = maxBits;
    const int colOffset = grayCodeOffset(width);
    const int rowOffset = grayCodeOffset(height);
    cv::Mat image;
    if (i == 0) {
        image = grayCodeImage(height, width, 0, colOffset, 0, rowOffset, true);
    } else if (i == 1) {
        image = grayCodeImage(height, width, 0, colOffset, 0, rowOffset, false);
    } else if (i >= 2 && i < 2 * L + 2) {
        const int k = i / 2 - 1;
        if (k < colBits)
            image =
                grayCodeImage(height, width, 1u << (colBits - 1 - k), colOffset, 0, rowOffset, i % 2 == 1);
    } else if (i >= 2 * L + 2 && i < 4 * L + 2) {
        const int k = i / 2 - L - 1;
        if (k < rowBits)
            image =
                grayCodeImage(height, width, 0, colOffset, 1u << (rowBits - 1 - k), rowOffset, i % 2 == 1);
    }
    pattern = image;
    return image;
}

int writeGrayCodePatterns(const std::string& folder, int width, int height, std::string* error)
{
    if (error)
        error->clear();
    if (width <= 0 || height <= 0) {
        if (error)
            *error = "the projector size " + std::to_string(width) + "x" + std::to_string(height) +
                     " is not positive";
        return 0;
    }
    GrayCodeSequence sequence(height, width);
    int count = 0;
    while (sequence.index + 2 <= 4 * sequence.maxBits + 2) {
        ++sequence.index;
        const cv::Mat image = sequence.nextPattern();
        if (image.empty())
            continue;
        char name[32];
        std::snprintf(name, sizeof(name), "%02d.png", count);
        const std::string path = folder + "/" + name;
        bool written = false;
        try {
            written = cv::imwrite(path, image);
        } catch (const cv::Exception& e) {
            if (error)
                *error = "cannot write " + path + ": " + e.what();
            return count;
        }
        if (!written) {
            if (error)
                *error = "cannot write " + path;
            return count;
        }
        ++count;
    }
    return count;
}
