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
    : QDialog(parent), m_rModel(model), m_fnAcceptFileName(std::move(acceptFileName))
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

    m_pList = new QTreeWidget(this);
    m_pList->setObjectName(IdName(TimerDialogControl::List));
    m_pList->setColumnCount(TimerDialogModel::kColumnCount);
    QStringList headings;
    for (const auto &column : TimerDialogModel::kColumns)
        headings << QString::fromLatin1(column.heading);
    m_pList->setHeaderLabels(headings);
    int totalWidth = 0;
    for (int i = 0; i < TimerDialogModel::kColumnCount; ++i) {
        m_pList->setColumnWidth(i, TimerDialogModel::kColumns[static_cast<size_t>(i)].widthPx);
        m_pList->headerItem()->setTextAlignment(i, Qt::AlignLeft | Qt::AlignVCenter);
        totalWidth += TimerDialogModel::kColumns[static_cast<size_t>(i)].widthPx;
    }
    m_pList->header()->setStretchLastSection(false);
    m_pList->setRootIsDecorated(false);
    m_pList->setUniformRowHeights(true);
    m_pList->setItemsExpandable(false);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setAllColumnsShowFocus(true);
    m_pList->setItemDelegate(new GridDelegate(m_pList));
    // The selection stays visible while another control has the focus.
    QPalette palette = m_pList->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    m_pList->setPalette(palette);
    const int frame = 2 * m_pList->frameWidth();
    m_pList->setMinimumWidth(totalWidth + frame);
    m_pList->setMinimumHeight(m_pList->header()->sizeHint().height() + kListRowsShown * fontMetrics().height() + frame);
    layout->addWidget(m_pList);

    auto *fields = new QGridLayout;
    m_pChannel = new QComboBox(this);
    m_pChannel->setObjectName(IdName(TimerDialogControl::Channel));
    for (const std::string &name : m_rModel.ChannelNames())
        m_pChannel->addItem(ToQt(name));
    m_pDate = new QDateEdit(this);
    m_pDate->setObjectName(IdName(TimerDialogControl::Date));
    m_pDate->setDisplayFormat(QString::fromLatin1(kDateFormat));
    m_pDate->setCalendarPopup(true);
    m_pStart = new QTimeEdit(this);
    m_pStart->setObjectName(IdName(TimerDialogControl::Start));
    m_pStop = new QTimeEdit(this);
    m_pStop->setObjectName(IdName(TimerDialogControl::Stop));
    for (QTimeEdit *edit : {m_pStart, m_pStop})
        edit->setDisplayFormat(QString::fromLatin1(kTimeFormat));
    fields->addWidget(new QLabel(tr("Channel:"), this), 0, 0);
    fields->addWidget(m_pChannel, 0, 1);
    fields->addWidget(new QLabel(tr("Date:"), this), 0, 2);
    fields->addWidget(m_pDate, 0, 3);
    fields->addWidget(new QLabel(tr("Start:"), this), 0, 4);
    fields->addWidget(m_pStart, 0, 5);
    fields->addWidget(new QLabel(tr("Stop:"), this), 0, 6);
    fields->addWidget(m_pStop, 0, 7);

    m_pFileName = new QLineEdit(this);
    m_pFileName->setObjectName(IdName(TimerDialogControl::FileName));
    auto *browse = new QPushButton(QStringLiteral("..."), this);
    browse->setObjectName(IdName(TimerDialogControl::Browse));
    fields->addWidget(new QLabel(tr("File:"), this), 1, 0);
    fields->addWidget(m_pFileName, 1, 1, 1, 6);
    fields->addWidget(browse, 1, 7);
    layout->addLayout(fields);

    m_pShutdown = new QCheckBox(QStringLiteral("Shut down system after this recording"), this);
    m_pShutdown->setObjectName(IdName(TimerDialogControl::Shutdown));
    layout->addWidget(m_pShutdown);

    auto *days = new QGroupBox(QStringLiteral("Daily or weekly repeated recording options:"), this);
    auto *dayRow = new QHBoxLayout(days);
    for (int i = 0; i < TimerDialogModel::kDaysPerWeek; ++i) {
        auto *box = new QCheckBox(QString::fromLatin1(kWeekdayCaptions[i]), days);
        box->setObjectName(QString::number(static_cast<int>(TimerDialogControl::Monday) + i));
        dayRow->addWidget(box);
        m_arrWeekdays[static_cast<size_t>((kFirstBoxWeekday + i) % TimerDialogModel::kDaysPerWeek)] = box;
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
    connect(m_pList, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (m_bShowing)
            return;
        const QList<QTreeWidgetItem *> selected = m_pList->selectedItems();
        m_rModel.Select(selected.isEmpty() ? -1 : m_pList->indexOfTopLevelItem(selected.first()));
    });
    connect(m_pList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem *item, int column) {
        if (!m_bShowing && column == 0)
            m_rModel.SetChecked(m_pList->indexOfTopLevelItem(item), item->checkState(0) == Qt::Checked);
    });
    connect(m_pList, &QTreeWidget::itemClicked, this, [this] { OnClickList(); });
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
    m_bShowing = true;
    m_pList->clear();
    for (int row = 0; row < static_cast<int>(m_rModel.Rows().size()); ++row) {
        auto *item = new QTreeWidgetItem(m_pList);
        const auto texts = m_rModel.RowTexts(row);
        for (int column = 0; column < TimerDialogModel::kColumnCount; ++column)
            item->setText(column, ToQt(texts[static_cast<size_t>(column)]));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, m_rModel.Rows()[static_cast<size_t>(row)].checked ? Qt::Checked : Qt::Unchecked);
    }
    if (QTreeWidgetItem *selected = m_pList->topLevelItem(m_rModel.Selection())) {
        m_pList->setCurrentItem(selected);
        m_pList->scrollToItem(selected);
    }
    m_bShowing = false;
}

void CTimerDlg::ShowFields()
{
    const TimerDialogModel::Fields &f = m_rModel.fields;
    m_pChannel->setCurrentIndex(f.channel);
    m_pDate->setDate(QDate(f.date.year, f.date.month, f.date.day));
    m_pStart->setTime(TimeOf(f.startTimeOfDay));
    m_pStop->setTime(TimeOf(f.stopTimeOfDay));
    m_pFileName->setText(ToQt(f.fileName));
    m_pShutdown->setChecked(f.shutdown);
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        m_arrWeekdays[static_cast<size_t>(w)]->setChecked(f.weekdays[static_cast<size_t>(w)]);
}

void CTimerDlg::ReadFields()
{
    TimerDialogModel::Fields &f = m_rModel.fields;
    f.channel = m_pChannel->currentIndex();
    const QDate date = m_pDate->date();
    f.date = {date.year(), date.month(), date.day()};
    f.startTimeOfDay = SecondsOf(m_pStart->time());
    f.stopTimeOfDay = SecondsOf(m_pStop->time());
    f.fileName = m_pFileName->text().toStdString();
    f.shutdown = m_pShutdown->isChecked();
    for (int w = 0; w < TimerDialogModel::kDaysPerWeek; ++w)
        f.weekdays[static_cast<size_t>(w)] = m_arrWeekdays[static_cast<size_t>(w)]->isChecked();
}

void CTimerDlg::ReportEdit(TimerDialogModel::EditResult result, const std::string &refusal)
{
    if (result == TimerDialogModel::EditResult::FileNameRefused ||
        result == TimerDialogModel::EditResult::TimeRefused) {
        QMessageBox box(QMessageBox::Warning, windowTitle(), ToQt(refusal), QMessageBox::Ok, this);
        ExecMessageBox(box);
        if (result == TimerDialogModel::EditResult::FileNameRefused)
            m_pFileName->setFocus();
        else
            m_pStart->setFocus();
        return;
    }
    if (result != TimerDialogModel::EditResult::Done)
        return;
    ShowRows();
    // The date follows the entry when Adjust moved it.
    const LocalDate &date = m_rModel.fields.date;
    m_pDate->setDate(QDate(date.year, date.month, date.day));
}

void CTimerDlg::OnClickList()
{
    if (m_rModel.Selection() < 0)
        return;
    m_rModel.OnClickList();
    ShowFields();
}

void CTimerDlg::OnAdd()
{
    ReadFields();
    std::string refusal;
    ReportEdit(m_rModel.OnAdd(&refusal), refusal);
}

void CTimerDlg::OnUpdate()
{
    ReadFields();
    std::string refusal;
    ReportEdit(m_rModel.OnUpdate(&refusal), refusal);
}

void CTimerDlg::OnDelete()
{
    if (m_rModel.OnDelete())
        ShowRows();
}

void CTimerDlg::OnBrowse()
{
    CMyFileDialog dialog(this, m_pFileName->text(), m_fnAcceptFileName);
    if (ExecSaveDialog(dialog) == QDialog::Accepted && !dialog.ChosenPath().isEmpty())
        m_pFileName->setText(dialog.ChosenPath());
}

} // namespace quelmar
