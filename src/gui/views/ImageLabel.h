#pragma once

// The image widget of every calibration dialog: a zoomable view (wheel to
// zoom, drag with the left button to pan when zoomed in) above a label that
// shows the image coordinates under the mouse.
//
// Pixel conventions -- the two differ by half a pixel:
// - Overlays (setImageAndPoints, setImageAndLines, setAxes, setCrosses,
//   setTexts) take image coordinates in pixels whose integral values are
//   pixel CENTRES: (0, 0) is the centre of the top-left pixel, as for corners
//   found by OpenCV.
// - sendMouseCoord reports image coordinates of pixel CORNERS: the top-left
//   pixel spans (0, 0) to (1, 1), and a press on its centre gives (0.5, 0.5).
//   A dialog that picks a point to draw or to compute with in the overlay
//   convention subtracts 0.5 from both coordinates.
// The cursor label shows the position in the overlay convention.
//
// Colours are cv::Vec3b in the order red, green, blue; text and axis-label
// sizes are heights in image pixels, scaled with the zoom.
//
// Images of 8 bits with 1, 3 or 4 channels are shown as they are (grey,
// BGR, BGRA). Other depths (16-bit, float) are shown normalised to 0..255
// (finite minimum to 0, maximum to 255). The cursor text, pixel grid and
// overlays appear on grey and colour images, normalised ones included, but
// not on 4-channel ones.

#include <QBoxLayout>
#include <QLabel>
#include <QMutex>
#include <QPointer>
#include <QWidget>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

class ViewPort;

class ImageLabel : public QWidget {
    Q_OBJECT

public:
    explicit ImageLabel(QWidget* parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    ~ImageLabel() override;

    // Shows a copy of a non-empty image; in every case switches off the
    // circles, crosses, lines and texts. The axis labels stay.
    void setImage(const cv::Mat& image);

    // Shows a copy of a non-empty image without clearing anything; draws a
    // circle at each point in its colour when there is exactly one colour per
    // point (at least one point), and a cyan cross at each point of crosses
    // when that list is not empty. An overlay not set keeps its content.
    void setImageAndPoints(const cv::Mat& image, const std::vector<cv::Point2f>& points,
                           const std::vector<cv::Vec3b>& pointColours,
                           const std::vector<cv::Point2f>& crosses);

    // Shows a copy of a non-empty image without clearing anything; draws the
    // segments (x1, y1, x2, y2) when there is exactly one colour per segment.
    void setImageAndLines(const cv::Mat& image, const std::vector<cv::Vec4f>& lines,
                          const std::vector<cv::Vec3b>& lineColours);

    // Labels "0", "X" and "Y" in magenta at the three positions, fontSize
    // image pixels high (at most 100 screen pixels). They are painted only
    // together with a circle, cross, line or text overlay.
    void setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float fontSize);

    // Crosses in their colours, or cyan when colours is empty; nothing
    // changes when points is empty or colours has another non-zero length.
    void setCrosses(const std::vector<cv::Point2f>& points, const std::vector<cv::Vec3b>& colours);

    // Texts at their positions with their heights and colours; nothing
    // changes unless all four lists have the same non-zero length.
    void setTexts(const std::vector<cv::Point2f>& positions, const std::vector<std::string>& texts,
                  const std::vector<float>& sizes, const std::vector<cv::Vec3b>& colours);

    // setAxes, setCrosses and setTexts only store their overlay: call
    // update() afterwards to show it without a new image.

signals:
    // Image position of a mouse press, in pixel corners (see above).
    void sendMouseCoord(QPointF mouseXY);

private:
    friend class DefaultViewPort;

    bool storeImage(const cv::Mat& image);

    ViewPort* view = nullptr;
    QPointer<QLabel> cursorLabel;
    QPointer<QBoxLayout> boxLayout;
    cv::Mat imageCopy;
    QMutex imageMutex;
};
