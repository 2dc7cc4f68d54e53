// The image widget driven as a user drives it: synthetic mouse and wheel
// events on a real ImageLabel, positions read back from sendMouseCoord and
// colours read back from a grabbed image of the view.
#include "gui/views/ImageLabel.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QImage>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "gui/views/DefaultViewPort.h"

namespace {

using Colour = cv::Vec3b; // red, green, blue

// Collects Qt warnings while alive.
class WarningCatcher {
public:
    WarningCatcher()
    {
        caught().clear();
        previous = qInstallMessageHandler(&WarningCatcher::handler);
    }
    ~WarningCatcher() { qInstallMessageHandler(previous); }
    static QStringList& caught()
    {
        static QStringList list;
        return list;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& msg)
    {
        if (type != QtDebugMsg && type != QtInfoMsg)
            caught().append(msg);
    }
    QtMessageHandler previous;
};

// Where the view puts the image: the press at view (0, 0) reports imageAtOrigin
// and one image pixel covers pixelsPerImagePixel view pixels.
struct Mapping {
    double pixelsPerImagePixel;
    QPointF imageAtOrigin;
};

class ImageLabelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        label = std::make_unique<ImageLabel>();
        view = label->findChild<DefaultViewPort*>();
        ASSERT_NE(view, nullptr);
        viewport = view->viewport();
        cursor = label->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
        ASSERT_NE(cursor, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(label.get()));
    }

    // Shows the image with the view at viewSize (the image's proportions).
    void show(const cv::Mat& image, QSize viewSize = QSize(300, 300))
    {
        label->setImage(image);
        label->resize(viewSize.width(), viewSize.height() + cursor->sizeHint().height());
        QApplication::processEvents();
        ASSERT_EQ(view->size(), viewSize);
        ASSERT_EQ(viewport->size(), viewSize);
    }

    void send(QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QMouseEvent event(type, pos, viewport->mapToGlobal(pos.toPoint()), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(viewport, &event);
    }
    void press(QPointF pos, Qt::MouseButton button = Qt::LeftButton)
    {
        send(QEvent::MouseButtonPress, pos, button, button);
    }
    void release(QPointF pos, Qt::MouseButton button = Qt::LeftButton)
    {
        send(QEvent::MouseButtonRelease, pos, button, Qt::NoButton);
    }
    void move(QPointF pos, Qt::MouseButtons buttons = Qt::NoButton)
    {
        send(QEvent::MouseMove, pos, Qt::NoButton, buttons);
    }
    void drag(QPointF from, QPointF to, Qt::MouseButton button = Qt::LeftButton)
    {
        press(from, button);
        move((from + to) / 2, button);
        move(to, button);
        release(to, button);
    }
    void wheel(QPointF pos, int delta)
    {
        QWheelEvent event(pos, QPointF(viewport->mapToGlobal(pos.toPoint())), QPoint(), QPoint(0, delta),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &event);
    }
    // Back to scale 1 with one strong backward turn of the wheel.
    void zoomOut() { wheel(QPointF(150, 150), -1199); }

    // Image position that a press at view position pos reports.
    QPointF reported(QPointF pos)
    {
        QSignalSpy spy(label.get(), &ImageLabel::sendMouseCoord);
        press(pos);
        release(pos);
        EXPECT_EQ(spy.count(), 1);
        return spy.isEmpty() ? QPointF(-1e9, -1e9) : spy.at(0).at(0).toPointF();
    }
    Mapping mapping()
    {
        const QPointF a = reported(QPointF(0, 0));
        const QPointF b = reported(QPointF(120, 120));
        return {120.0 / (b.x() - a.x()), a};
    }

    QImage grab()
    {
        viewport->repaint();
        return view->grab().toImage().convertToFormat(QImage::Format_RGB888);
    }
    QString cursorTextAt(QPointF pos)
    {
        move(pos);
        viewport->repaint();
        return cursor->text();
    }

    std::unique_ptr<ImageLabel> label;
    DefaultViewPort* view = nullptr;
    QWidget* viewport = nullptr;
    QLabel* cursor = nullptr;
};

bool sameColour(QRgb pixel, const Colour& c, int tol)
{
    return std::abs(qRed(pixel) - c[0]) <= tol && std::abs(qGreen(pixel) - c[1]) <= tol &&
           std::abs(qBlue(pixel) - c[2]) <= tol;
}

// Whether a pixel of colour c (within tol per channel) lies within `radius`
// view pixels of the pixel that contains point p.
bool colourNear(const QImage& img, QPointF p, const Colour& c, int radius = 1, int tol = 40)
{
    const int px = int(std::floor(p.x()));
    const int py = int(std::floor(p.y()));
    for (int y = py - radius; y <= py + radius; ++y)
        for (int x = px - radius; x <= px + radius; ++x)
            if (img.valid(x, y) && sameColour(img.pixel(x, y), c, tol))
                return true;
    return false;
}

// Bounding box of the pixels of colour c inside region.
QRect colourBox(const QImage& img, const QRect& region, const Colour& c, int tol = 80)
{
    QRect box;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x)
            if (img.valid(x, y) && sameColour(img.pixel(x, y), c, tol))
                box |= QRect(x, y, 1, 1);
    return box;
}

bool hasColour(const QImage& img, const Colour& c, int tol = 40)
{
    return !colourBox(img, img.rect(), c, tol).isNull();
}

const Colour kBlack(0, 0, 0);
const Colour kWhite(255, 255, 255);
const Colour kCyan(0, 255, 255);
const Colour kMagenta(255, 0, 255);

cv::Mat grey(int rows, int cols, int value)
{
    return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value));
}

// ---------------------------------------------------------------------------
// Zoom

TEST_F(ImageLabelTest, WheelZoomsInTenPercentStepsBetweenOneAndJustOverAHundred)
{
    show(grey(100, 100, 128));
    struct Step {
        const char* what;
        int delta;
        double scale;
    };
    const Step steps[] = {
        {"a notch back at scale 1 does nothing", -120, 1.0},
        {"a notch forward", 120, 1.1},
        {"a second notch", 120, 1.21},
        {"a notch back", -120, 1.089},
        {"zoomed right out lands exactly on 1", -1199, 1.0},
        {"half a notch forward", 60, 1.05},
        {"a notch back at 1.05 is cut to exactly 1", -120, 1.0},
        {"one strong turn up to 95", 112800, 95.0},
        {"a notch forward at 95", 120, 104.5},
        {"above 100 no further", 120, 104.5},
        {"above 100 no further, however strong", 1200, 104.5},
        {"a notch back above 100", -120, 94.05},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        wheel(QPointF(150, 150), step.delta);
        EXPECT_NEAR(mapping().pixelsPerImagePixel, 3.0 * step.scale, 1e-9 * step.scale);
        // At scale 1 the cursor is the application's; zoomed in it is the cross.
        EXPECT_EQ(viewport->testAttribute(Qt::WA_SetCursor), step.scale > 1);
        if (step.scale > 1) {
            EXPECT_EQ(viewport->cursor().shape(), Qt::CrossCursor);
        }
    }
}

TEST_F(ImageLabelTest, ZoomKeepsTheImagePointUnderTheMouse)
{
    show(grey(100, 100, 128));
    const QPointF centres[] = {{150, 150}, {90, 210}, {240, 60}};
    for (const QPointF& c : centres) {
        SCOPED_TRACE(QString("zoom about (%1, %2)").arg(c.x()).arg(c.y()).toStdString());
        zoomOut();
        const QPointF before = reported(c);
        EXPECT_NEAR(before.x(), c.x() / 3, 1e-9);
        EXPECT_NEAR(before.y(), c.y() / 3, 1e-9);
        for (int notch = 0; notch < 3; ++notch) {
            wheel(c, 120);
            const QPointF after = reported(c);
            EXPECT_NEAR(after.x(), before.x(), 1e-9);
            EXPECT_NEAR(after.y(), before.y(), 1e-9);
        }
    }
}

// ---------------------------------------------------------------------------
// Pixel grid and overview

// Columns of row y that are black while their left neighbour is not.
std::vector<int> blackRunStarts(const QImage& img, int y, int xEnd)
{
    std::vector<int> starts;
    for (int x = 0; x < xEnd; ++x)
        if (sameColour(img.pixel(x, y), kBlack, 10) &&
            (x == 0 || !sameColour(img.pixel(x - 1, y), kBlack, 10)))
            starts.push_back(x);
    return starts;
}

TEST_F(ImageLabelTest, PixelGridAppearsOnceAnImagePixelCoversThirtyViewPixels)
{
    struct Case {
        const char* what;
        int type;
        int delta; // from scale 1 about the view's origin
        bool grid;
    };
    // A 100 x 100 image in a 300 x 300 view: ratio 3, so the grid starts at scale 10.
    const Case cases[] = {
        {"grey at scale 9.9", CV_8UC1, 10680, false},         {"grey at scale 10", CV_8UC1, 10800, true},
        {"colour at scale 10", CV_8UC3, 10800, true},         {"colour at scale 20", CV_8UC3, 22800, true},
        {"four channels at scale 10", CV_8UC4, 10800, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        show(cv::Mat(100, 100, c.type, cv::Scalar::all(255)));
        zoomOut();
        wheel(QPointF(0, 0), c.delta);
        const double pw = mapping().pixelsPerImagePixel;
        const QImage img = grab();
        // Row 200 lies below the overview in the top-right corner.
        const std::vector<int> starts = blackRunStarts(img, 200, 300);
        if (!c.grid) {
            EXPECT_TRUE(starts.empty()) << starts.size() << " black runs";
            continue;
        }
        // Lines on the pixel edges, one image pixel apart, the first at the view's left edge.
        ASSERT_GE(starts.size(), 300 / pw - 1);
        for (size_t k = 0; k < starts.size(); ++k)
            EXPECT_NEAR(starts[k], k * pw, 1.0) << "line " << k;
        const std::vector<int> rows = [&] {
            std::vector<int> r;
            for (int y = 0; y < 300; ++y)
                if (sameColour(img.pixel(165, y), kBlack, 10) &&
                    (y == 0 || !sameColour(img.pixel(165, y - 1), kBlack, 10)))
                    r.push_back(y);
            return r;
        }();
        ASSERT_GE(rows.size(), 300 / pw - 1);
        for (size_t k = 0; k < rows.size(); ++k)
            EXPECT_NEAR(rows[k], k * pw, 1.0) << "row " << k;
    }
}

TEST_F(ImageLabelTest, OverviewShowsOnlyWhenZoomedIn)
{
    show(grey(100, 100, 255));
    const QColor darkGreen(Qt::darkGreen);
    const Colour green(darkGreen.red(), darkGreen.green(), darkGreen.blue());
    // The overview frame spans (200, 0) to (300, 100) in a 300 x 300 view.
    EXPECT_FALSE(colourNear(grab(), QPointF(200, 50), green, 1, 10));
    wheel(QPointF(150, 150), 120);
    const QImage img = grab();
    EXPECT_TRUE(colourNear(img, QPointF(200, 50), green, 1, 10));
    // Its inside, left of the frame of the shown part, is the image darkened by half.
    EXPECT_TRUE(sameColour(img.pixel(202, 50), Colour(128, 128, 128), 3)) << std::hex << img.pixel(202, 50);
}

// ---------------------------------------------------------------------------
// Cursor text and press position

TEST_F(ImageLabelTest, CursorTextGivesPixelCentreCoordinatesInTheGreyOrColourFormat)
{
    struct Case {
        const char* what;
        int type;
        QPointF viewPos; // in a 300 x 300 view of a 100 x 100 image
        const char* text;
    };
    const Case cases[] = {
        {"grey, centre of the top-left pixel", CV_8UC1, {1.5, 1.5}, "(x=0.00, y=0.00)"},
        {"colour, centre of the top-left pixel", CV_8UC3, {1.5, 1.5}, "x=0.00, y=0.00"},
        {"grey, top-left corner", CV_8UC1, {0, 0}, "(x=-0.50, y=-0.50)"},
        {"colour, inside pixel (50, 15)", CV_8UC3, {151.5, 46.5}, "x=50.00, y=15.00"},
        {"grey, last pixel", CV_8UC1, {299.25, 298.5}, "(x=99.25, y=99.00)"},
        {"16-bit grey shows as grey", CV_16UC1, {1.5, 1.5}, "(x=0.00, y=0.00)"},
        {"float colour shows as colour", CV_32FC3, {4.5, 7.5}, "x=1.00, y=2.00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cursor->clear();
        show(cv::Mat(100, 100, c.type, cv::Scalar::all(7)));
        EXPECT_EQ(cursorTextAt(c.viewPos), QString(c.text));
        // Outside the image the label keeps its last text.
        EXPECT_EQ(cursorTextAt(QPointF(-3, 40)), QString(c.text));
        EXPECT_EQ(cursorTextAt(QPointF(40, 300.5)), QString(c.text));
    }
}

TEST_F(ImageLabelTest, NoCursorTextBeforeAnImageNorOnFourChannels)
{
    EXPECT_EQ(cursorTextAt(QPointF(10, 10)), QString());
    show(cv::Mat(100, 100, CV_8UC4, cv::Scalar::all(9)));
    EXPECT_EQ(cursorTextAt(QPointF(10, 10)), QString());
}

TEST_F(ImageLabelTest, CursorTextFollowsZoomAndPan)
{
    show(grey(100, 100, 100));
    wheel(QPointF(0, 0), 1200); // scale 2: 6 view pixels per image pixel
    EXPECT_EQ(cursorTextAt(QPointF(3, 3)), QString("(x=0.00, y=0.00)"));
    drag(QPointF(200, 200), QPointF(140, 170)); // 10 and 5 image pixels
    EXPECT_EQ(cursorTextAt(QPointF(3, 3)), QString("(x=10.00, y=5.00)"));
}

TEST_F(ImageLabelTest, PressReportsPixelCornerCoordinates)
{
    struct Case {
        const char* what;
        int zoomDelta; // about the view's origin
        QPointF viewPos;
        QPointF image;
    };
    // 100 x 100 image in 300 x 300: 3 view pixels per image pixel at scale 1.
    const Case cases[] = {
        {"centre of the top-left pixel at zoom 1", 0, {1.5, 1.5}, {0.5, 0.5}},
        {"top-left corner", 0, {0, 0}, {0, 0}},
        {"far corner", 0, {300, 300}, {100, 100}},
        {"zoom 2, centre of the top-left pixel", 1200, {3, 3}, {0.5, 0.5}},
        {"zoom 2, inside pixel (20, 10)", 1200, {123, 63}, {20.5, 10.5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        show(grey(100, 100, 50));
        zoomOut();
        if (c.zoomDelta)
            wheel(QPointF(0, 0), c.zoomDelta);
        const QPointF p = reported(c.viewPos);
        EXPECT_NEAR(p.x(), c.image.x(), 1e-9);
        EXPECT_NEAR(p.y(), c.image.y(), 1e-9);
    }

    // An image shown at its own size: one view pixel per image pixel.
    show(grey(150, 200, 50), QSize(200, 150));
    zoomOut();
    const QPointF p = reported(QPointF(0.5, 0.5));
    EXPECT_NEAR(p.x(), 0.5, 1e-9);
    EXPECT_NEAR(p.y(), 0.5, 1e-9);
}

TEST_F(ImageLabelTest, PressEmitsOnEveryButtonAndChangesTheCursorOnlyWhenZoomed)
{
    show(grey(100, 100, 50));
    QSignalSpy spy(label.get(), &ImageLabel::sendMouseCoord);
    for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
        press(QPointF(30, 60), b);
        EXPECT_FALSE(viewport->testAttribute(Qt::WA_SetCursor));
        release(QPointF(30, 60), b);
    }
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(2).at(0).toPointF(), QPointF(10, 20));

    wheel(QPointF(150, 150), 120);
    press(QPointF(30, 60));
    EXPECT_EQ(viewport->cursor().shape(), Qt::ClosedHandCursor);
    release(QPointF(30, 60));
    EXPECT_EQ(viewport->cursor().shape(), Qt::CrossCursor);
    EXPECT_EQ(spy.count(), 4);
}

// ---------------------------------------------------------------------------
// Panning

TEST_F(ImageLabelTest, DragPansTheZoomedImageAndStopsAtItsEdges)
{
    show(grey(100, 100, 50));

    // At scale 1 a drag does not pan.
    drag(QPointF(150, 150), QPointF(100, 80));
    EXPECT_EQ(mapping().imageAtOrigin, QPointF(0, 0));

    // Scale 2 about the centre: the view shows image (25, 25) to (75, 75).
    wheel(QPointF(150, 150), 1200);
    Mapping m = mapping();
    ASSERT_NEAR(m.pixelsPerImagePixel, 6, 1e-9);
    EXPECT_NEAR(m.imageAtOrigin.x(), 25, 1e-9);
    EXPECT_NEAR(m.imageAtOrigin.y(), 25, 1e-9);

    struct Drag {
        const char* what;
        QPointF by;
        Qt::MouseButton button;
        QPointF imageAtOrigin;
    };
    const Drag drags[] = {
        {"left by 60 view pixels: 10 image pixels", {-60, 0}, Qt::LeftButton, {35, 25}},
        {"up by 30", {0, -30}, Qt::LeftButton, {35, 30}},
        {"the right button does not pan", {-60, -60}, Qt::RightButton, {35, 30}},
        {"the middle button does not pan", {60, 60}, Qt::MiddleButton, {35, 30}},
        {"far right and down: stops at the top-left corner", {1000, 700}, Qt::LeftButton, {0, 0}},
        {"far left: the right edge stops at the view's right edge", {-5000, 0}, Qt::LeftButton, {50, 0}},
        {"far up: the bottom edge stops at the view's bottom", {0, -5000}, Qt::LeftButton, {50, 50}},
        {"back by 6 from the bottom-right corner", {6, 6}, Qt::LeftButton, {49, 49}},
    };
    for (const Drag& d : drags) {
        SCOPED_TRACE(d.what);
        drag(QPointF(150, 150), QPointF(150, 150) + d.by, d.button);
        m = mapping();
        EXPECT_NEAR(m.pixelsPerImagePixel, 6, 1e-9);
        EXPECT_NEAR(m.imageAtOrigin.x(), d.imageAtOrigin.x(), 1e-9);
        EXPECT_NEAR(m.imageAtOrigin.y(), d.imageAtOrigin.y(), 1e-9);
        // The image always covers the view: its far corner is never inside it.
        const QPointF far = reported(QPointF(300, 300));
        EXPECT_LE(far.x(), 100 + 1e-9);
        EXPECT_LE(far.y(), 100 + 1e-9);
    }
}

TEST_F(ImageLabelTest, ZoomingOutNearAnEdgeKeepsTheImageCoveringTheView)
{
    show(grey(100, 100, 50));
    wheel(QPointF(150, 150), 2400);                 // scale 3
    drag(QPointF(150, 150), QPointF(-2000, -2000)); // to the bottom-right corner
    for (int notch = 0; notch < 4; ++notch) {
        SCOPED_TRACE(notch);
        wheel(QPointF(10, 10), -120);
        const Mapping m = mapping();
        const QPointF far = reported(QPointF(300, 300));
        EXPECT_NEAR(far.x(), 100, 1e-9);
        EXPECT_NEAR(far.y(), 100, 1e-9);
        EXPECT_GE(m.imageAtOrigin.x(), -1e-9);
    }
}

// ---------------------------------------------------------------------------
// Overlays

TEST_F(ImageLabelTest, OverlaysArePaintedAtPixelCentresInTheirColours)
{
    show(grey(100, 100, 0));
    const Colour red(255, 0, 0), green(0, 255, 0), orange(250, 120, 0), blue(0, 0, 255);

    // Crosses alone paint without antialiasing: exact colours on exact pixels.
    label->setCrosses({{30, 30}, {60, 10}}, {orange, blue});
    QImage img = grab();
    // Centre of pixel (30, 30) at ratio 3: view (91.5, 91.5); arms 9 view pixels long.
    for (QPointF d : {QPointF(6, 0), QPointF(-6, 0), QPointF(0, 6), QPointF(0, -6)})
        EXPECT_TRUE(colourNear(img, QPointF(91.5, 91.5) + d, orange, 1, 0)) << d.x() << "," << d.y();
    EXPECT_TRUE(colourNear(img, QPointF(181.5, 31.5 + 6), blue, 1, 0));
    EXPECT_TRUE(sameColour(img.pixel(97, 97), kBlack, 0));  // between the arms
    EXPECT_TRUE(sameColour(img.pixel(91, 103), kBlack, 0)); // past an arm's end

    // Circle, line and default-colour crosses, at scale 2 about the view's origin.
    label->setImageAndPoints(grey(100, 100, 0), {{10, 20}}, {red}, {{40, 5}});
    label->setImageAndLines(grey(100, 100, 0), {{5, 30, 45, 30}}, {green});
    wheel(QPointF(0, 0), 1200); // pw = 6
    img = grab();

    // Circle at (10, 20): centre view (63, 123), radius 18, not filled.
    for (double a = 0; a < 360; a += 45) {
        const double r = a * CV_PI / 180;
        EXPECT_TRUE(colourNear(img, QPointF(63 + 18 * std::cos(r), 123 + 18 * std::sin(r)), red, 1, 60)) << a;
    }
    EXPECT_TRUE(sameColour(img.pixel(63, 123), kBlack, 0));
    EXPECT_TRUE(sameColour(img.pixel(63 + 9, 123), kBlack, 0));

    // Segment (5, 30) - (45, 30): view y = 183, x from 33 to 273.
    EXPECT_TRUE(colourNear(img, QPointF(150, 183), green, 1, 60));
    EXPECT_TRUE(colourNear(img, QPointF(36, 183), green, 1, 60));
    EXPECT_FALSE(colourNear(img, QPointF(150, 175), green, 2, 120));
    EXPECT_FALSE(colourNear(img, QPointF(285, 183), green, 2, 120));

    // Default cross at (40, 5): view (243, 33), arms 18 long.
    // Antialiased: a one-pixel line on a pixel edge is shared by two pixels.
    EXPECT_TRUE(colourNear(img, QPointF(243 + 12, 33), kCyan, 1, 130));
    EXPECT_TRUE(colourNear(img, QPointF(243, 33 + 12), kCyan, 1, 130));
    EXPECT_FALSE(colourNear(img, QPointF(243 + 12, 33 + 12), kCyan, 2, 120));
    // The coloured crosses of before are replaced.
    EXPECT_FALSE(colourNear(img, QPointF(183, 183), orange, 12, 60));
}

TEST_F(ImageLabelTest, CirclesAtScaleOneAndRatioOneHaveRadiusThree)
{
    show(grey(100, 100, 0), QSize(100, 100));
    label->setImageAndPoints(grey(100, 100, 0), {{10, 20}}, {Colour(255, 255, 255)}, {});
    const QImage img = grab();
    // Centre view (10.5, 20.5), radius 3.
    EXPECT_TRUE(colourNear(img, QPointF(13.5, 20.5), kWhite, 0, 100));
    EXPECT_TRUE(colourNear(img, QPointF(7.5, 20.5), kWhite, 0, 100));
    EXPECT_TRUE(colourNear(img, QPointF(10.5, 23.5), kWhite, 0, 100));
    EXPECT_TRUE(sameColour(img.pixel(10, 20), kBlack, 30));
    EXPECT_FALSE(colourNear(img, QPointF(10.5, 27.5), kWhite, 1, 200));
}

TEST_F(ImageLabelTest, TextsAreDrawnAtTheirPositionsSizesAndColours)
{
    show(grey(100, 100, 0));
    const Colour yellow(255, 255, 0);
    label->setTexts({{20, 20}, {70, 70}}, {"A", "W"}, {10.f, 5.f}, {yellow, kWhite});
    const QImage img = grab();
    // Pixel sizes 30 and 15, baselines starting at (61.5 - 9, 61.5 + 15) and (211.5 - 4.5, 211.5 + 7.5).
    const QRect a = colourBox(img, QRect(30, 20, 80, 70), yellow);
    const QRect w = colourBox(img, QRect(190, 180, 60, 50), kWhite);
    ASSERT_FALSE(a.isNull());
    ASSERT_FALSE(w.isNull());
    EXPECT_NEAR(a.bottom(), 61.5 + 15, 3);
    EXPECT_NEAR(a.left(), 61.5 - 9, 4);
    EXPECT_NEAR(w.bottom(), 211.5 + 7.5, 3);
    QFont font(QStringLiteral("Arial"), 18, QFont::Bold);
    font.setPixelSize(30);
    EXPECT_NEAR(a.height(), QFontMetrics(font).tightBoundingRect("A").height(), 3);
    EXPECT_GT(a.height(), 1.6 * w.height());
    // Nothing yellow outside the first text.
    EXPECT_EQ(colourBox(img, img.rect(), yellow), a);
}

TEST_F(ImageLabelTest, FontSizesStayBetweenOneAndAHundredPixelsAtAnyZoom)
{
    WarningCatcher warnings;
    show(grey(100, 100, 0));
    const Colour yellow(255, 255, 0);
    QFont font(QStringLiteral("Arial"), 18, QFont::Bold);
    font.setPixelSize(100);
    const int tallest = QFontMetrics(font).tightBoundingRect("H").height();

    struct Case {
        const char* what;
        float size;
        int zoomDelta; // about view (91, 91), the text's place
        bool visible;
    };
    const Case cases[] = {
        {"200 image pixels at ratio 3", 200.f, 0, true},
        {"20 image pixels at scale 100", 20.f, 118800, true},
        {"zero size", 0.f, 0, false},
        {"negative size", -5.f, 0, false},
        {"not a number", std::numeric_limits<float>::quiet_NaN(), 0, false},
        {"infinite", std::numeric_limits<float>::infinity(), 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        label->setImage(grey(100, 100, 0));
        zoomOut();
        if (c.zoomDelta)
            wheel(QPointF(91, 91), c.zoomDelta);
        label->setTexts({{30, 30}}, {"H"}, {c.size}, {yellow});
        const QImage img = grab();
        const QRect box = colourBox(img, img.rect(), yellow);
        if (c.visible) {
            ASSERT_FALSE(box.isNull());
            EXPECT_NEAR(box.height(), tallest, 3);
        } else {
            EXPECT_LE(box.height(), 2);
        }
    }
    EXPECT_TRUE(WarningCatcher::caught().isEmpty()) << WarningCatcher::caught().join("\n").toStdString();
}

TEST_F(ImageLabelTest, AxisLabelsAreMagentaCappedAtAHundredPixelsAndOnlyPaintedWithAnotherOverlay)
{
    show(grey(100, 100, 0));
    // At scale 2 about the origin ph = 6: size 10 gives 60 pixels, size 60 would give 360.
    wheel(QPointF(0, 0), 1200);
    label->setAxes({10, 10}, {30, 10}, {10, 30}, 60.f);
    label->update();
    EXPECT_FALSE(hasColour(grab(), kMagenta)) << "axes alone are not painted";

    label->setCrosses({{90, 90}}, {});
    QImage img = grab();
    const QRect zero = colourBox(img, QRect(20, 20, 100, 100), kMagenta);
    ASSERT_FALSE(zero.isNull());
    QFont font(QStringLiteral("Arial"), 18, QFont::Bold);
    font.setPixelSize(100);
    const QFontMetrics metrics(font);
    // "0" starts at (63 - 30, 63 + 50) on its baseline; "X" and "Y" lie right of and below the box.
    EXPECT_NEAR(zero.bottom(), 63 + 50, 3);
    EXPECT_NEAR(zero.height(), metrics.tightBoundingRect("0").height(), 3);

    // Smaller labels at all three places.
    label->setAxes({10, 10}, {30, 10}, {10, 30}, 5.f); // 30 pixels
    img = grab();
    EXPECT_FALSE(colourBox(img, QRect(40, 50, 40, 40), kMagenta).isNull());  // "0" near (54, 78)
    EXPECT_FALSE(colourBox(img, QRect(160, 50, 40, 40), kMagenta).isNull()); // "X" near (174, 78)
    EXPECT_FALSE(colourBox(img, QRect(40, 170, 40, 40), kMagenta).isNull()); // "Y" near (54, 198)

    // A new image switches the crosses off, and the axes with them; they stay stored.
    label->setImage(grey(100, 100, 0));
    EXPECT_FALSE(hasColour(grab(), kMagenta));
    label->setTexts({{90, 90}}, {"t"}, {3.f}, {kWhite});
    EXPECT_FALSE(colourBox(grab(), QRect(40, 50, 40, 40), kMagenta).isNull());
}

TEST_F(ImageLabelTest, OverlayCallsWithMismatchedListsChangeNothing)
{
    show(grey(100, 100, 0));
    const Colour red(255, 0, 0), green(0, 255, 0), blue(0, 0, 255);
    label->setImageAndPoints(grey(100, 100, 0), {{20, 20}}, {red}, {{60, 60}});
    label->setImageAndLines(grey(100, 100, 0), {{5, 90, 95, 90}}, {green});
    label->setTexts({{80, 20}}, {"T"}, {8.f}, {blue});
    const QImage before = grab();
    ASSERT_TRUE(colourNear(before, QPointF(61.5 + 9, 61.5), red, 1, 60));

    struct Call {
        const char* what;
        std::function<void()> call;
    };
    const Call calls[] = {
        {"two points, one colour",
         [&] {
             label->setImageAndPoints(grey(100, 100, 0), {{5, 5}, {9, 9}}, {green}, {});
         }},
        {"lines without colours",
         [&] {
             label->setImageAndLines(grey(100, 100, 0), {{0, 0, 50, 50}}, {});
         }},
        {"lines with too many colours",
         [&] {
             label->setImageAndLines(grey(100, 100, 0), {{0, 0, 50, 50}}, {red, red});
         }},
        {"three crosses, two colours",
         [&] {
             label->setCrosses({{1, 1}, {2, 2}, {3, 3}}, {red, green});
         }},
        {"crosses without points", [&] { label->setCrosses({}, {}); }},
        {"texts without positions", [&] { label->setTexts({}, {"a"}, {3.f}, {red}); }},
        {"texts, one size short",
         [&] {
             label->setTexts({{1, 1}, {5, 5}}, {"a", "b"}, {3.f}, {red, red});
         }},
        {"texts, all empty", [&] { label->setTexts({}, {}, {}, {}); }},
        {"points and crosses empty", [&] { label->setImageAndPoints(grey(100, 100, 0), {}, {}, {}); }},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.what);
        c.call();
        EXPECT_EQ(grab(), before);
    }

    // Two points with one colour draw no circles but still draw the crosses.
    label->setImageAndPoints(grey(100, 100, 0), {{5, 5}, {9, 9}}, {green}, {{80, 80}});
    const QImage img = grab();
    EXPECT_TRUE(colourNear(img, QPointF(241.5 + 6, 241.5), kCyan, 1, 30));
    EXPECT_FALSE(colourNear(img, QPointF(181.5 + 6, 181.5), kCyan, 2, 120)); // the old cross is replaced
    EXPECT_TRUE(colourNear(img, QPointF(61.5 + 9, 61.5), red, 1, 60));       // the old circle stays
    EXPECT_FALSE(colourNear(img, QPointF(16.5 + 9, 16.5), green, 3, 120));
}

TEST_F(ImageLabelTest, ViewPortDrawsNoMoreItemsThanItHasColoursFor)
{
    show(grey(100, 100, 0));
    const Colour red(255, 0, 0);
    view->drawCircles({{20, 20}, {60, 60}}, {red});
    view->drawLines({{0, 10, 99, 10}, {0, 50, 99, 50}}, {});
    view->drawTexts({{10, 80}, {50, 80}}, {"a"}, {5.f, 5.f}, {red, red});
    const QImage img = grab();
    EXPECT_TRUE(colourNear(img, QPointF(61.5 + 9, 61.5), red, 1, 60));
    EXPECT_FALSE(colourNear(img, QPointF(181.5 + 9, 181.5), red, 3, 120));
}

TEST_F(ImageLabelTest, SetImageClearsOverlaysButKeepsTheImageWhenEmpty)
{
    show(cv::Mat(100, 100, CV_8UC3, cv::Scalar(200, 100, 50))); // BGR
    const Colour shown(50, 100, 200);
    EXPECT_TRUE(sameColour(grab().pixel(150, 150), shown, 0));
    const Colour red(255, 0, 0);
    label->setImageAndPoints(cv::Mat(), {{50, 50}}, {red}, {{20, 20}});
    QImage img = grab();
    EXPECT_TRUE(colourNear(img, QPointF(151.5 + 9, 151.5), red, 1, 60));
    EXPECT_TRUE(colourNear(img, QPointF(61.5 + 6, 61.5), kCyan, 1, 30));

    label->setImage(cv::Mat());
    img = grab();
    EXPECT_TRUE(sameColour(img.pixel(150, 150), shown, 0)) << "the image stays";
    EXPECT_FALSE(colourNear(img, QPointF(151.5 + 9, 151.5), red, 3, 120));
    EXPECT_FALSE(colourNear(img, QPointF(61.5 + 6, 61.5), kCyan, 3, 120));

    // Empty point and cross lists keep the stored overlays off after setImage,
    // but keep them on after another call.
    label->setImageAndPoints(grey(100, 100, 0), {{50, 50}}, {red}, {{20, 20}});
    label->setImageAndPoints(grey(100, 100, 0), {}, {}, {});
    img = grab();
    EXPECT_TRUE(colourNear(img, QPointF(151.5 + 9, 151.5), red, 1, 60));
    EXPECT_TRUE(colourNear(img, QPointF(61.5 + 6, 61.5), kCyan, 1, 30));
}

// ---------------------------------------------------------------------------
// Image kinds

TEST_F(ImageLabelTest, FourChannelImagesShowWithoutGridOrOverlays)
{
    show(cv::Mat(100, 100, CV_8UC4, cv::Scalar(10, 20, 30, 0))); // BGRA, fully transparent
    label->setCrosses({{50, 50}}, {});
    wheel(QPointF(0, 0), 10800); // where a grey image shows the grid
    const QImage img = grab();
    EXPECT_TRUE(sameColour(img.pixel(150, 200), Colour(30, 20, 10), 0));
    EXPECT_EQ(blackRunStarts(img, 200, 300).size(), 0u);
    EXPECT_FALSE(hasColour(img, kCyan, 80));
}

TEST_F(ImageLabelTest, DeepImagesAreShownNormalisedToEightBits)
{
    struct Case {
        const char* what;
        int type;
        double lo, hi;
    };
    const Case cases[] = {
        {"16-bit", CV_16UC1, 1000, 3000},        {"signed 16-bit", CV_16SC1, -500, 200},
        {"32-bit int", CV_32SC1, -70000, 90000}, {"float", CV_32FC1, 0.25, 0.75},
        {"double", CV_64FC1, -1e6, 1e6},         {"16-bit colour", CV_16UC3, 0, 60000},
        {"float colour", CV_32FC3, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Left half at the minimum, right half at the maximum, a middle
        // column at the midpoint.
        cv::Mat img(100, 100, c.type, cv::Scalar::all(c.lo));
        img.colRange(50, 100).setTo(cv::Scalar::all(c.hi));
        img.col(50).setTo(cv::Scalar::all((c.lo + c.hi) / 2));
        const cv::Mat shown = DefaultViewPort::toDisplayable(img);
        ASSERT_EQ(shown.depth(), CV_8U);
        ASSERT_EQ(shown.channels(), img.channels());
        double mn, mx;
        cv::minMaxLoc(shown.reshape(1), &mn, &mx);
        EXPECT_EQ(mn, 0);
        EXPECT_EQ(mx, 255);
        EXPECT_NEAR(shown.reshape(1).at<uchar>(10, 50 * img.channels()), 127.5, 1);

        show(img);
        const QImage view = grab();
        EXPECT_TRUE(sameColour(view.pixel(60, 150), kBlack, 0));
        EXPECT_TRUE(sameColour(view.pixel(240, 150), kWhite, 0));
    }
}

TEST_F(ImageLabelTest, NonFiniteValuesDoNotSpoilTheRange)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    cv::Mat img = (cv::Mat_<float>(1, 6) << 2.f, nan, inf, 4.f, -inf, 3.f);
    const cv::Mat shown = DefaultViewPort::toDisplayable(img);
    const cv::Mat expected = (cv::Mat_<uchar>(1, 6) << 0, 0, 0, 255, 0, 128);
    EXPECT_EQ(cv::norm(shown, expected, cv::NORM_INF), 0) << shown;
    // Nothing finite at all still shows.
    const cv::Mat allNan(3, 3, CV_32F, cv::Scalar(nan));
    EXPECT_EQ(cv::countNonZero(DefaultViewPort::toDisplayable(allNan)), 0);
    // A constant image keeps its value.
    const cv::Mat flat(3, 3, CV_16U, cv::Scalar(40));
    EXPECT_EQ(cv::countNonZero(DefaultViewPort::toDisplayable(flat) != 40), 0);
    // Two channels show the first.
    cv::Mat two(2, 2, CV_8UC2, cv::Scalar(11, 22));
    const cv::Mat first = DefaultViewPort::toDisplayable(two);
    EXPECT_EQ(first.type(), CV_8UC1);
    EXPECT_EQ(first.at<uchar>(1, 1), 11);
    // The caller's image is left alone.
    EXPECT_TRUE(std::isnan(img.at<float>(0, 1)));
}

TEST_F(ImageLabelTest, ViewKeepsTheImageProportionsWithTheCursorLabelBelow)
{
    show(grey(100, 200, 0), QSize(300, 150));
    EXPECT_EQ(cursor->pos(), QPoint(0, 150));
    // A new image of other proportions refits the view.
    label->setImage(grey(200, 100, 0));
    QApplication::processEvents();
    EXPECT_EQ(view->width() * 2, view->height());
    EXPECT_EQ(cursor->pos(), QPoint(0, view->height()));
    // The view follows the label's size.
    label->resize(200, 500);
    QApplication::processEvents();
    EXPECT_EQ(view->size(), QSize(200, 400));
}

TEST_F(ImageLabelTest, ImageIsCopiedSoTheCallerMayReuseItsBuffer)
{
    cv::Mat img = grey(100, 100, 255);
    show(img);
    img.setTo(0);
    wheel(QPointF(150, 150), 120); // repaints from the view's own data
    EXPECT_TRUE(sameColour(grab().pixel(150, 150), kWhite, 0));
}

TEST(ImageLabelInLayout, ShowsTheWholeImageInItsProportionsAtAnySizeOfItsPlace)
{
    QWidget dialog;
    auto* grid = new QGridLayout(&dialog);
    auto* label = new ImageLabel(&dialog);
    grid->addWidget(new QPushButton("Open"), 0, 0);
    grid->addWidget(label, 0, 1, 2, 1);
    grid->addWidget(new QPushButton("Calibrate"), 1, 0);
    auto* view = label->findChild<DefaultViewPort*>();
    ASSERT_NE(view, nullptr);

    struct Case {
        QSize image;
        QSize dialog;
    };
    const Case cases[] = {
        {{640, 480}, {900, 600}},  {{640, 480}, {500, 900}},  {{200, 400}, {900, 600}},
        {{200, 400}, {700, 1000}}, {{640, 480}, {1200, 700}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("image %1 x %2 in a dialog of %3 x %4")
                         .arg(c.image.width())
                         .arg(c.image.height())
                         .arg(c.dialog.width())
                         .arg(c.dialog.height())
                         .toStdString());
        // White with a red band on the right and a green band at the bottom
        // (BGR), wide enough to survive the scaling down.
        cv::Mat img(c.image.height(), c.image.width(), CV_8UC3, cv::Scalar::all(255));
        img.colRange(img.cols - img.cols / 20, img.cols).setTo(cv::Scalar(0, 0, 255));
        img.rowRange(img.rows - img.rows / 20, img.rows).setTo(cv::Scalar(0, 255, 0));
        dialog.resize(c.dialog);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        label->setImage(img);
        QApplication::processEvents();

        const QSize shown = view->size();
        EXPECT_EQ(view->viewport()->geometry(), QRect(QPoint(0, 0), shown));
        EXPECT_NEAR(double(shown.width()) / shown.height(), double(img.cols) / img.rows, 0.01);
        // It fills its place one way or the other.
        EXPECT_TRUE(shown.width() == label->width() || shown.height() > label->height() - 40)
            << shown.width() << " x " << shown.height() << " in " << label->width() << " x "
            << label->height();

        view->viewport()->repaint();
        const QImage grabbed = view->grab().toImage();
        const QColor right = grabbed.pixelColor(shown.width() - 1, shown.height() / 3);
        const QColor bottom = grabbed.pixelColor(shown.width() / 3, shown.height() - 1);
        const QColor inside = grabbed.pixelColor(shown.width() * 9 / 10, shown.height() * 9 / 10);
        EXPECT_EQ(right, QColor(255, 0, 0)) << "the image's right edge is at the view's";
        EXPECT_EQ(bottom, QColor(0, 255, 0)) << "the image's bottom is at the view's";
        EXPECT_EQ(inside, QColor(255, 255, 255));
    }
}

TEST(ImageLabelConstruction, PromotedFormsCreateItWithAParentOnly)
{
    QWidget dialog;
    auto* label = new ImageLabel(&dialog);
    EXPECT_EQ(label->parentWidget(), &dialog);
    EXPECT_FALSE(label->isWindow());
    EXPECT_NE(label->findChild<DefaultViewPort*>(), nullptr);
}

} // namespace
