#include "core/structured_light/gray_code_pattern.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

TEST(GrayCodePattern, BitCountsAndOffsets)
{
    struct Case {
        int n, bits, offset;
    } cases[] = {{1, 1, 0},     {2, 1, 0},       {3, 2, 0},       {768, 10, 128}, {800, 10, 112},
                 {1024, 10, 0}, {1025, 11, 511}, {1280, 11, 384}, {512, 9, 0},    {2048, 11, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(grayCodeBitCount(c.n), c.bits);
        EXPECT_EQ(grayCodeOffset(c.n), c.offset);
    }
    EXPECT_EQ(grayCodeImageCount(1024, 768), 42);
    EXPECT_EQ(grayCodeImageCount(1280, 800), 44);
    EXPECT_EQ(grayCodeImageCount(2048, 512), 42);
}

TEST(GrayCodePattern, GrayCodeRoundTripsAndNeighboursDifferInOneBit)
{
    for (std::uint32_t x = 0; x < 5000; ++x) {
        EXPECT_EQ(grayDecode(grayEncode(x)), x);
        EXPECT_EQ(__builtin_popcount(grayEncode(x) ^ grayEncode(x + 1)), 1);
    }
}

// The slot walk yields white, black, the column pairs (most significant bit
// first) and the row pairs; every image and its inverse sum to 255.
TEST(GrayCodePattern, SequenceOrderFollowsThePatternTable)
{
    struct Case {
        int width, height;
    } cases[] = {{1024, 768}, {1280, 800}, {2048, 512}, {2, 5}, {37, 19}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        GrayCodeSequence seq(c.height, c.width);
        std::vector<cv::Mat> images;
        while (seq.index + 2 <= 4 * seq.maxBits + 2) {
            ++seq.index;
            cv::Mat image = seq.nextPattern();
            if (!image.empty())
                images.push_back(image.clone());
        }
        ASSERT_EQ(static_cast<int>(images.size()), grayCodeImageCount(c.width, c.height));
        EXPECT_EQ(cv::countNonZero(images[0] != 255), 0);
        EXPECT_EQ(cv::countNonZero(images[1]), 0);
        const int bx = seq.colBits, by = seq.rowBits;
        const int colOffset = grayCodeOffset(c.width), rowOffset = grayCodeOffset(c.height);
        for (int k = 0; k < bx + by; ++k) {
            const cv::Mat& p = images[2 + 2 * k];
            const cv::Mat& q = images[3 + 2 * k];
            ASSERT_EQ(p.size(), cv::Size(c.width, c.height));
            cv::Mat sum;
            cv::add(p, q, sum, cv::noArray(), CV_16U);
            EXPECT_EQ(cv::countNonZero(sum != 255), 0);
            for (int r = 0; r < c.height; r += 7)
                for (int col = 0; col < c.width; col += 5) {
                    const bool column = k < bx;
                    const int bit = column ? bx - 1 - k : by - 1 - (k - bx);
                    const std::uint32_t code = grayEncode(column ? col + colOffset : r + rowOffset);
                    ASSERT_EQ(p.at<uchar>(r, col), ((code >> bit) & 1) ? 255 : 0) << "k " << k;
                }
        }
        // Two adjacent columns differ in exactly one column pattern.
        for (int col = 0; col + 1 < c.width; ++col) {
            int differ = 0;
            for (int k = 0; k < bx; ++k)
                differ += images[2 + 2 * k].at<uchar>(0, col) != images[2 + 2 * k].at<uchar>(0, col + 1);
            ASSERT_EQ(differ, 1) << col;
        }
    }
}

TEST(GrayCodePattern, HighestColumnBitSplitsTheCodeRange)
{
    GrayCodeSequence seq(768, 1024);
    seq.index = 2;
    const cv::Mat p = seq.nextPattern();
    EXPECT_EQ(p.at<uchar>(0, 511), 0);
    EXPECT_EQ(p.at<uchar>(0, 512), 255);
    seq.index = 100;
    EXPECT_TRUE(seq.nextPattern().empty());
}

TEST(GrayCodePattern, WriterNamesFilesByNumber)
{
    QTemporaryDir dir;
    std::string error;
    EXPECT_EQ(writeGrayCodePatterns(dir.path().toStdString(), 1024, 768, &error), 42);
    EXPECT_TRUE(error.empty());
    const QStringList files = QDir(dir.path()).entryList({"*.png"}, QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 42);
    EXPECT_EQ(files.first(), "00.png");
    EXPECT_EQ(files.last(), "41.png");
    const cv::Mat row0 = cv::imread((dir.path() + "/22.png").toStdString(), cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(row0.size(), cv::Size(1024, 768));
    // Row 0 carries code 128: bit 9 of its Gray code is 0, row 767 (code 895) has it set.
    EXPECT_EQ(row0.at<uchar>(0, 0), 0);
    EXPECT_EQ(row0.at<uchar>(767, 0), 255);
}

TEST(GrayCodePattern, WriterRefusesBadSizesAndReportsFailedWrites)
{
    QTemporaryDir dir;
    struct Case {
        int w, h;
    } sizes[] = {{-1, 768}, {1024, -5}, {0, 768}};
    for (const Case& c : sizes) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        std::string error;
        EXPECT_EQ(writeGrayCodePatterns(dir.path().toStdString(), c.w, c.h, &error), 0);
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    std::string error;
    EXPECT_EQ(writeGrayCodePatterns((dir.path() + "/missing/folder").toStdString(), 64, 32, &error), 0);
    EXPECT_NE(error.find("00.png"), std::string::npos) << error;
}
