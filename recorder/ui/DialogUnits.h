// Dialog units of the main window's font and the font itself.
#pragma once

#include "ui/DialogTemplate.h"

#include <QFont>
#include <QRect>
#include <QSize>

namespace quelmar {

// The window font: DejaVu Sans, which a fresh Debian has (fonts-dejavu-core),
// at Qt's usual size. The original template's 8-point font is smaller; every
// caption fits its rectangle at this size (checked by the window tests).
inline constexpr char kDialogFontFamily[] = "DejaVu Sans";
inline constexpr int kDialogFontPointSize = 9;

// The font the main window uses.
QFont DialogFont();

// Converts dialog units to pixels for one font: horizontally a quarter of
// the average width of the 52 letters of the alphabet, vertically an eighth
// of the character height (ascent + descent).
class DialogUnits {
public:
    explicit DialogUnits(const QFont &font);

    // Pixels of a rectangle; edges are converted one by one, so that
    // rectangles that touch in dialog units also touch in pixels.
    QRect ToPixels(const DialogRect &rect) const;
    // Pixels of the client area of kDialogWidthDu x kDialogHeightDu.
    QSize DialogSize() const;

    double AverageCharWidth() const { return averageCharWidth_; }
    int CharHeight() const { return charHeight_; }

private:
    int X(int du) const;
    int Y(int du) const;

    double averageCharWidth_; // pixels
    int charHeight_;          // pixels
};

} // namespace quelmar
