#include "core/lines/line_detection.h"

#include "core/lines/EdgeLineDetector.h"

#include <opencv2/calib3d.hpp>

#include <cmath>

void detectLineSegments(const cv::Mat& gray, std::vector<cv::Vec4f>& segments, int minLineLength,
                        double lineFitError, double maxLineGap, double maxLineError)
{
    const EdgeLineDetector detector(gray, lineFitError, minLineLength, maxLineGap, maxLineError);
    for (const auto& l : detector.lines())
        segments.emplace_back((float)l.first.x, (float)l.first.y, (float)l.second.x, (float)l.second.y);
}

LineLengthStatistics lineLengthStatistics(const std::vector<cv::Vec4f>& segments)
{
    LineLengthStatistics s;
    s.count = (int)segments.size();
    if (s.count == 0)
        return s;
    std::vector<double> len;
    len.reserve(segments.size());
    double sum = 0;
    for (const auto& v : segments) {
        len.push_back((double)std::hypot(v[2] - v[0], v[3] - v[1]));
        sum += len.back();
    }
    s.mean = sum / s.count;
    if (s.count > 1) {
        double sq = 0;
        for (const double l : len)
            sq += (l - s.mean) * (l - s.mean);
        s.stddev = std::sqrt(sq / (s.count - 1));
    }
    return s;
}

LineDetectionResult runLineDetection(const LineDetectionInput& in)
{
    LineDetectionResult r;
    if (in.gray.empty()) {
        r.error = "No image loaded";
        return r;
    }
    if (in.gray.type() != CV_8UC1) {
        r.error = "The image must be 8-bit grey";
        return r;
    }
    r.imageSize = in.gray.size();
    r.sizeMismatch = in.storedSize.area() > 0 && in.storedSize != r.imageSize;
    r.K = in.K.empty() ? cv::Mat() : in.K.clone();
    r.kc = in.kc.empty() ? cv::Mat() : in.kc.clone();
    const bool hasDistortion = !in.kc.empty() && cv::countNonZero(in.kc.reshape(1) != 0) > 0;
    if (in.K.rows == 3 && in.K.cols == 3 && hasDistortion) {
        const cv::Mat newK =
            cv::getOptimalNewCameraMatrix(in.K, in.kc, r.imageSize, 0.0, r.imageSize, nullptr, true);
        cv::undistort(in.gray, r.gray, in.K, in.kc, newK);
        if (!in.colour.empty())
            cv::undistort(in.colour, r.colour, in.K, in.kc, newK);
        r.K = newK;
        r.kc = cv::Mat();
        r.undistorted = true;
    } else {
        r.gray = in.gray;
        r.colour = in.colour;
    }
    detectLineSegments(r.gray, r.segments, in.minLineLength, in.lineFitError, in.maxLineGap, in.maxLineError);
    r.statistics = lineLengthStatistics(r.segments);
    r.ok = true;
    return r;
}
