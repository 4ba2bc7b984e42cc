#include "ui/DialogUnits.h"

#include <QFontMetrics>
#include <QFontMetricsF>

#include <cmath>

namespace quelmar {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAlphabetLength = 52;
constexpr int kDuPerCharWidth = 4;
constexpr int kDuPerCharHeight = 8;

} // namespace

QFont DialogFont()
{
    QFont font(kDialogFontFamily, kDialogFontPointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogUnits::DialogUnits(const QFont &font)
    : averageCharWidth_(QFontMetricsF(font).horizontalAdvance(QString::fromLatin1(kAlphabet)) / kAlphabetLength),
      charHeight_(QFontMetrics(font).height())
{}

int DialogUnits::X(int du) const { return static_cast<int>(std::lround(du * averageCharWidth_ / kDuPerCharWidth)); }

int DialogUnits::Y(int du) const
{
    return static_cast<int>(std::lround(static_cast<double>(du) * charHeight_ / kDuPerCharHeight));
}

QRect DialogUnits::ToPixels(const DialogRect &rect) const
{
    const int left = X(rect.x);
    const int top = Y(rect.y);
    return QRect(left, top, X(rect.x + rect.width) - left, Y(rect.y + rect.height) - top);
}

QSize DialogUnits::DialogSize() const { return QSize(X(kDialogWidthDu), Y(kDialogHeightDu)); }

} // namespace quelmar
