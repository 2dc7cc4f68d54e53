#include "core/lines/line_detection.h"

#include "box_room.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

// detected length within 1.5 px and 2 degrees of some true segment
double precision(const std::vector<cv::Vec4f>& truth, const std::vector<cv::Vec4f>& detected)
{
    return synth::segmentRecall(detected, truth);
}

} // namespace

TEST(LineDetection, LengthStatisticsOfFewSegments)
{
    LineLengthStatistics s = lineLengthStatistics({});
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.mean, 0);
    EXPECT_EQ(s.stddev, 0);
    s = lineLengthStatistics({{0, 0, 3, 4}});
    EXPECT_EQ(s.count, 1);
    EXPECT_DOUBLE_EQ(s.mean, 5);
    EXPECT_EQ(s.stddev, 0);
    s = lineLengthStatistics({{0, 0, 3, 0}, {0, 0, 0, 4}, {1, 1, 4, 5}});
    EXPECT_EQ(s.count, 3);
    EXPECT_DOUBLE_EQ(s.mean, 4);
    EXPECT_DOUBLE_EQ(s.stddev, 1);
}

TEST(LineDetection, BadInputsAreReported)
{
    LineDetectionInput in;
    LineDetectionResult r = runLineDetection(in);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "No image loaded");
    in.gray = cv::Mat(40, 40, CV_8UC3, cv::Scalar::all(9));
    r = runLineDetection(in);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
}

TEST(LineDetection, DetectLineSegmentsAppends)
{
    const synth::BoxRoomScene s = synth::renderBoxRoom();
    std::vector<cv::Vec4f> segs{{1, 2, 3, 4}};
    detectLineSegments(s.image, segs, 0, 1.0, 6.0, 1.3);
    ASSERT_GT(segs.size(), 20u);
    EXPECT_EQ(segs[0], cv::Vec4f(1, 2, 3, 4));
}

TEST(LineDetection, SegmentsOfTheBoxRoomMatchTheTruth)
{
    // recall: true edge length covered by detections; precision: detected length on true edges
    struct Case {
        const char* what;
        synth::RoomView view;
        bool distorted;
        bool giveDistortion; // hand the coefficients to the run
        double minRecall, minPrecision;
    };
    const Case cases[] = {
        {"corner", synth::RoomView::Corner, false, false, 0.97, 0.97},
        {"level", synth::RoomView::Level, false, false, 0.97, 0.97},
        {"corner, distorted, undistorted by the run", synth::RoomView::Corner, true, true, 0.95, 0.95},
        {"level, distorted, undistorted by the run", synth::RoomView::Level, true, true, 0.95, 0.95},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        synth::BoxRoomOptions o;
        o.view = c.view;
        o.distorted = c.distorted;
        const synth::BoxRoomScene s = synth::renderBoxRoom(o);
        LineDetectionInput in;
        in.gray = s.image;
        cv::cvtColor(s.image, in.colour, cv::COLOR_GRAY2BGR);
        in.K = cv::Mat(s.K).clone();
        in.kc = s.kc.clone();
        in.storedSize = o.size;
        const cv::Mat grayBefore = in.gray.clone();
        const LineDetectionResult r = runLineDetection(in);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.undistorted, c.giveDistortion);
        EXPECT_FALSE(r.sizeMismatch);
        EXPECT_EQ(r.imageSize, o.size);
        EXPECT_EQ(cv::norm(in.gray, grayBefore, cv::NORM_INF), 0) << "input image changed";
        ASSERT_EQ(r.K.size(), cv::Size(3, 3));
        // the truth in the image the segments refer to: the undistorted image's camera matrix
        ASSERT_EQ(r.K.type(), CV_64F);
        const cv::Matx33d K = r.K;
        const auto truth = synth::visibleSegments(s.textureEdges, K, s.R, s.t, o.size);
        EXPECT_GE(synth::segmentRecall(truth, r.segments), c.minRecall);
        EXPECT_GE(precision(truth, r.segments), c.minPrecision);
        EXPECT_EQ(r.statistics.count, (int)r.segments.size());
        if (c.giveDistortion) {
            EXPECT_TRUE(r.kc.empty());
            EXPECT_EQ(r.colour.size(), o.size);
            // a second run from the same input gives the same segments and camera
            const LineDetectionResult again = runLineDetection(in);
            EXPECT_EQ(again.segments, r.segments);
            EXPECT_EQ(cv::norm(again.K, r.K, cv::NORM_INF), 0);
        } else {
            EXPECT_EQ(cv::norm(r.K, cv::Mat(s.K), cv::NORM_INF), 0);
        }
    }
}

TEST(LineDetection, UndistortsOnlyWithNonZeroCoefficients)
{
    synth::BoxRoomOptions o;
    o.supersample = 2;
    const synth::BoxRoomScene s = synth::renderBoxRoom(o);
    struct Case {
        const char* what;
        cv::Mat K, kc;
        bool undistorted;
    };
    const Case cases[] = {
        {"zero coefficients", cv::Mat(s.K), cv::Mat::zeros(1, 5, CV_64F), false},
        {"no coefficients", cv::Mat(s.K), cv::Mat(), false},
        {"no camera", cv::Mat(), cv::Mat(), false},
        {"coefficients without camera", cv::Mat(), (cv::Mat_<double>(1, 5) << -0.2, 0, 0, 0, 0), false},
        {"one coefficient", cv::Mat(s.K), (cv::Mat_<double>(1, 4) << 0, 0, 0.001, 0), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LineDetectionInput in;
        in.gray = s.image;
        in.K = c.K;
        in.kc = c.kc;
        const LineDetectionResult r = runLineDetection(in);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.undistorted, c.undistorted);
        if (!c.undistorted) {
            EXPECT_EQ(r.K.empty(), c.K.empty());
            EXPECT_EQ(cv::norm(r.gray, s.image, cv::NORM_INF), 0);
        }
    }
}

TEST(LineDetection, ReportsAStoredImageSizeThatDiffers)
{
    synth::BoxRoomOptions o;
    o.supersample = 1;
    const synth::BoxRoomScene s = synth::renderBoxRoom(o);
    LineDetectionInput in;
    in.gray = s.image;
    in.K = cv::Mat(s.K);
    for (const auto& sz : {cv::Size(0, 0), o.size, cv::Size(1280, 960)}) {
        SCOPED_TRACE(sz);
        in.storedSize = sz;
        EXPECT_EQ(runLineDetection(in).sizeMismatch, sz == cv::Size(1280, 960));
    }
}

TEST(LineDetection, BuildingPhotographGivesCountsOfTheOrderOfLsd)
{
    const cv::Mat img = cv::imread(std::string(TESSIMO_SAMPLE_DATA) + "/building.jpg", cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(img.empty());
    std::vector<cv::Vec4f> ours;
    detectLineSegments(img, ours, 0, 1.0, 6.0, 1.3);
    // LSD's segments at the same least length (9 chain pixels: 8 px end to end)
    std::vector<cv::Vec4f> lsd, lsdLong;
    cv::createLineSegmentDetector()->detect(img, lsd);
    for (const auto& v : lsd)
        if (std::hypot(v[2] - v[0], v[3] - v[1]) >= 8)
            lsdLong.push_back(v);
    EXPECT_GT(ours.size(), lsdLong.size() / 2);
    EXPECT_LT(ours.size(), lsdLong.size() * 2);
    // each segment is where an edge is: the image's gradient along it is strong
    cv::Mat gx, gy, mag;
    cv::Sobel(img, gx, CV_32F, 1, 0);
    cv::Sobel(img, gy, CV_32F, 0, 1);
    cv::magnitude(gx, gy, mag);
    cv::Mat dilated;
    cv::dilate(mag, dilated, cv::Mat::ones(3, 3, CV_8U));
    int weak = 0;
    for (const auto& v : ours) {
        const cv::Point2f m((v[0] + v[2]) / 2, (v[1] + v[3]) / 2);
        if (dilated.at<float>(cvRound(m.y), cvRound(m.x)) < 36)
            ++weak;
    }
    EXPECT_LT(weak, (int)ours.size() / 50);
}
