// The widget style of the main window: Qt's Fusion style on every desktop,
// so that the template's rectangles hold whatever style the desktop prefers,
// with the gap between a check box and its caption of the original dialogs
// (half a character) instead of Fusion's wider one.
#pragma once

#include <QProxyStyle>

namespace quelmar {

class DialogStyle : public QProxyStyle {
public:
    // `averageCharWidthPx`: the window font's average character width.
    explicit DialogStyle(double averageCharWidthPx);

    int pixelMetric(PixelMetric metric, const QStyleOption *option = nullptr,
                    const QWidget *widget = nullptr) const override;

private:
    int checkBoxLabelSpacingPx_;
};

} // namespace quelmar
