// The window's artwork: the main icon, the picture and the button icons.
// Everything is our own (SVG in the program's resources); the buttons prefer
// the desktop's icon theme and fall back to our icons without one.
// User-interface thread only (needs a QGuiApplication).
#pragma once

#include "ui/DialogTemplate.h"

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace quelmar {

// The freedesktop icon name of a button icon ("" for None).
QString ThemeIconName(ButtonIcon icon);

// The button's icon from the theme, or our own when the theme has none.
QIcon ButtonIconFor(ButtonIcon icon);

// Our own icon for a button, ignoring the theme (null for None).
QIcon OwnButtonIcon(ButtonIcon icon);

// The program's icon (main icon 128), at the usual icon sizes.
QIcon MainIcon();

// The picture beside the stop time (bitmap 143), `size` device-independent
// pixels at the given device pixel ratio.
QPixmap PictureArt(QSize size, qreal devicePixelRatio);

} // namespace quelmar
