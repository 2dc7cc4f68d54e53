#include "core/calib/reprojection.h"

#include "core/geometry/corner_refinement.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>

ViewReprojection reprojectView(const std::vector<cv::Point3f>& objectPoints,
                               const std::vector<cv::Point2f>& measured, const cv::Mat& rvec,
                               const cv::Mat& tvec, const cv::Mat& K, const cv::Mat& kc, double threshold)
{
    if (objectPoints.size() != measured.size())
        CV_Error(cv::Error::StsBadSize, "as many measured points as object points are needed");
    ViewReprojection view;
    if (objectPoints.empty())
        return view;
    cv::projectPoints(objectPoints, rvec, tvec, K, kc, view.projected);
    view.errors = reprojectionDistances(measured, view.projected);
    double sumSquares = 0;
    for (size_t j = 0; j < view.errors.size(); ++j) {
        const double e = view.errors[j];
        view.smallest = std::min(view.smallest, e);
        view.largest = std::max(view.largest, e);
        sumSquares += e * e;
        if (threshold >= 0 && threshold < e)
            view.outliers.push_back(j);
    }
    view.rms = std::sqrt(sumSquares / static_cast<double>(view.errors.size()));
    return view;
}

BoardAxes projectBoardAxes(const cv::Mat& rvec, const cv::Mat& tvec, const cv::Mat& K, const cv::Mat& kc,
                           float squareWidth, float squareHeight)
{
    const std::vector<cv::Point3f> square = {
        {0, 0, 0}, {squareWidth, 0, 0}, {0, squareHeight, 0}, {squareWidth, squareHeight, 0}};
    std::vector<cv::Point2f> p;
    cv::projectPoints(square, rvec, tvec, K, kc, p);
    BoardAxes axes;
    axes.origin = p[0] - ((p[1] - p[0]) + (p[2] - p[0])) / 2;
    axes.xEnd = p[1] + (p[1] - p[3]) / 2;
    axes.yEnd = p[2] + (p[2] - p[3]) / 2;
    axes.size = static_cast<float>(std::max(cv::norm(p[0] - p[2]), cv::norm(p[0] - p[1])) / 2);
    return axes;
}
