#pragma once

// The zoomable image view of ImageLabel: a QGraphicsView without a scene that
// paints the image, the pixel grid, the overview and the overlays itself.
//
// The view transform maps the unzoomed view (the image stretched over the
// widget) into the widget: uniform scale s and translation (dx, dy). With
// pw = ratioX * s and ph = ratioY * s view pixels per image pixel:
// - an overlay at image point (x, y) is painted at view position
//   ((x + 0.5) * pw + dx, (y + 0.5) * ph + dy): integral overlay coordinates
//   are pixel centres;
// - a mouse at view position (u, v) is at image position
//   ((u - dx) / pw, (v - dy) / ph): mouse positions use pixel corners, the
//   top-left pixel spanning (0, 0) to (1, 1). The cursor text subtracts 0.5
//   so that it reads in the overlay convention.

#include <QGraphicsView>
#include <QImage>
#include <QPointer>
#include <QTransform>

#include "gui/views/ViewPort.h"

class ImageLabel;

class DefaultViewPort : public QGraphicsView, public OCVViewPort {
    Q_OBJECT

public:
    explicit DefaultViewPort(QWidget* owner);
    ~DefaultViewPort() override;

    QWidget* viewWidget() override;
    void setViewImage(cv::Mat image) override;
    void drawCircles(const std::vector<cv::Point2f>& points, const std::vector<cv::Vec3b>& colours) override;
    void drawCrosses(const std::vector<cv::Point2f>& points, const std::vector<cv::Vec3b>& colours) override;
    void drawCrosses(const std::vector<cv::Point2f>& points) override;
    void drawLines(const std::vector<cv::Vec4f>& segments, const std::vector<cv::Vec3b>& colours) override;
    void drawAxes(cv::Point2f origin, cv::Point2f xTip, cv::Point2f yTip, float fontSize) override;
    void drawTexts(const std::vector<cv::Point2f>& positions, const std::vector<std::string>& texts,
                   const std::vector<float>& sizes, const std::vector<cv::Vec3b>& colours) override;
    void clearDrawings() override;

    void handleMouseEvent(QPointF viewPosition) override;

    // Font pixel sizes of texts and axis labels stay in this range at every
    // zoom level.
    static constexpr int kMinFontPixels = 1;
    static constexpr int kMaxFontPixels = 100;

    // Converts any image to the 8-bit 1-, 3- or 4-channel image that is shown:
    // 8-bit images pass unchanged, other depths are scaled so that their
    // finite minimum becomes 0 and their maximum 255 (non-finite values show
    // as 0), and images of 2 or more than 4 channels show their first channel.
    static cv::Mat toDisplayable(const cv::Mat& image);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void zoomView(qreal step, QPointF centre);
    void clampView();
    void fitToImage();
    QPointF toView(const cv::Point2f& imagePoint, qreal pw, qreal ph) const;
    bool paintsOverlays() const;
    void drawPixelGrid(QPainter& painter, qreal pw, qreal ph);
    void drawOverview(QPainter& painter);
    void drawCursorText();
    void drawOverlays(QPainter& painter, qreal pw, qreal ph);

    QTransform viewTransform;
    cv::Mat displayBuffer;
    QImage displayImage;
    int shownType = CV_8UC1;
    QPointF mousePosition{-1, -1};
    QPointF grabPosition{0, 0};
    QRect imageRect;
    QTransform inverseTransform;
    float ratioX = 1.f;
    float ratioY = 1.f;
    QPointer<ImageLabel> owner;
    bool imageShown = false;
    bool circlesOn = false;
    bool crossesOn = false;
    bool axesOn = false;
    bool linesOn = false;
    bool textsOn = false;
    std::vector<cv::Point2f> circlePoints;
    std::vector<cv::Vec3b> circleColours;
    std::vector<cv::Point2f> crossPoints;
    std::vector<cv::Vec3b> crossColours;
    std::vector<cv::Vec4f> lineSegments;
    std::vector<cv::Vec3b> lineColours;
    std::vector<std::string> texts;
    std::vector<cv::Point2f> textPositions;
    std::vector<float> textSizes;
    std::vector<cv::Vec3b> textColours;
    cv::Point2f axesOrigin;
    cv::Point2f axesXTip;
    cv::Point2f axesYTip;
    float axesFontSize = 0.f;
    QSize offeredSize; // the size the parent last gave the view
    bool inResize = false;
};
