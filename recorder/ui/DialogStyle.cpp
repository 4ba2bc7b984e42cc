#include "ui/DialogStyle.h"

#include <QStyleFactory>

#include <cmath>

namespace quelmar {

DialogStyle::DialogStyle(double averageCharWidthPx)
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))),
      checkBoxLabelSpacingPx_(static_cast<int>(std::lround(averageCharWidthPx / 2)))
{}

int DialogStyle::pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const
{
    if (metric == PM_CheckBoxLabelSpacing)
        return checkBoxLabelSpacingPx_;
    return QProxyStyle::pixelMetric(metric, option, widget);
}

} // namespace quelmar
