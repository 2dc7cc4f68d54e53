#include "core/geometry/corner_refinement.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <opencv2/flann.hpp>
#include <opencv2/imgproc.hpp>

namespace {

constexpr int kMinHalfWindow = 3;

// Index of the corner nearest to corner i (not i itself) by exhaustive
// search; used where the index search returns no other corner.
int nearestByScan(const std::vector<cv::Point2f>& corners, size_t i)
{
    int best = -1;
    float bestD = std::numeric_limits<float>::infinity();
    for (size_t k = 0; k < corners.size(); ++k) {
        if (k == i)
            continue;
        const float d =
            std::max(std::abs(corners[k].x - corners[i].x), std::abs(corners[k].y - corners[i].y));
        if (d < bestD) {
            bestD = d;
            best = int(k);
        }
    }
    return best;
}

} // namespace

void refineCornersAdaptive(const cv::Mat& gray, const std::vector<cv::Point2f>& corners, double winFactor,
                           cv::Size zeroZone, std::vector<cv::Point2f>& refined, std::vector<int>& winSizes)
{
    CV_Assert(!gray.empty() && gray.channels() == 1);
    CV_Assert(gray.depth() == CV_8U || gray.depth() == CV_32F);
    CV_Assert(std::isfinite(winFactor) && winFactor >= 0);
    // The factor is applied in float: beyond float's range it turns into
    // infinity and the window size into NaN.
    CV_Assert(winFactor <= FLT_MAX);
    // cornerSubPix needs an image of at least 2w + 5 pixels on each side.
    const int maxByImage = (std::min(gray.cols, gray.rows) - 5) / 2;
    if (maxByImage < 1)
        CV_Error(cv::Error::StsAssert, "the image is too small for a corner window (at least 7x7 pixels)");
    // A corner must lie on the image: cornerSubPix reads far outside it
    // without bounds (and crashes), and no detector reports such a corner.
    for (size_t i = 0; i < corners.size(); ++i) {
        const cv::Point2f c = corners[i];
        if (!(std::isfinite(c.x) && std::isfinite(c.y)))
            CV_Error(cv::Error::StsBadArg, cv::format("corner %d is not finite", int(i)));
        if (!(c.x >= -0.5f && c.y >= -0.5f && c.x <= gray.cols - 0.5f && c.y <= gray.rows - 0.5f))
            CV_Error(cv::Error::StsBadArg, cv::format("corner %d (%g, %g) lies outside the %dx%d image",
                                                      int(i), c.x, c.y, gray.cols, gray.rows));
    }
    if (corners.empty())
        return;

    const size_t n = corners.size();
    // The corners as an N x 2 float matrix, without a copy; the index is
    // only built when there is a neighbour to look for. An exact index, as in
    // the detector: a randomised k-d tree is built from the process's global
    // random state, and its approximate answers could give the same corner a
    // different window from one run to the next. A board has at most a few
    // hundred corners, so the exhaustive search is cheap.
    const cv::Mat features(int(n), 2, CV_32F, const_cast<cv::Point2f*>(corners.data()));
    cv::flann::Index index;
    if (n >= 2)
        index.build(features, cv::flann::LinearIndexParams(), cvflann::FLANN_DIST_L2);

    const float factor = float(winFactor);
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 50, 0.1);
    cv::Mat indices(1, 2, CV_32S), dists(1, 2, CV_32F);
    refined.reserve(refined.size() + n);
    winSizes.reserve(winSizes.size() + n);
    for (size_t i = 0; i < n; ++i) {
        const cv::Point2f c = corners[i];
        int w = kMinHalfWindow;
        if (n >= 2) {
            indices.setTo(-1);
            index.knnSearch(features.row(int(i)), indices, dists, 2,
                            cv::flann::SearchParams(cvflann::FLANN_CHECKS_UNLIMITED, 0, true));
            // The first hit is normally the corner itself; with coincident
            // corners it may be the other one, at the same distance.
            int nb = indices.at<int>(0, 0) != int(i) ? indices.at<int>(0, 0) : indices.at<int>(0, 1);
            if (nb < 0 || nb >= int(n) || nb == int(i))
                nb = nearestByScan(corners, i);
            const float dx = std::abs(c.x - corners[nb].x), dy = std::abs(c.y - corners[nb].y);
            const float scaled = std::min(std::max(dx, dy) * factor, float(maxByImage));
            w = std::max(int(scaled), kMinHalfWindow);
        }
        // Keep the window with the pixel ring that cornerSubPix interpolates
        // inside the image where that leaves the smallest window; closer to
        // the border the window would read replicated border pixels, which
        // pull the corner along the border.
        const float toBorder =
            std::min(std::min(c.x, c.y), std::min(gray.cols - 1 - c.x, gray.rows - 1 - c.y));
        const int byBorder = toBorder < float(kMinHalfWindow + 3) ? kMinHalfWindow
                             : toBorder >= float(maxByImage + 2)  ? maxByImage
                                                                  : int(toBorder) - 2;
        w = std::min(std::min(w, byBorder), maxByImage);

        std::vector<cv::Point2f> one{c};
        cv::cornerSubPix(gray, one, cv::Size(w, w), zeroZone, criteria);
        winSizes.push_back(w);
        refined.push_back(one[0]);
    }
}

std::vector<double> reprojectionDistances(const std::vector<cv::Point2f>& measured,
                                          const std::vector<cv::Point2f>& projected)
{
    std::vector<double> distances(measured.size());
    for (size_t k = 0; k < measured.size(); ++k) {
        const double dx = static_cast<double>(measured[k].x) - projected[k].x;
        const double dy = static_cast<double>(measured[k].y) - projected[k].y;
        distances[k] = std::sqrt(dx * dx + dy * dy);
    }
    return distances;
}
