#include "gui/views/DefaultViewPort.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "gui/views/ImageLabel.h"

namespace {

// An image pixel must cover this many view pixels both ways before the
// pixel grid is drawn.
constexpr double kGridMinPixels = 30.0;
// Beyond this scale the wheel no longer zooms in.
constexpr double kMaxScale = 100.0;

QColor toQColor(const cv::Vec3b& rgb)
{
    return QColor(rgb[0], rgb[1], rgb[2], 255);
}

QPen overlayPen(const QColor& colour, int width)
{
    return QPen(colour, width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

// Pixel size of a font that is `height` image pixels high at `pixelsPerImagePixel`.
int fontPixels(double height, double pixelsPerImagePixel)
{
    const double n = height * pixelsPerImagePixel;
    if (!(n >= DefaultViewPort::kMinFontPixels)) // also catches NaN
        return DefaultViewPort::kMinFontPixels;
    return static_cast<int>(std::min<double>(n, DefaultViewPort::kMaxFontPixels));
}

QFont overlayFont(int pixelSize)
{
    QFont font(QStringLiteral("Arial"), 18, QFont::Bold);
    font.setPixelSize(pixelSize);
    return font;
}

bool gridAndOverlayType(int type)
{
    return type == CV_8UC1 || type == CV_8UC3;
}

} // namespace

DefaultViewPort::DefaultViewPort(QWidget* ownerWidget)
    : QGraphicsView(ownerWidget), owner(qobject_cast<ImageLabel*>(ownerWidget))
{
    setContentsMargins(0, 0, 0, 0);
    setMinimumSize(1, 1);
    setStyleSheet(QStringLiteral("QGraphicsView { border-style: none; }"));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    displayBuffer = cv::Mat(std::max(1, viewport()->height()), std::max(1, viewport()->width()), CV_8UC3,
                            cv::Scalar::all(255));
    displayImage = QImage(displayBuffer.data, displayBuffer.cols, displayBuffer.rows,
                          static_cast<int>(displayBuffer.step), QImage::Format_RGB888);
    imageRect = QRect(0, 0, width(), height());
    offeredSize = size();
    ratioX = float(width()) / float(displayBuffer.cols);
    ratioY = float(height()) / float(displayBuffer.rows);

    setInteractive(false);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
}

DefaultViewPort::~DefaultViewPort() = default;

QWidget* DefaultViewPort::viewWidget()
{
    return this;
}

cv::Mat DefaultViewPort::toDisplayable(const cv::Mat& image)
{
    cv::Mat src = image;
    const int channels = image.channels();
    if (channels == 2 || channels > 4)
        cv::extractChannel(image, src, 0);
    if (src.depth() == CV_8U)
        return src;

    const int cn = src.channels();
    cv::Mat flat = src.reshape(1);
    if (flat.depth() == CV_16F)
        flat.convertTo(flat, CV_32F);

    double lo = 0.0;
    double hi = 0.0;
    if (flat.depth() == CV_32F || flat.depth() == CV_64F) {
        const double inf = std::numeric_limits<double>::infinity();
        const cv::Mat finite = (flat < inf) & (flat > -inf); // false for NaN too
        cv::minMaxLoc(flat, &lo, &hi, nullptr, nullptr, finite);
        if (cv::countNonZero(finite) < static_cast<int>(finite.total())) {
            flat = flat.clone();
            flat.setTo(lo, ~finite);
        }
    } else {
        cv::minMaxLoc(flat, &lo, &hi);
    }

    // A constant image keeps its value (saturated to 0..255).
    const double alpha = hi > lo ? 255.0 / (hi - lo) : 1.0;
    const double beta = hi > lo ? -lo * alpha : 0.0;
    cv::Mat shown;
    flat.reshape(cn, src.rows).convertTo(shown, CV_8U, alpha, beta);
    return shown;
}

void DefaultViewPort::setViewImage(cv::Mat image)
{
    if (image.data == nullptr || image.total() == 0)
        return;
    const cv::Mat shown = toDisplayable(image);

    imageShown = true;
    displayBuffer = cv::Mat(shown.rows, shown.cols, CV_8UC3);
    displayImage = QImage(displayBuffer.data, displayBuffer.cols, displayBuffer.rows,
                          static_cast<int>(displayBuffer.step), QImage::Format_RGB888);
    ratioX = float(width()) / float(displayBuffer.cols);
    ratioY = float(height()) / float(displayBuffer.rows);
    updateGeometry();
    // An image of other proportions would be stretched until the next resize.
    fitToImage();

    shownType = shown.type();
    switch (shown.channels()) {
    case 1:
        cv::cvtColor(shown, displayBuffer, cv::COLOR_GRAY2RGB);
        break;
    case 3:
        cv::cvtColor(shown, displayBuffer, cv::COLOR_BGR2RGB);
        break;
    default:
        cv::cvtColor(shown, displayBuffer, cv::COLOR_BGRA2RGB);
        break;
    }
    viewport()->update();
}

void DefaultViewPort::drawCircles(const std::vector<cv::Point2f>& points,
                                  const std::vector<cv::Vec3b>& colours)
{
    circlePoints = points;
    circleColours = colours;
    circlesOn = true;
}

void DefaultViewPort::drawCrosses(const std::vector<cv::Point2f>& points,
                                  const std::vector<cv::Vec3b>& colours)
{
    crossPoints = points;
    crossColours = colours;
    crossesOn = true;
}

void DefaultViewPort::drawCrosses(const std::vector<cv::Point2f>& points)
{
    crossPoints = points;
    crossColours.clear();
    crossesOn = true;
}

void DefaultViewPort::drawLines(const std::vector<cv::Vec4f>& segments, const std::vector<cv::Vec3b>& colours)
{
    lineSegments = segments;
    lineColours = colours;
    linesOn = true;
}

void DefaultViewPort::drawAxes(cv::Point2f origin, cv::Point2f xTip, cv::Point2f yTip, float fontSize)
{
    axesOrigin = origin;
    axesXTip = xTip;
    axesYTip = yTip;
    axesFontSize = fontSize;
    axesOn = true;
}

void DefaultViewPort::drawTexts(const std::vector<cv::Point2f>& positions,
                                const std::vector<std::string>& newTexts, const std::vector<float>& sizes,
                                const std::vector<cv::Vec3b>& colours)
{
    textPositions = positions;
    texts = newTexts;
    textSizes = sizes;
    textColours = colours;
    textsOn = true;
}

void DefaultViewPort::clearDrawings()
{
    circlesOn = false;
    crossesOn = false;
    linesOn = false;
    textsOn = false;
}

void DefaultViewPort::handleMouseEvent(QPointF viewPosition)
{
    const QPointF unzoomed = inverseTransform.map(viewPosition);
    mousePosition = QPointF(unzoomed.x() / ratioX, unzoomed.y() / ratioY);
}

void DefaultViewPort::mousePressEvent(QMouseEvent* event)
{
    handleMouseEvent(event->localPos());
    if (viewTransform.m11() > 1) {
        viewport()->setCursor(Qt::ClosedHandCursor);
        grabPosition = event->localPos();
    }
    if (owner)
        emit owner->sendMouseCoord(mousePosition);
    QGraphicsView::mousePressEvent(event);
}

void DefaultViewPort::mouseReleaseEvent(QMouseEvent* event)
{
    handleMouseEvent(event->localPos());
    if (viewTransform.m11() > 1)
        viewport()->setCursor(Qt::CrossCursor);
    QGraphicsView::mouseReleaseEvent(event);
}

void DefaultViewPort::mouseDoubleClickEvent(QMouseEvent* event)
{
    handleMouseEvent(event->localPos());
    QGraphicsView::mouseDoubleClickEvent(event);
}

void DefaultViewPort::mouseMoveEvent(QMouseEvent* event)
{
    handleMouseEvent(event->localPos());
    const qreal s = viewTransform.m11();
    if (s > 1 && event->buttons() == Qt::LeftButton) {
        const QPointF pos = event->localPos();
        viewTransform.translate((pos.x() - grabPosition.x()) / s, (pos.y() - grabPosition.y()) / s);
        grabPosition = pos;
        clampView();
    }
    viewport()->update();
    QGraphicsView::mouseMoveEvent(event);
}

void DefaultViewPort::wheelEvent(QWheelEvent* event)
{
    handleMouseEvent(event->position());
    zoomView(event->angleDelta().y() / 240.0, event->position());
    viewport()->update();
    QGraphicsView::wheelEvent(event);
}

void DefaultViewPort::zoomView(qreal step, QPointF centre)
{
    qreal f = step / 5.0 + 1.0;
    const qreal s = viewTransform.m11();
    if (s == 1.0 && f < 1.0)
        return;
    if (s * f < 1.0)
        f = 1.0 / s;
    if (s > kMaxScale && f > 1.0)
        return;

    const QPoint anchor = inverseTransform.map(QPoint(int(centre.x()), int(centre.y())));
    const qreal a = anchor.x();
    const qreal b = anchor.y();
    viewTransform.translate(a - f * a, b - f * b);
    viewTransform.scale(f, f);
    // Zoomed right out: the clamp below would bring the translation to zero
    // anyway; snap so that rounding leaves no scale of 1 - 1e-16.
    if (std::abs(viewTransform.m11() - 1.0) < 1e-9)
        viewTransform.reset();
    clampView();

    if (viewTransform.m11() > 1)
        viewport()->setCursor(Qt::CrossCursor);
    else
        viewport()->unsetCursor();
}

void DefaultViewPort::clampView()
{
    // Shifts here are in view pixels, whatever the scale: the image's edges
    // end exactly on the widget's edges.
    const qreal w = width();
    const qreal h = height();
    const QPointF topLeft = viewTransform.map(QPointF(0, 0));
    qreal left = topLeft.x();
    qreal top = topLeft.y();
    if (left > 0) {
        viewTransform *= QTransform::fromTranslate(-left, 0);
        left = 0;
    }
    if (top > 0) {
        viewTransform *= QTransform::fromTranslate(0, -top);
        top = 0;
    }
    const QPointF bottomRight = viewTransform.map(QPointF(w, h));
    qreal right = bottomRight.x();
    qreal bottom = bottomRight.y();
    if (right < w) {
        viewTransform *= QTransform::fromTranslate(w - right, 0);
        right = w;
    }
    if (bottom < h) {
        viewTransform *= QTransform::fromTranslate(0, h - bottom);
        bottom = h;
    }
    imageRect = QRect(QPoint(int(left), int(top)), QPoint(int(right), int(bottom)));
    inverseTransform = viewTransform.inverted();
}

QPointF DefaultViewPort::toView(const cv::Point2f& p, qreal pw, qreal ph) const
{
    return QPointF((p.x + 0.5) * pw + viewTransform.dx(), (p.y + 0.5) * ph + viewTransform.dy());
}

void DefaultViewPort::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(viewport());
        painter.setWorldTransform(viewTransform);
        painter.drawImage(QRect(0, 0, viewport()->width(), viewport()->height()), displayImage,
                          displayImage.rect());
        painter.setWorldMatrixEnabled(false);

        const qreal s = viewTransform.m11();
        const qreal pw = qreal(ratioX) * s;
        const qreal ph = qreal(ratioY) * s;
        if (pw >= kGridMinPixels && ph >= kGridMinPixels && gridAndOverlayType(shownType))
            drawPixelGrid(painter, pw, ph);
        if (s > 1)
            drawOverview(painter);
        drawCursorText();
        if (circlesOn || crossesOn || linesOn || textsOn)
            drawOverlays(painter, pw, ph);
    }
    QGraphicsView::paintEvent(event);
}

void DefaultViewPort::drawPixelGrid(QPainter& painter, qreal pw, qreal ph)
{
    const qreal w = width();
    const qreal h = height();
    QVector<QLineF> lines;
    lines.reserve(30);
    const qreal fx = viewTransform.dx() / pw - std::floor(viewTransform.dx() / pw);
    for (qreal x = fx * pw; x < w; x += pw)
        lines.append(QLineF(x, 0, x, h));
    const qreal fy = viewTransform.dy() / ph - std::floor(viewTransform.dy() / ph);
    for (qreal y = fy * ph; y < h; y += ph)
        lines.append(QLineF(0, y, w, y));
    painter.setPen(overlayPen(Qt::black, 1));
    painter.drawLines(lines);
}

void DefaultViewPort::drawOverview(QPainter& painter)
{
    const qreal s = viewTransform.m11();
    const qreal w = width();
    const qreal h = height();
    const QSize overview = size().scaled(100, 100, Qt::KeepAspectRatio);
    const qreal vw = overview.width();
    const qreal vh = overview.height();
    const qreal k = (1.0 / s) * (vh / h);

    painter.setBrush(QColor(0, 0, 0, 127));
    painter.setPen(Qt::darkGreen);
    painter.drawRect(QRectF(w - vw, 0, vw, vh));
    painter.setPen(Qt::darkBlue);
    painter.drawRect(QRectF(w - vw - imageRect.left() * k, -imageRect.top() * k, (vw - 1) / s, (vh - 1) / s));
}

void DefaultViewPort::drawCursorText()
{
    if (!owner || !owner->cursorLabel || !imageShown || !gridAndOverlayType(shownType))
        return;
    const qreal x = mousePosition.x();
    const qreal y = mousePosition.y();
    if (!(x >= 0 && x < displayBuffer.cols && y >= 0 && y < displayBuffer.rows))
        return;
    const QString format = shownType == CV_8UC3 ? tr("x=%1, y=%2") : tr("(x=%1, y=%2)");
    owner->cursorLabel->setText(
        format.arg(QString::number(x - 0.5, 'f', 2), QString::number(y - 0.5, 'f', 2)));
}

void DefaultViewPort::drawOverlays(QPainter& painter, qreal pw, qreal ph)
{
    if (!gridAndOverlayType(shownType))
        return;

    // The lists of one kind are meant to be of equal length; a shorter
    // colour list limits what is drawn rather than being read past its end.
    if (linesOn) {
        painter.setBrush(Qt::NoBrush);
        const size_t n = std::min(lineSegments.size(), lineColours.size());
        for (size_t i = 0; i < n; ++i) {
            const cv::Vec4f& seg = lineSegments[i];
            painter.setPen(overlayPen(toQColor(lineColours[i]), 2));
            painter.setRenderHint(QPainter::Antialiasing);
            painter.drawLine(toView({seg[0], seg[1]}, pw, ph), toView({seg[2], seg[3]}, pw, ph));
        }
    }

    if (circlesOn) {
        painter.setBrush(Qt::NoBrush);
        const size_t n = std::min(circlePoints.size(), circleColours.size());
        for (size_t i = 0; i < n; ++i) {
            painter.setPen(overlayPen(toQColor(circleColours[i]), 2));
            painter.setRenderHint(QPainter::Antialiasing);
            painter.drawEllipse(toView(circlePoints[i], pw, ph), 3 * pw, 3 * pw);
        }
    }

    if (crossesOn) {
        const bool defaultColour = crossColours.empty();
        const size_t n =
            defaultColour ? crossPoints.size() : std::min(crossPoints.size(), crossColours.size());
        for (size_t i = 0; i < n; ++i) {
            painter.setPen(overlayPen(defaultColour ? QColor(Qt::cyan) : toQColor(crossColours[i]), 1));
            const QPointF c = toView(crossPoints[i], pw, ph);
            const qreal r = 3 * pw;
            painter.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
            painter.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
        }
    }

    if (axesOn) {
        const int n = fontPixels(axesFontSize, ph);
        painter.setFont(overlayFont(n));
        painter.setPen(overlayPen(Qt::magenta, 2));
        const QPointF shift(-0.3 * n, 0.5 * n);
        painter.drawText(toView(axesOrigin, pw, ph) + shift, QStringLiteral("0"));
        painter.drawText(toView(axesXTip, pw, ph) + shift, QStringLiteral("X"));
        painter.drawText(toView(axesYTip, pw, ph) + shift, QStringLiteral("Y"));
    }

    if (textsOn) {
        const size_t n = std::min({texts.size(), textPositions.size(), textSizes.size(), textColours.size()});
        for (size_t i = 0; i < n; ++i) {
            const int px = fontPixels(textSizes[i], ph);
            painter.setFont(overlayFont(px));
            painter.setPen(overlayPen(toQColor(textColours[i]), 2));
            painter.drawText(toView(textPositions[i], pw, ph) + QPointF(-0.3 * px, 0.5 * px),
                             QString::fromStdString(texts[i]));
        }
    }
}

void DefaultViewPort::fitToImage()
{
    // Keep the image's proportions: the view takes the largest size of the
    // image's aspect ratio inside the one it was last offered, at the top left.
    const QSize fitted =
        QSize(displayBuffer.cols, displayBuffer.rows).scaled(offeredSize, Qt::KeepAspectRatio);
    if (!inResize && !fitted.isEmpty() && fitted != size()) {
        inResize = true;
        resize(fitted);
        inResize = false;
    }
    // Inside a resize event Qt sends no second one, so the scroll area does
    // not lay out its viewport again: the viewport follows the view here.
    if (viewport()->geometry() != rect())
        viewport()->setGeometry(rect());
    ratioX = float(width()) / float(displayBuffer.cols);
    ratioY = float(height()) / float(displayBuffer.rows);
    clampView();
}

void DefaultViewPort::resizeEvent(QResizeEvent* event)
{
    if (!inResize)
        offeredSize = event->size();
    fitToImage();
    if (owner && owner->cursorLabel)
        owner->cursorLabel->move(0, height());
    QGraphicsView::resizeEvent(event);
}
