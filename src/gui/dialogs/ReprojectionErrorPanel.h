#pragma once

// The reprojection-error panel of the chessboard dialogs: the group with the
// "RMS:", "Min:" and "Max:" labels beside the image, and the image view
// with the measured corners in their error colours, their projections as
// crosses and the board's first square as axes. The widgets belong to the
// dialog's form; the panel only drives them.

#include "core/calib/reprojection.h"

#include <opencv2/core.hpp>

#include <vector>

class ImageLabel;
class QLabel;
class QWidget;

class ReprojectionErrorPanel {
public:
    ReprojectionErrorPanel() = default;
    ReprojectionErrorPanel(QWidget* group, QLabel* rms, QLabel* smallest, QLabel* largest, ImageLabel* image);

    // Hides the group and its three labels.
    void hide();

    // "RMS: <rms> px" in rmsColour (r, g, b), "Min: <smallest> px" in green and
    // "Max: <largest> px" in red, each with 4 decimals; shows the group and
    // the labels.
    void show(double rms, const cv::Vec3b& rmsColour, double smallest, double largest);

    // The image with the measured corners as circles in their colours, the
    // projections as crosses and the axes of the first square; nothing of
    // the image shown before stays.
    void drawView(const cv::Mat& image, const std::vector<cv::Point2f>& measured,
                  const std::vector<cv::Vec3b>& colours, const std::vector<cv::Point2f>& projected,
                  const BoardAxes& axes);

private:
    QWidget* group = nullptr;
    QLabel* rmsLabel = nullptr;
    QLabel* minLabel = nullptr;
    QLabel* maxLabel = nullptr;
    ImageLabel* imageLabel = nullptr;
};
