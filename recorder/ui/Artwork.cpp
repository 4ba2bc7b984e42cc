#include "ui/Artwork.h"

#include <QPainter>
#include <QSvgRenderer>

#include <array>
#include <mutex>

// Resources of a static library are registered by name, outside any namespace.
static void InitArtworkResources() { Q_INIT_RESOURCE(artwork); }

namespace quelmar {
namespace {

// Pixel sizes the icons are rendered at.
constexpr std::array kButtonIconSizesPx = {16, 24, 32, 48};
constexpr std::array kMainIconSizesPx = {16, 22, 32, 48, 64, 128, 256};

struct IconSource {
    ButtonIcon icon;
    const char *themeName;
    const char *resource;
};

constexpr std::array kIconSources = {
    IconSource{ButtonIcon::Record, "media-record", ":/quelmar/record.svg"},
    IconSource{ButtonIcon::Pause, "media-playback-pause", ":/quelmar/pause.svg"},
    IconSource{ButtonIcon::Stop, "media-playback-stop", ":/quelmar/stop.svg"},
    IconSource{ButtonIcon::PowerOff, "system-shutdown", ":/quelmar/power.svg"},
    IconSource{ButtonIcon::Browse, "document-open", ":/quelmar/browse.svg"},
};

const IconSource *SourceOf(ButtonIcon icon)
{
    for (const auto &source : kIconSources)
        if (source.icon == icon)
            return &source;
    return nullptr;
}

QPixmap Render(const QString &resource, QSize sizePx)
{
    QPixmap pixmap(sizePx);
    pixmap.fill(Qt::transparent);
    static std::once_flag resourcesRegistered;
    std::call_once(resourcesRegistered, InitArtworkResources);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

template <size_t N>
QIcon IconFromSvg(const QString &resource, const std::array<int, N> &sizesPx)
{
    QIcon icon;
    for (int size : sizesPx)
        icon.addPixmap(Render(resource, QSize(size, size)));
    return icon;
}

} // namespace

QString ThemeIconName(ButtonIcon icon)
{
    const IconSource *source = SourceOf(icon);
    return source ? QString::fromLatin1(source->themeName) : QString();
}

QIcon OwnButtonIcon(ButtonIcon icon)
{
    const IconSource *source = SourceOf(icon);
    return source ? IconFromSvg(QString::fromLatin1(source->resource), kButtonIconSizesPx) : QIcon();
}

QIcon ButtonIconFor(ButtonIcon icon)
{
    const QString name = ThemeIconName(icon);
    if (!name.isEmpty() && QIcon::hasThemeIcon(name))
        return QIcon::fromTheme(name);
    return OwnButtonIcon(icon);
}

QIcon MainIcon() { return IconFromSvg(QStringLiteral(":/quelmar/quelmar-recorder.svg"), kMainIconSizesPx); }

QPixmap PictureArt(QSize size, qreal devicePixelRatio)
{
    QPixmap pixmap = Render(QStringLiteral(":/quelmar/picture.svg"), size * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace quelmar
