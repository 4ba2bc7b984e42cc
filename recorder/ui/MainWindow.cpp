#include "ui/MainWindow.h"

#include "controller/CRecorderDlg.h"
#include "ui/Artwork.h"
#include "ui/CMyFileDialog.h"
#include "ui/CTimerDlg.h"
#include "ui/DialogStyle.h"
#include "ui/DialogWidgets.h"
#include "ui/ModalHooks.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcutEvent>
#include <QSignalBlocker>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace quelmar {
namespace {

constexpr int kMillisecondsPerSecond = 1000;
// The object name of the window: its dialog template.
constexpr char kDialogTemplateName[] = "102";

QString ToQt(const std::string &text) { return QString::fromStdString(text); }

// The caption without its accelerator marks ("&Record" -> "Record", "&&" -> "&").
QString StripMnemonic(const QString &caption)
{
    QString plain;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size())
            ++i;
        plain += caption[i];
    }
    return plain;
}

QStringList ToQt(const std::vector<std::string> &items)
{
    QStringList list;
    list.reserve(static_cast<qsizetype>(items.size()));
    for (const auto &item : items)
        list.append(ToQt(item));
    return list;
}

QMessageBox::Icon ToQt(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Warning: return QMessageBox::Warning;
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

int SecondsOf(const QTime &time) { return time.msecsSinceStartOfDay() / kMillisecondsPerSecond; }

QTime TimeOf(int secondsSinceMidnight)
{
    return QTime::fromMSecsSinceStartOfDay(secondsSinceMidnight * kMillisecondsPerSecond);
}

// Shows `items` in a list, adding only what is new when the list grew at its
// end (the information panes grow line by line while a recording runs).
void ShowListItems(QListWidget &list, const QStringList &items)
{
    const int shown = list.count();
    int common = 0;
    while (common < shown && common < items.size() && list.item(common)->text() == items[common])
        ++common;
    if (common == shown && common == items.size())
        return;
    list.setUpdatesEnabled(false);
    if (common < shown) {
        while (list.count() > common)
            delete list.takeItem(list.count() - 1);
    }
    list.addItems(items.mid(common));
    list.setUpdatesEnabled(true);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      units_(DialogFont())
{
    setObjectName(QString::fromLatin1(kDialogTemplateName));
    setFont(DialogFont());
    // Parented to the application, so that it outlives every widget using it.
    style_ = new DialogStyle(units_.AverageCharWidth());
    style_->setParent(qApp);
    setStyle(style_);
    setWindowTitle(QString::fromLatin1(kMainWindowCaption));
    setWindowIcon(MainIcon());
    setSizeGripEnabled(false);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetFixedSize); // no sizing border
    menuBar_ = new QMenuBar(this);
    menuBar_->setStyle(style_);
    menuBar_->installEventFilter(this);
    layout->setMenuBar(menuBar_);
    auto *client = new QWidget(this);
    client->setFixedSize(units_.DialogSize());
    layout->addWidget(client);

    BuildControls(client);
    BuildMenu();
}

MainWindow::~MainWindow()
{
    for (auto &[id, timer] : timers_)
        timer->stop();
    if (waitCursor_)
        QApplication::restoreOverrideCursor();
}

void MainWindow::BuildControls(QWidget *client)
{
    for (const DialogItem &item : MainDialogItems()) {
        QWidget *widget = CreateDialogWidget(item, client, units_);
        widget->setStyle(style_);
        if (item.kind == ItemKind::Edit)
            widget->installEventFilter(this); // the number fields' focus loss
        if (item.kind == ItemKind::LogList)
            log_ = static_cast<QListWidget *>(widget);
        QRect rect = units_.ToPixels(item.rect);
        // A drop list's rectangle includes its dropped-down list.
        if (item.kind == ItemKind::DropList)
            rect.setHeight(widget->sizeHint().height());
        widget->setGeometry(rect);
        if (item.id == kNoId)
            continue;
        widget->setObjectName(QString::number(item.id));
        if (qobject_cast<QAbstractButton *>(widget))
            widget->installEventFilter(this); // accelerators shared with the menu bar
        const auto id = static_cast<ControlId>(item.id);
        controls_[id] = Control{&item, widget};
        ConnectInput(item, widget);
    }
}

void MainWindow::BuildMenu()
{
    for (const TopMenuEntry &top : MainMenuTopEntries()) {
        QMenu *menu = menuBar_->addMenu(QString::fromUtf8(top.caption));
        menu->setStyle(style_);
        topMenus_[top.menu] = menu;
    }
    for (const MenuEntry &entry : MainMenuEntries()) {
        QMenu *menu = topMenus_.at(entry.menu);
        if (entry.id == kMenuSeparator) {
            menu->addSeparator();
            continue;
        }
        QAction *action = menu->addAction(QString::fromUtf8(entry.caption));
        const int id = static_cast<int>(entry.id);
        action->setObjectName(QString::number(id));
        action->setData(id);
        action->setCheckable(entry.checkable);
        connect(action, &QAction::triggered, this, [this, item = entry.id] { ReportMenu(item); });
        actions_[entry.id] = action;
    }
}

void MainWindow::ConnectInput(const DialogItem &item, QWidget *widget)
{
    const auto id = static_cast<ControlId>(item.id);
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        std::function<void(CRecorderDlg &)> handler;
        switch (id) {
        case ControlId::Record: handler = [](CRecorderDlg &dlg) { dlg.OnRecord(); }; break;
        case ControlId::Pause: handler = [](CRecorderDlg &dlg) { dlg.OnPause(); }; break;
        case ControlId::Stop: handler = [](CRecorderDlg &dlg) { dlg.OnStop(); }; break;
        case ControlId::SplitNow: handler = [](CRecorderDlg &dlg) { dlg.OnSplitNow(); }; break;
        case ControlId::PowerOff: handler = [](CRecorderDlg &dlg) { dlg.OnCancel(); }; break;
        case ControlId::Browse: handler = [](CRecorderDlg &dlg) { dlg.OnBrowse(); }; break;
        default: return;
        }
        connect(button, &QPushButton::clicked, this, [this, id, handler] { Report(id, handler); });
    } else if (auto *box = qobject_cast<QCheckBox *>(widget)) {
        void (CRecorderDlg::*handler)(bool) = nullptr;
        switch (id) {
        case ControlId::SplitOnSize: handler = &CRecorderDlg::OnSplitOnSizeClicked; break;
        case ControlId::SplitOnTime: handler = &CRecorderDlg::OnSplitOnTimeClicked; break;
        case ControlId::StopAtBox: handler = &CRecorderDlg::OnStopAtClicked; break;
        case ControlId::ShutdownBox: handler = &CRecorderDlg::OnShutdownBoxClicked; break;
        default: return;
        }
        connect(box, &QCheckBox::clicked, this,
                [this, id, handler](bool checked) { Report(id, [&](CRecorderDlg &dlg) { (dlg.*handler)(checked); }); });
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        // activated: the user's choice only, not the controller's.
        connect(combo, &QComboBox::activated, this, [this, id](int index) {
            Report(id, [&](CRecorderDlg &dlg) {
                if (id == ControlId::ChannelList)
                    dlg.OnChannelSelected(index);
                else
                    dlg.OnStreamChoiceChanged(id, index);
            });
        });
    } else if (auto *picker = qobject_cast<QTimeEdit *>(widget)) {
        connect(picker, &QTimeEdit::timeChanged, this, [this, id](const QTime &time) {
            Report(id, [&](CRecorderDlg &dlg) {
                if (id == ControlId::SplitInterval)
                    dlg.OnSplitIntervalChanged(SecondsOf(time));
                else
                    dlg.OnStopTimeChanged(SecondsOf(time));
            });
        });
    }
}

void MainWindow::Report(ControlId id, const std::function<void(CRecorderDlg &)> &handler)
{
    if (!dlg_ || ended_)
        return;
    handler(*dlg_);
    // The handler may have ended the window (Power Off) or detached it.
    if (dlg_ && !ended_)
        ControlChanged(id, dlg_->Control(id));
}

void MainWindow::ReportMenu(MenuItemId id)
{
    QAction *action = actions_.at(id);
    if (!dlg_ || ended_) {
        if (action->isCheckable())
            action->setChecked(!action->isChecked()); // the mark is the controller's
        return;
    }
    dlg_->OnMenuCommand(id);
    if (dlg_ && !ended_)
        MenuItemChanged(id, dlg_->MenuItem(id));
}

void MainWindow::Attach(CRecorderDlg &dlg)
{
    dlg_ = &dlg;
    for (ControlId id : kAllControls)
        ControlChanged(id, dlg.Control(id));
    for (MenuItemId id : kAllMenuItems)
        MenuItemChanged(id, dlg.MenuItem(id));
    for (const TopMenuEntry &top : MainMenuTopEntries())
        TopMenuChanged(top.menu, dlg.TopMenuEnabled(top.menu));
    LogCleared();
    LogLinesAppended(dlg.LogLines());
}

void MainWindow::Detach() { dlg_ = nullptr; }

QWidget *MainWindow::ControlWidget(ControlId id) const
{
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second.widget;
}

QAction *MainWindow::MenuAction(MenuItemId id) const
{
    const auto found = actions_.find(id);
    return found == actions_.end() ? nullptr : found->second;
}

QMenu *MainWindow::TopMenuWidget(TopMenu menu) const { return topMenus_.at(menu); }

void MainWindow::ApplyCaption(const Control &control, const std::string &text)
{
    const DialogItem &item = *control.item;
    // Captioned items always have a caption: an empty one keeps the template's.
    const QString caption = text.empty() ? QString::fromUtf8(item.caption) : ToQt(text);
    switch (item.kind) {
    case ItemKind::StaticText:
        if (auto *label = static_cast<QLabel *>(control.widget); label->text() != caption)
            label->setText(caption);
        break;
    case ItemKind::Edit:
    case ItemKind::ReadOnlyEdit:
        if (auto *edit = static_cast<QLineEdit *>(control.widget); edit->text() != ToQt(text))
            edit->setText(ToQt(text));
        break;
    case ItemKind::CheckBox:
    case ItemKind::PushButton: static_cast<QAbstractButton *>(control.widget)->setText(caption); break;
    case ItemKind::IconButton: {
        auto *button = static_cast<QPushButton *>(control.widget);
        const QString plain = StripMnemonic(caption);
        button->setToolTip(plain);
        button->setAccessibleName(plain);
        button->setShortcut(QKeySequence::mnemonic(caption));
        break;
    }
    default: break;
    }
}

void MainWindow::ApplyItems(QWidget *widget, const DialogItem &item, const ControlState &state)
{
    if (item.kind == ItemKind::DropList) {
        auto *combo = static_cast<QComboBox *>(widget);
        const QSignalBlocker block(combo);
        const QStringList items = ToQt(state.items);
        bool same = combo->count() == items.size();
        for (int i = 0; same && i < combo->count(); ++i)
            same = combo->itemText(i) == items[i];
        if (!same) {
            combo->clear();
            combo->addItems(items);
        }
        if (combo->currentIndex() != state.selection)
            combo->setCurrentIndex(state.selection);
    } else if (item.kind == ItemKind::ListBox) {
        ShowListItems(*static_cast<QListWidget *>(widget), ToQt(state.items));
    }
}

void MainWindow::ControlChanged(ControlId id, const ControlState &state)
{
    const auto found = controls_.find(id);
    if (found == controls_.end())
        return;
    const Control &control = found->second;
    QWidget *widget = control.widget;
    const ItemKind kind = control.item->kind;
    if (widget->isEnabled() != state.enabled)
        widget->setEnabled(state.enabled);
    if (widget->isVisibleTo(this) != state.shown)
        widget->setVisible(state.shown);
    switch (kind) {
    case ItemKind::CheckBox: {
        auto *box = static_cast<QCheckBox *>(widget);
        box->setChecked(state.checked); // no signal: `clicked` is the user's only
        ApplyCaption(control, state.text);
        break;
    }
    case ItemKind::TimePicker: {
        auto *picker = static_cast<QTimeEdit *>(widget);
        if (SecondsOf(picker->time()) != state.timeOfDay) {
            const QSignalBlocker block(picker);
            picker->setTime(TimeOf(state.timeOfDay));
        }
        break;
    }
    case ItemKind::DropList:
    case ItemKind::ListBox: ApplyItems(widget, *control.item, state); break;
    case ItemKind::LogList: break; // LogLinesAppended / LogCleared
    default: ApplyCaption(control, state.text); break;
    }
}

void MainWindow::MenuItemChanged(MenuItemId id, const MenuItemState &state)
{
    if (id == MenuItemId::SystemClose) {
        systemCloseEnabled_ = state.enabled;
        return;
    }
    QAction *action = MenuAction(id);
    if (!action)
        return;
    action->setEnabled(state.enabled);
    if (action->isCheckable())
        action->setChecked(state.checked);
}

void MainWindow::TopMenuChanged(TopMenu menu, bool enabled) { TopMenuWidget(menu)->menuAction()->setEnabled(enabled); }

void MainWindow::LogLinesAppended(const std::vector<std::string> &lines)
{
    if (lines.empty())
        return;
    // The list follows new lines while its last line is (even partly) in
    // view, and stays where the user scrolled to otherwise.
    const int count = log_->count();
    const bool follow = count == 0 || log_->visualItemRect(log_->item(count - 1)).intersects(log_->viewport()->rect());
    log_->setUpdatesEnabled(false);
    log_->addItems(ToQt(lines));
    if (follow)
        log_->scrollToBottom();
    log_->setUpdatesEnabled(true);
}

void MainWindow::LogCleared() { log_->clear(); }

QWidget *MainWindow::ModalParent()
{
    QWidget *modal = QApplication::activeModalWidget();
    return modal ? modal : this;
}

bool MainWindow::AskYesNo(const std::string &text, const std::string &caption)
{
    QMessageBox box(QMessageBox::Question, ToQt(caption), ToQt(text), QMessageBox::Yes | QMessageBox::No,
                    ModalParent());
    box.setDefaultButton(QMessageBox::Yes);
    return ExecMessageBox(box) == QMessageBox::Yes;
}

void MainWindow::ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon)
{
    QMessageBox box(ToQt(icon), ToQt(caption), ToQt(text), QMessageBox::Ok, ModalParent());
    ExecMessageBox(box);
}

std::optional<std::string> MainWindow::RunSaveDialog(const std::string &initial,
                                                     const std::function<bool(const std::string &)> &accept)
{
    CMyFileDialog dialog(ModalParent(), ToQt(initial), accept);
    if (ExecSaveDialog(dialog) != QDialog::Accepted || dialog.ChosenPath().isEmpty())
        return std::nullopt;
    return dialog.ChosenPath().toStdString();
}

void MainWindow::SetWaitCursor(bool wait)
{
    if (wait == waitCursor_)
        return;
    waitCursor_ = wait;
    if (wait)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

bool MainWindow::StartWindowTimer(int id, int periodMs)
{
    QTimer *&timer = timers_[id];
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, id] {
            // A tick that arrives while the last one still runs (a message
            // box of the handler is open) is left out, not nested.
            if (!dlg_ || ended_ || timerBusy_[id])
                return;
            timerBusy_[id] = true;
            dlg_->OnTimer(id);
            timerBusy_[id] = false;
        });
    }
    timer->start(periodMs);
    return true;
}

void MainWindow::KillWindowTimer(int id)
{
    if (const auto found = timers_.find(id); found != timers_.end())
        found->second->stop();
}

bool MainWindow::ChannelListDroppedDown() const
{
    const auto *combo = static_cast<const QComboBox *>(ControlWidget(ControlId::ChannelList));
    return combo && combo->view()->isVisible();
}

bool MainWindow::RunTimerDialog(TimerDialogModel &model, const std::function<bool(const std::string &)> &acceptFileName)
{
    CTimerDlg dialog(model, acceptFileName, this);
    timerDialog_ = &dialog;
    const int result = ExecTimerDialog(dialog);
    timerDialog_ = nullptr;
    return result == QDialog::Accepted;
}

void MainWindow::UpdateWindow() { repaint(); }

void MainWindow::EndDialog()
{
    if (ended_)
        return;
    ended_ = true;
    if (timerDialog_)
        timerDialog_->reject();
    for (auto &[id, timer] : timers_)
        timer->stop();
    SetWaitCursor(false);
    QDialog::done(QDialog::Rejected);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (ended_ || !dlg_) {
        event->accept();
        return;
    }
    // The window closes when the controller ends it (EndDialog), at once or
    // after a running recording has been torn down.
    event->ignore();
    dlg_->OnClose();
}

void MainWindow::reject()
{
    if (dlg_ && !ended_)
        dlg_->OnCancel();
}

bool MainWindow::ResolveAmbiguousAccelerator(QObject *watched, const QKeySequence &key)
{
    // As in any dialog, an accelerator of a usable control wins over the
    // menu bar's ("Spli&t every" and "&Timer"); otherwise the menu opens.
    for (const auto &[id, control] : controls_) {
        auto *button = qobject_cast<QAbstractButton *>(control.widget);
        if (button && button->isVisible() && button->isEnabled() && button->shortcut() == key) {
            button->animateClick();
            return true;
        }
    }
    if (watched == menuBar_)
        return false;
    for (QAction *top : menuBar_->actions()) {
        if (top->isEnabled() && QKeySequence::mnemonic(top->text()) == key) {
            menuBar_->setActiveAction(top);
            return true;
        }
    }
    return false;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Shortcut) {
        const auto *shortcut = static_cast<QShortcutEvent *>(event);
        if (shortcut->isAmbiguous() && ResolveAmbiguousAccelerator(watched, shortcut->key()))
            return true;
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() != QEvent::FocusOut || inKillFocus_ || !dlg_ || ended_)
        return QDialog::eventFilter(watched, event);
    // Focus that only leaves with the window (another window, a menu, the
    // controller's own message box) is no edit finished.
    const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
        return QDialog::eventFilter(watched, event);
    for (const auto &[controlId, control] : controls_) {
        if (control.widget != watched || control.item->kind != ItemKind::Edit)
            continue;
        const ControlId id = controlId;
        const std::string text = static_cast<QLineEdit *>(control.widget)->text().toStdString();
        inKillFocus_ = true;
        Report(id, [&](CRecorderDlg &dlg) {
            if (id == ControlId::SplitSize)
                dlg.OnSplitSizeKillFocus(text);
            else
                dlg.OnVideoDelayKillFocus(text);
        });
        inKillFocus_ = false;
        break;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace quelmar
