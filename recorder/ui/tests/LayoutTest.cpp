// The window's layout: every control and menu item by its id, the frame, the
// artwork, and no text cut off by its rectangle.
#include "ui/DialogTemplate.h"
#include "ui/RunMainWindow.h"
#include "ui/tests/WindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QStyleOptionSpinBox>
#include <QTimeEdit>

#include <ctime>
#include <map>

using namespace quelmar;
using namespace quelmar::testing;

namespace {

// Pixels a line edit keeps free on each side of its text.
constexpr int kLineEditMarginPx = 2;
constexpr int kDaysPerLeapYear = 366;
constexpr int kSecondsPerDay = 86400;
constexpr int kYearFrom1900 = 124; // 2024: a leap year
constexpr int kNoonHour = 12;

// The longest date the clock shows in the current locale, over a whole year.
QString LongestDate(const QFontMetrics &metrics)
{
    std::tm start{};
    start.tm_year = kYearFrom1900;
    start.tm_mday = 1;
    start.tm_hour = kNoonHour;
    const std::time_t first = std::mktime(&start);
    QString longest;
    for (int day = 0; day < kDaysPerLeapYear; ++day) {
        const std::time_t t = first + static_cast<std::time_t>(day) * kSecondsPerDay;
        char text[128];
        std::strftime(text, sizeof text, "%A, %d. %B %Y", std::localtime(&t));
        const QString date = QString::fromLocal8Bit(text);
        if (metrics.horizontalAdvance(date) > metrics.horizontalAdvance(longest))
            longest = date;
    }
    return longest;
}

// The widest texts the window's fields show, beyond their current ones.
std::map<ControlId, QStringList> WidestTexts(const QFontMetrics &metrics)
{
    const QString bytes = QStringLiteral("9999999999"); // ten digits: over 9 GB
    const QString time = QStringLiteral("23:59:59");
    return {
        {ControlId::VideoBytes, {bytes}},
        {ControlId::AudioBytes, {bytes}},
        {ControlId::MuxBytes, {bytes}},
        {ControlId::Pts, {bytes}},
        {ControlId::VideoPadding, {bytes}},
        {ControlId::RecordingTime, {time}},
        {ControlId::TimeSinceSplit, {time, QStringLiteral("hh:mm:ss")}},
        {ControlId::Clock, {time, QStringLiteral("- :- - :- - ")}},
        {ControlId::Date, {LongestDate(metrics)}},
        {ControlId::SplitSize, {QStringLiteral("4096"), QStringLiteral("9999")}},
        {ControlId::VideoDelay, {QStringLiteral("-1000")}},
        {ControlId::SplitInterval, {time}},
        {ControlId::StopTime, {time}},
    };
}

// Describes every text of `root` that does not fit the room its widget
// gives it; empty when all fit.
std::vector<std::string> ClippedTexts(QWidget &root)
{
    std::vector<std::string> clipped;
    const auto check = [&](QWidget *widget, const QString &text, QSize needed, QRect room) {
        if (needed.width() > room.width() || needed.height() > room.height())
            clipped.push_back(widget->objectName().toStdString() + " \"" + text.toStdString() + "\" needs " +
                              std::to_string(needed.width()) + "x" + std::to_string(needed.height()) + ", has " +
                              std::to_string(room.width()) + "x" + std::to_string(room.height()));
    };
    const auto widest = WidestTexts(root.fontMetrics());
    const auto textsOf = [&](QWidget *widget, const QString &current) {
        QStringList texts{current};
        bool ok = false;
        const int id = widget->objectName().toInt(&ok);
        if (ok) {
            if (const auto found = widest.find(static_cast<ControlId>(id)); found != widest.end())
                texts += found->second;
        }
        return texts;
    };

    for (QWidget *widget : root.findChildren<QWidget *>()) {
        const QFontMetrics metrics = widget->fontMetrics();
        QStyle *style = widget->style();
        if (auto *label = qobject_cast<QLabel *>(widget); label && label->pixmap().isNull()) {
            const int flags = int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
            for (const QString &text : textsOf(label, label->text()))
                check(label, text, metrics.boundingRect(label->contentsRect(), flags, text).size(),
                      label->contentsRect());
        } else if (auto *box = qobject_cast<QCheckBox *>(widget)) {
            QStyleOptionButton option;
            option.initFrom(box);
            option.text = box->text();
            if (!box->text().isEmpty())
                check(box, box->text(), metrics.size(Qt::TextShowMnemonic, box->text()),
                      style->subElementRect(QStyle::SE_CheckBoxContents, &option, box));
        } else if (auto *button = qobject_cast<QPushButton *>(widget); button && !button->text().isEmpty()) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            check(button, button->text(), metrics.size(Qt::TextShowMnemonic, button->text()),
                  style->subElementRect(QStyle::SE_PushButtonContents, &option, button));
        } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
            QStyleOptionComboBox option;
            option.initFrom(combo);
            const QRect field =
                style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
            QStringList texts;
            for (int i = 0; i < combo->count(); ++i)
                texts += combo->itemText(i);
            for (const QString &text : textsOf(combo, QString()) + texts)
                check(combo, text, QSize(metrics.horizontalAdvance(text), metrics.height()), field);
        } else if (auto *picker = qobject_cast<QTimeEdit *>(widget)) {
            QStyleOptionSpinBox option;
            option.initFrom(picker);
            option.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
            option.frame = true;
            const QRect field = style->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxEditField, picker);
            for (const QString &text : textsOf(picker, picker->text()))
                check(picker, text, QSize(metrics.horizontalAdvance(text) + 2 * kLineEditMarginPx, metrics.height()),
                      field);
        } else if (auto *edit = qobject_cast<QLineEdit *>(widget);
                   edit && edit->parentWidget() && !qobject_cast<QAbstractSpinBox *>(edit->parentWidget())) {
            if (edit->isReadOnly())
                continue; // the file name: a path of any length, scrolled
            QStyleOptionFrame option;
            option.initFrom(edit);
            option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
            QRect field = style->subElementRect(QStyle::SE_LineEditContents, &option, edit);
            field.adjust(kLineEditMarginPx, 0, -kLineEditMarginPx, 0);
            for (const QString &text : textsOf(edit, edit->text()))
                check(edit, text, QSize(metrics.horizontalAdvance(text), metrics.height()), field);
        }
    }
    return clipped;
}

class LayoutTest : public WindowFixture {};

} // namespace

TEST_F(LayoutTest, EveryControlAndMenuItemIsFoundByItsId)
{
    OpenWindow();
    for (ControlId id : kAllControls)
        EXPECT_NE(Widget(id), nullptr) << static_cast<int>(id);
    for (MenuItemId id : kAllMenuItems) {
        auto *action = window_->findChild<QAction *>(QString::number(static_cast<int>(id)));
        EXPECT_EQ(action ? action->data().toInt() : 0, id == MenuItemId::SystemClose ? 0 : static_cast<int>(id));
    }
    // Without an icon theme (as here) the buttons show our own icons.
    for (ControlId id : {ControlId::Record, ControlId::Pause, ControlId::Stop, ControlId::PowerOff, ControlId::Browse})
        EXPECT_FALSE(Widget<QPushButton>(id)->icon().isNull()) << static_cast<int>(id);
}

TEST_F(LayoutTest, FontIsDejaVuSansAndNoTextIsClipped)
{
    ASSERT_TRUE(QFontDatabase::families().contains(QString::fromLatin1(kDialogFontFamily)))
        << "fonts-dejavu-core is missing";
    OpenWindow();
    EXPECT_EQ(QFontInfo(window_->font()).family().toStdString(), kDialogFontFamily);
    const std::vector<std::string> clipped = ClippedTexts(*window_);
    EXPECT_TRUE(clipped.empty()) << ::testing::PrintToString(clipped);
}

// One instance per receiver: the window's caption tells the instances apart.
TEST_F(LayoutTest, AnInstanceNamesItsWindow)
{
    MainWindowOptions options;
    options.screenshotPath = QUELMAR_TEST_DIR "/instance-window.png";
    options.instance = "dish2";
    std::string caption;
    ASSERT_EQ(RunMainWindow(app_, dispatcher_, options, MakeSetup(),
                            [&](CRecorderDlg &) {
                                for (QWidget *widget : QApplication::topLevelWidgets())
                                    if (auto *main = dynamic_cast<MainWindow *>(widget))
                                        caption = main->windowTitle().toStdString();
                            }),
              0);
    EXPECT_EQ(caption, std::string(kMainWindowCaption) + " - dish2");
}

TEST_F(LayoutTest, ScreenshotOptionSavesThePictureOfTheStartedWindow)
{
    const std::string path = QUELMAR_TEST_DIR "/main-window-" + QGuiApplication::platformName().toStdString() + ".png";
    app_.m_strFile = "/srv/recordings/evening news"; // nothing is recorded
    std::filesystem::remove(path);
    MainWindowOptions options;
    options.screenshotPath = path;
    ASSERT_EQ(RunMainWindow(app_, dispatcher_, options, MakeSetup()), 0);
    const QImage shot(QString::fromStdString(path));
    ASSERT_FALSE(shot.isNull());
    MainWindow reference;
    EXPECT_EQ(shot.size(), reference.sizeHint());
    // The screenshot run leaves the receiver switched on.
    AspiVirtualState state{};
    ASSERT_EQ(getState_(kAdapter, kTarget, &state), 1);
    EXPECT_TRUE(state.powered);
}
