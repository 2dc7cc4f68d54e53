#include "gui/views/ImageLabel.h"

#include <QMutexLocker>

#include "gui/views/DefaultViewPort.h"

namespace {

bool hasPixels(const cv::Mat& image)
{
    return image.data != nullptr && image.total() > 0;
}

} // namespace

ImageLabel::ImageLabel(QWidget* parent, Qt::WindowFlags f) : QWidget(parent, f)
{
    boxLayout = new QBoxLayout(QBoxLayout::TopToBottom);
    boxLayout->setContentsMargins(0, 0, 0, 0);
    boxLayout->setSpacing(0);
    boxLayout->setSizeConstraint(QLayout::SetMinAndMaxSize);
    setMinimumSize(100, 100);

    view = new DefaultViewPort(this);
    cursorLabel = new QLabel(this);

    boxLayout->addWidget(view->viewWidget());
    boxLayout->addWidget(cursorLabel);
    setLayout(boxLayout);
    show();
}

ImageLabel::~ImageLabel()
{
    // The view reaches back into this widget while it goes; let it go first.
    delete view->viewWidget();
    view = nullptr;
}

bool ImageLabel::storeImage(const cv::Mat& image)
{
    if (!hasPixels(image))
        return false;
    {
        QMutexLocker lock(&imageMutex);
        image.copyTo(imageCopy);
    }
    view->setViewImage(imageCopy);
    return true;
}

void ImageLabel::setImage(const cv::Mat& image)
{
    storeImage(image);
    view->clearDrawings();
}

void ImageLabel::setImageAndPoints(const cv::Mat& image, const std::vector<cv::Point2f>& points,
                                   const std::vector<cv::Vec3b>& pointColours,
                                   const std::vector<cv::Point2f>& crosses)
{
    storeImage(image);
    if (!points.empty() && pointColours.size() == points.size())
        view->drawCircles(points, pointColours);
    if (!crosses.empty())
        view->drawCrosses(crosses);
}

void ImageLabel::setImageAndLines(const cv::Mat& image, const std::vector<cv::Vec4f>& lines,
                                  const std::vector<cv::Vec3b>& lineColours)
{
    storeImage(image);
    if (!lines.empty() && lineColours.size() == lines.size())
        view->drawLines(lines, lineColours);
}

void ImageLabel::setAxes(cv::Point2f origin, cv::Point2f xEnd, cv::Point2f yEnd, float fontSize)
{
    view->drawAxes(origin, xEnd, yEnd, fontSize);
}

void ImageLabel::setCrosses(const std::vector<cv::Point2f>& points, const std::vector<cv::Vec3b>& colours)
{
    if (points.empty())
        return;
    if (colours.empty())
        view->drawCrosses(points);
    else if (colours.size() == points.size())
        view->drawCrosses(points, colours);
}

void ImageLabel::setTexts(const std::vector<cv::Point2f>& positions, const std::vector<std::string>& texts,
                          const std::vector<float>& sizes, const std::vector<cv::Vec3b>& colours)
{
    const size_t n = positions.size();
    if (n == 0 || texts.size() != n || sizes.size() != n || colours.size() != n)
        return;
    view->drawTexts(positions, texts, sizes, colours);
}
