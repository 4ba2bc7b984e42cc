#include "ui/DialogWidgets.h"

#include "ui/Artwork.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimeEdit>

#include <algorithm>

namespace quelmar {

namespace {

constexpr int kButtonIconSizePx = 16;
// Rows of a dropped-down list are a character height plus this, pixels.
constexpr int kDropListRowPaddingPx = 2;

} // namespace

QWidget *CreateDialogWidget(const DialogItem &item, QWidget *client, const DialogUnits &units)
{
    const QString caption = QString::fromUtf8(item.caption);
    switch (item.kind) {
    case ItemKind::DropList: {
        auto *combo = new QComboBox(client);
        const QRect full = units.ToPixels(item.rect);
        const int rows = (full.height() - combo->sizeHint().height()) / (units.CharHeight() + kDropListRowPaddingPx);
        combo->setMaxVisibleItems(std::max(1, rows));
        return combo;
    }
    case ItemKind::StaticText:
    case ItemKind::Label: {
        auto *label = new QLabel(caption, client);
        label->setTextFormat(Qt::PlainText);
        switch (item.align) {
        case TextAlign::Left: label->setAlignment(Qt::AlignLeft | Qt::AlignTop); break;
        case TextAlign::Right: label->setAlignment(Qt::AlignRight | Qt::AlignTop); break;
        case TextAlign::RightWrapped:
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            label->setWordWrap(true);
            break;
        }
        return label;
    }
    case ItemKind::Edit:
    case ItemKind::ReadOnlyEdit: {
        auto *edit = new QLineEdit(client);
        edit->setReadOnly(item.kind == ItemKind::ReadOnlyEdit);
        return edit;
    }
    case ItemKind::CheckBox: return new QCheckBox(caption, client);
    case ItemKind::PushButton:
    case ItemKind::IconButton: {
        auto *button = new QPushButton(client);
        if (item.kind == ItemKind::IconButton) {
            button->setIcon(ButtonIconFor(item.icon));
            button->setIconSize(QSize(kButtonIconSizePx, kButtonIconSizePx));
        }
        return button;
    }
    case ItemKind::TimePicker: {
        auto *picker = new QTimeEdit(client);
        picker->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        picker->setWrapping(true);
        // A typed time counts when the field is left, not at every digit.
        picker->setKeyboardTracking(false);
        return picker;
    }
    case ItemKind::ListBox: return new QListWidget(client);
    case ItemKind::LogList: {
        auto *list = new QListWidget(client);
        list->setSelectionMode(QAbstractItemView::NoSelection);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setUniformItemSizes(true);
        return list;
    }
    case ItemKind::GroupBox: return new QGroupBox(caption, client);
    case ItemKind::Picture: {
        auto *picture = new QLabel(client);
        picture->setPixmap(PictureArt(units.ToPixels(item.rect).size(), qApp->devicePixelRatio()));
        return picture;
    }
    }
    return new QWidget(client);
}

} // namespace quelmar
