#include "core/structured_light/projector_corners.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>

void extractProjectorCorners(const cv::Mat& decoded, const cv::Mat& minMax,
                             const std::vector<cv::Point2f>& camCorners,
                             std::vector<cv::Point2f>& projCorners, std::vector<int>& failedCorners,
                             const ProjectorCornerOptions& options, std::vector<std::string>* messages)
{
    projCorners.clear();
    failedCorners.clear();
    const bool mapsOk = !decoded.empty() && decoded.type() == CV_32FC2 && minMax.type() == CV_8UC2 &&
                        minMax.size() == decoded.size();
    const float h = static_cast<float>(options.window / 2);
    std::vector<cv::Point2f> source, target, inSource, inTarget;
    for (size_t i = 0; i < camCorners.size(); ++i) {
        const float x = camCorners[i].x, y = camCorners[i].y;
        const int pos = static_cast<int>(i);
        if (!mapsOk || !(x > h && y > h && x + h < decoded.cols && y + h < decoded.rows) || h <= 0) {
            failedCorners.push_back(pos);
            continue;
        }
        source.clear();
        target.clear();
        int windowPixels = 0;
        for (int r = static_cast<int>(y - h); r < y + h; ++r) {
            const cv::Vec2f* dec = decoded.ptr<cv::Vec2f>(r);
            const cv::Vec2b* mm = minMax.ptr<cv::Vec2b>(r);
            for (int c = static_cast<int>(x - h); c < x + h; ++c) {
                ++windowPixels;
                const cv::Vec2f d = dec[c];
                if (d[0] != d[0] || d[1] != d[1])
                    continue;
                if (mm[c][1] - mm[c][0] < options.threshold)
                    continue;
                source.emplace_back(static_cast<float>(c), static_cast<float>(r));
                target.emplace_back(d[0], d[1]);
            }
        }
        if (source.size() < 4 || source.size() < options.minValidShare * windowPixels) {
            failedCorners.push_back(pos);
            continue;
        }
        cv::Mat H;
        try {
            H = cv::findHomography(source, target, options.lmeds ? cv::LMEDS : cv::RANSAC,
                                   options.reprojThreshold, cv::noArray(), 2000, 0.995);
        } catch (const cv::Exception& e) {
            if (messages)
                messages->push_back(e.what());
            failedCorners.push_back(pos);
            continue;
        }
        if (H.empty()) {
            failedCorners.push_back(pos);
            continue;
        }
        H.convertTo(H, CV_64F);
        // The decoded targets are whole projector pixels, so an honest sample
        // may miss the model by up to half a pixel in each direction; the
        // robust fit only picks the model, and a least-squares fit over every
        // sample within that bound (or the user's threshold, if larger) gives
        // the corner.
        if (options.inlierFloor > 0) {
            const double bound = std::max(options.lmeds ? 0.0 : options.reprojThreshold, options.inlierFloor);
            const cv::Matx33d Hm(H);
            inSource.clear();
            inTarget.clear();
            for (size_t k = 0; k < source.size(); ++k) {
                const cv::Vec3d p = Hm * cv::Vec3d(source[k].x, source[k].y, 1);
                const double ex = p[0] / p[2] - target[k].x, ey = p[1] / p[2] - target[k].y;
                if (ex * ex + ey * ey <= bound * bound) {
                    inSource.push_back(source[k]);
                    inTarget.push_back(target[k]);
                }
            }
            if (inSource.size() >= 8) {
                try {
                    cv::Mat refined = cv::findHomography(inSource, inTarget, 0);
                    if (!refined.empty() && cv::checkRange(refined))
                        refined.convertTo(H, CV_64F);
                } catch (const cv::Exception&) {
                    // keep the robust model
                }
            }
        }
        const double* hp = H.ptr<double>();
        const double X = hp[0] * x + hp[1] * y + hp[2];
        const double Y = hp[3] * x + hp[4] * y + hp[5];
        const double Z = hp[6] * x + hp[7] * y + hp[8];
        const double px = X / Z, py = Y / Z;
        if (!std::isfinite(px) || !std::isfinite(py)) {
            failedCorners.push_back(pos);
            continue;
        }
        projCorners.emplace_back(static_cast<float>(px), static_cast<float>(py));
    }
}
