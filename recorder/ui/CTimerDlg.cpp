#include "ui/CTimerDlg.h"

#include "ui/CMyFileDialog.h"
#include "ui/DialogUnits.h"
#include "ui/ModalHooks.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quelmar {
namespace {

constexpr char kTemplateName[] = "131";
constexpr char kTimeFormat[] = "HH:mm:ss";
constexpr char kDateFormat[] = "dd.MM.yyyy";
constexpr int kMillisecondsPerSecond = 1000;
constexpr int kListRowsShown = 10;
// Captions of the weekday boxes, Monday first as the dialog shows them;
// kFirstBoxWeekday is the weekday of the first (0 = Sunday).
constexpr const char *kWeekdayCaptions[] = {"Mo", "Tu", "We", "Th", "Fr", "Sa", "Su"};
constexpr int kFirstBoxWeekday = 1;

QString ToQt(const std::string &text) { return QString::fromStdString(text); }

QString IdName(TimerDialogControl id) { return QString::number(static_cast<int>(id)); }

int SecondsOf(const QTime &time) { return time.msecsSinceStartOfDay() / kMillisecondsPerSecond; }

QTime TimeOf(int32_t secondsSinceMidnight)
{
    return QTime::fromMSecsSinceStartOfDay(secondsSinceMidnight * kMillisecondsPerSecond);
}

// Draws the grid lines of a report list: every cell framed.
class GridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        const QRect cell = option.rect;
        painter->drawLine(cell.topRight(), cell.bottomRight());
        painter->drawLine(cell.bottomLeft(), cell.bottomRight());
        painter->restore();
    }
};

} // namespace

CTimerDlg::CTimerDlg(TimerDialogModel &model, std::function<bool(const std::string &)> acceptFileName, QWidget *parent)
    : QDialog(parent), model_(model), acceptFileName_(std::move(acceptFileName))
{
    setObjectName(QString::fromLatin1(kTemplateName));
    setWindowTitle(QString::fromLatin1(kTimerDialogCaption));
    setFont(DialogFont());
    BuildControls();
    ShowRows();
    ShowFields();
    ConnectInput();
}

QWidget *CTimerDlg::ControlWidget(TimerDialogControl id) const { return findChild<QWidget *>(IdName(id)); }

void CTimerDlg::BuildControls()
{
    auto *layout = new QVBoxLayout(this);

    list_ = new QTreeWidget(this);
    list_->setObjectName(IdName(TimerDialogControl::List));
    list_->setColumnCount(TimerDialogModel::kColumnCount);
    QStringList headings;
    for (const auto &column : TimerDialogModel::kColumns)
        headings << QString::fromLatin1(column.heading);
    list_->setHeaderLabels(headings);
    int totalWidth = 0;
    for (int i = 0; i < TimerDialogModel::kColumnCount; ++i) {
        list_->setColumnWidth(i, TimerDialogModel::kColumns[static_cast<size_t>(i)].widthPx);
        list_->headerItem()->setTextAlignment(i, Qt::AlignLeft | Qt::AlignVCenter);
        totalWidth += TimerDialogModel::kColumns[static_cast<size_t>(i)].widthPx;
    }
    list_->header()->setStretchLastSection(false);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setItemsExpandable(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    list_->setItemDelegate(new GridDelegate(list_));
    // The selection stays visible while another control has the focus.
    QPalette palette = list_->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    list_->setPalette(palette);
    const int frame = 2 * list_->frameWidth();
    list_->setMinimumWidth(totalWidth + frame);
    list_->setMinimumHeight(list_->header()->sizeHint().height() + kListRowsShown * fontMetrics().height() + frame);
    layout->addWidget(list_);

    auto *fields = new QGridLayout;
    channel_ = new QComboBox(this);
    channel_->setObjectName(IdName(TimerDialogControl::Channel));
    for (const std::string &name : model_.ChannelNames())
        channel_->addItem(ToQt(name));
    date_ = new QDateEdit(this);
    date_->setObjectName(IdName(TimerDialogControl::Date));
    date_->setDisplayFormat(QString::fromLatin1(kDateFormat));
    date_->setCalendarPopup(true);
    start_ = new QTimeEdit(this);
    start_->setObjectName(IdName(TimerDialogControl::Start));
    stop_ = new QTimeEdit(this);
    stop_->setObjectName(IdName(TimerDialogControl::Stop));
    for (QTimeEdit *edit : {start_, stop_})
        edit->setDisplayFormat(QString::fromLatin1(kTimeFormat));
    fields->addWidget(new QLabel(tr("Channel:"), this), 0, 0);
    fields->addWidget(channel_, 0, 1);
    fields->addWidget(new QLabel(tr("Date:"), this), 0, 2);
    fields->addWidget(date_, 0, 3);
    fields->addWidget(new QLabel(tr("Start:"), this), 0, 4);
    fields->addWidget(start_, 0, 5);
    fields->addWidget(new QLabel(tr("Stop:"), this), 0, 6);
    fields->addWidget(stop_, 0, 7);

    fileName_ = new QLineEdit(this);
    fileName_->setObjectName(IdName(TimerDialogControl::FileName));
    auto *browse = new QPushButton(QStringLiteral("..."), this);
    browse->setObjectName(IdName(TimerDialogControl::Browse));
    fields->addWidget(new QLabel(tr("File:"), this), 1, 0);
    fields->addWidget(fileName_, 1, 1, 1, 6);
    fields->addWidget(browse, 1, 7);
    layout->addLayout(fields);

    shutdown_ = new QCheckBox(QStringLiteral("Shut down system after this recording"), this);
    shutdown_->setObjectName(IdName(TimerDialogControl::Shutdown));
    layout->addWidget(shutdown_);

    auto *days = new QGroupBox(QStringLiteral("Daily or weekly repeated recording options:"), this);
    auto *dayRow = new QHBoxLayout(days);
    for (int i = 0; i < TimerDialogModel::kDaysPerWeek; ++i) {
        auto *box = new QCheckBox(QString::fromLatin1(kWeekdayCaptions[i]), days);
        box->setObjectName(QString::number(static_cast<int>(TimerDialogControl::Monday) + i));
        dayRow->addWidget(box);
        weekdays_[static_cast<size_t>((kFirstBoxWeekday + i) % TimerDialogModel::kDaysPerWeek)] = box;
    }
    dayRow->addStretch();
    layout->addWidget(days);

    auto *buttons = new QHBoxLayout;
    const struct {
        TimerDialogControl id;
        const char *caption;
    } kButtons[] = {{TimerDialogControl::Add, "Add"},
                    {TimerDialogControl::Update, "Update"},
                    {TimerDialogControl::Delete, "Delete"},
                    {TimerDialogControl::Ok, "Ok"},
                    {TimerDialogControl::Cancel, "Cancel"}};
    for (const auto &entry : kButtons) {
        if (entry.id == TimerDialogControl::Ok)
            buttons->addStretch();
        auto *button = new QPushButton(QString::fromLatin1(entry.caption), this);
        button->setObjectName(IdName(entry.id));
        // Enter is Ok, as in any dialog; the other buttons take it only
        // while they have the focus.
        button->setAutoDefault(false);
        button->setDefault(entry.id == TimerDialogControl::Ok);
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
}

void CTimerDlg::ConnectInput()
{
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (showing_)
            return;
        const QList<QTreeWidgetItem *> selected = list_->selectedItems();
        model_.Select(selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.first()));
    });
    connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem *item, int column) {
        if (!showing_ && column == 0)
            model_.SetChecked(list_->indexOfTopLevelItem(item), item->checkState(0) == Qt::Checked);
    });
    connect(list_, &QTreeWidget::itemClicked, this, [this] { OnClickList(); });
    const auto button = [this](TimerDialogControl id) { return findChild<QPushButton *>(IdName(id)); };
    connect(button(TimerDialogControl::Add), &QPushButton::clicked, this, [this] { OnAdd(); });
    connect(button(TimerDialogControl::Update), &QPushButton::clicked, this, [this] { OnUpdate(); });
    connect(button(TimerDialogControl::Delete), &QPushButton::clicked, this, [this] { OnDelete(); });
    connect(button(TimerDialogControl::Browse), &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(button(TimerDialogControl::Ok), &QPushButton::clicked, this, &QDialog::accept);
    connect(button(TimerDialogControl::Cancel), &QPushButton::clicked, this, &QDialog::reject);
}

void CTimerDlg::ShowRows()
{
    showing_ = true;
    list_->clear();
    for (int row = 0; row < static_cast<int>(model_.Rows().size()); ++row) {
        auto *item = new QTreeWidgetItem(list_);
        const auto texts = model_.RowTexts(row);
        for (int column = 0; column < TimerDialogModel::kColumnCount; ++column)
            item->setText(column, ToQt(texts[static_cast<size_t>(column)]));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, model_.Rows()[static_cast<size_t>(row)].checked ? Qt::Checked : Qt::Unchecked);
    }
    if (QTreeWidgetItem *selected = list_->topLevelItem(model_.Selection())) {
        list_->setCurrentItem(selected);
        list_->scrollToItem(selected);
    }
    showing_ = false;
}

void CTimerDlg::ShowFields()
{
    const TimerDialogModel::Fields &f = model_.fields;
    channel_->setCurrentIndex(f.channel);
    date_->setDate(QDate(f.date.year, f.date.month, f.date.day));
    start_->setTime(TimeOf(f.startTimeOfDay));
    stop_->setTime(TimeOf(f.stopTimeOfDay));
    fileName_->setText(ToQt(f.fileName));
    shutdown_->setChecked(f.shutdown);
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        weekdays_[static_cast<size_t>(w)]->setChecked(f.weekdays[static_cast<size_t>(w)]);
}

void CTimerDlg::ReadFields()
{
    TimerDialogModel::Fields &f = model_.fields;
    f.channel = channel_->currentIndex();
    const QDate date = date_->date();
    f.date = {date.year(), date.month(), date.day()};
    f.startTimeOfDay = SecondsOf(start_->time());
    f.stopTimeOfDay = SecondsOf(stop_->time());
    f.fileName = fileName_->text().toStdString();
    f.shutdown = shutdown_->isChecked();
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        f.weekdays[static_cast<size_t>(w)] = weekdays_[static_cast<size_t>(w)]->isChecked();
}

void CTimerDlg::ReportEdit(TimerDialogModel::EditResult result, const std::string &refusal)
{
    if (result == TimerDialogModel::EditResult::FileNameRefused ||
        result == TimerDialogModel::EditResult::TimeRefused) {
        QMessageBox box(QMessageBox::Warning, windowTitle(), ToQt(refusal), QMessageBox::Ok, this);
        ExecMessageBox(box);
        if (result == TimerDialogModel::EditResult::FileNameRefused)
            fileName_->setFocus();
        else
            start_->setFocus();
        return;
    }
    if (result != TimerDialogModel::EditResult::Done)
        return;
    ShowRows();
    // The date follows the entry when Adjust moved it.
    const LocalDate &date = model_.fields.date;
    date_->setDate(QDate(date.year, date.month, date.day));
}

void CTimerDlg::OnClickList()
{
    if (model_.Selection() < 0)
        return;
    model_.OnClickList();
    ShowFields();
}

void CTimerDlg::OnAdd()
{
    ReadFields();
    std::string refusal;
    ReportEdit(model_.OnAdd(&refusal), refusal);
}

void CTimerDlg::OnUpdate()
{
    ReadFields();
    std::string refusal;
    ReportEdit(model_.OnUpdate(&refusal), refusal);
}

void CTimerDlg::OnDelete()
{
    if (model_.OnDelete())
        ShowRows();
}

void CTimerDlg::OnBrowse()
{
    CMyFileDialog dialog(this, fileName_->text(), acceptFileName_);
    if (ExecSaveDialog(dialog) == QDialog::Accepted && !dialog.ChosenPath().isEmpty())
        fileName_->setText(dialog.ChosenPath());
}

} // namespace quelmar
