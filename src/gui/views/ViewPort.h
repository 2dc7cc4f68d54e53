#pragma once

// Interfaces of the zoomable image view inside every ImageLabel.
//
// Overlay conventions (shared with ImageLabel):
// - positions are image coordinates in pixels; integral values are pixel
//   centres, so (0, 0) is the centre of the top-left pixel;
// - a segment is (x1, y1, x2, y2) in the same coordinates;
// - colours are (red, green, blue), 0..255, one per item;
// - text and axis-label sizes are heights in image pixels.

#include <QPointF>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

class QWidget;

class ViewPort {
public:
    virtual ~ViewPort() = default;

    // The view itself, for the owner's layout.
    virtual QWidget* viewWidget() = 0;

    // Shows an image; an image without data or elements is ignored.
    virtual void setViewImage(cv::Mat image) = 0;

    // Each draw call replaces the stored list of its kind and switches that
    // overlay on; nothing is repainted until the next paint event.
    virtual void drawCircles(const std::vector<cv::Point2f>& points,
                             const std::vector<cv::Vec3b>& colours) = 0;
    virtual void drawCrosses(const std::vector<cv::Point2f>& points,
                             const std::vector<cv::Vec3b>& colours) = 0;
    // Crosses in the default colour (cyan).
    virtual void drawCrosses(const std::vector<cv::Point2f>& points) = 0;
    virtual void drawLines(const std::vector<cv::Vec4f>& segments, const std::vector<cv::Vec3b>& colours) = 0;
    // Labels "0", "X" and "Y" at the three positions.
    virtual void drawAxes(cv::Point2f origin, cv::Point2f xTip, cv::Point2f yTip, float fontSize) = 0;
    virtual void drawTexts(const std::vector<cv::Point2f>& positions, const std::vector<std::string>& texts,
                           const std::vector<float>& sizes, const std::vector<cv::Vec3b>& colours) = 0;

    // Switches circles, crosses, lines and texts off; the axis labels and
    // all stored lists stay.
    virtual void clearDrawings() = 0;
};

// A view port that turns mouse positions into image positions.
class OCVViewPort : public ViewPort {
public:
    // Maps a position in view pixels to the image position of the mouse
    // (pixel corner convention: the top-left pixel spans (0, 0) to (1, 1)).
    virtual void handleMouseEvent(QPointF viewPosition) = 0;
};
