#include "gui/dialogs/ReprojectionErrorPanel.h"

#include "gui/views/ImageLabel.h"

#include <QCoreApplication>
#include <QLabel>
#include <QWidget>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("ReprojectionErrorPanel", text);
}

QString f4(double v)
{
    return QString::number(v, 'f', 4);
}

} // namespace

ReprojectionErrorPanel::ReprojectionErrorPanel(QWidget* group, QLabel* rms, QLabel* smallest, QLabel* largest,
                                               ImageLabel* image)
    : group(group), rmsLabel(rms), minLabel(smallest), maxLabel(largest), imageLabel(image)
{
}

void ReprojectionErrorPanel::hide()
{
    for (QWidget* w : {group, static_cast<QWidget*>(rmsLabel), static_cast<QWidget*>(minLabel),
                       static_cast<QWidget*>(maxLabel)})
        if (w)
            w->hide();
}

void ReprojectionErrorPanel::show(double rms, const cv::Vec3b& rmsColour, double smallest, double largest)
{
    if (!group || !rmsLabel || !minLabel || !maxLabel)
        return;
    rmsLabel->setText(tr("RMS: ") + f4(rms) + " px");
    rmsLabel->setStyleSheet(
        QString("color:rgb(%1,%2,%3);").arg(rmsColour[0]).arg(rmsColour[1]).arg(rmsColour[2]));
    minLabel->setText(tr("Min: ") + f4(smallest) + " px");
    minLabel->setStyleSheet("color:#00ff00");
    maxLabel->setText(tr("Max: ") + f4(largest) + " px");
    maxLabel->setStyleSheet("color:#ff0000");
    group->show();
    rmsLabel->show();
    minLabel->show();
    maxLabel->show();
}

void ReprojectionErrorPanel::drawView(const cv::Mat& image, const std::vector<cv::Point2f>& measured,
                                      const std::vector<cv::Vec3b>& colours,
                                      const std::vector<cv::Point2f>& projected, const BoardAxes& axes)
{
    if (!imageLabel)
        return;
    // The label keeps an overlay that a call does not set: with no circles
    // or no crosses to draw, clear those of the image shown before.
    if (measured.empty() || colours.size() != measured.size() || projected.empty())
        imageLabel->setImage(image);
    imageLabel->setImageAndPoints(image, measured, colours, projected);
    imageLabel->setAxes(axes.origin, axes.xEnd, axes.yEnd, axes.size);
    imageLabel->update();
}
