// MainWindow: the recorder's main window in Qt Widgets. It shows the state
// that CRecorderDlg keeps for every control and menu item and reports the
// user's input to CRecorderDlg's handlers; it decides nothing itself.
//
// The layout comes from the dialog template (DialogTemplate.h) in dialog
// units of the window font. Every control carries its id as objectName
// ("1002"), every menu action its command id as objectName and data.
// User-interface thread only.
#pragma once

#include "controller/MainView.h"
#include "ui/DialogTemplate.h"
#include "ui/DialogUnits.h"

#include <QDialog>

#include <map>
#include <memory>

class QAction;
class QKeySequence;
class QListWidget;
class QMenu;
class QMenuBar;
class QTimer;

namespace quelmar {

class CRecorderDlg;
class CTimerDlg;
class DialogStyle;

class MainWindow : public QDialog, public MainView {
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow &) = delete;
    MainWindow &operator=(const MainWindow &) = delete;

    // Connects the controller: shows its whole model now and reports the
    // user's input to it from then on. `dlg` must outlive the window's use
    // of it (call Detach() before destroying it first).
    void Attach(CRecorderDlg &dlg);
    void Detach();

    // The widget of control `id`, nullptr if the window has none.
    QWidget *ControlWidget(ControlId id) const;
    // The action of menu item `id`, nullptr for the system menu's Close.
    QAction *MenuAction(MenuItemId id) const;
    QMenu *TopMenuWidget(TopMenu menu) const;
    QMenuBar *MenuBar() const { return menuBar_; }
    const DialogUnits &Units() const { return units_; }
    // Whether the system menu's Close is offered (the window manager owns
    // the frame, so a close always arrives; the controller decides on it).
    bool SystemCloseEnabled() const { return systemCloseEnabled_; }

    // ---- MainView ------------------------------------------------------------
    void ControlChanged(ControlId id, const ControlState &state) override;
    void MenuItemChanged(MenuItemId id, const MenuItemState &state) override;
    void TopMenuChanged(TopMenu menu, bool enabled) override;
    void LogLinesAppended(const std::vector<std::string> &lines) override;
    void LogCleared() override;
    bool AskYesNo(const std::string &text, const std::string &caption) override;
    void ShowMessage(const std::string &text, const std::string &caption, MessageIcon icon) override;
    std::optional<std::string> RunSaveDialog(const std::string &initial,
                                             const std::function<bool(const std::string &)> &accept) override;
    void SetWaitCursor(bool wait) override;
    bool StartWindowTimer(int id, int periodMs) override;
    void KillWindowTimer(int id) override;
    bool ChannelListDroppedDown() const override;
    // The Timer dialog (CTimerDlg) over this window.
    bool RunTimerDialog(TimerDialogModel &model,
                        const std::function<bool(const std::string &)> &acceptFileName) override;
    // Repaints the window now.
    void UpdateWindow() override;
    // Also cancels an open Timer dialog.
    void EndDialog() override;

protected:
    // The close box and the system menu's Close: the controller decides.
    void closeEvent(QCloseEvent *event) override;
    // Escape: command 2, as the Power Off button.
    void reject() override;
    // Focus loss of the two number fields.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Control {
        const DialogItem *item;
        QWidget *widget;
    };

    void BuildControls(QWidget *client);
    void BuildMenu();
    void ConnectInput(const DialogItem &item, QWidget *widget);
    // Runs a handler of the controller for the user's input on control `id`,
    // then shows the controller's state of that control again (the widget
    // may have changed under the user's hand in a way the controller refused).
    void Report(ControlId id, const std::function<void(CRecorderDlg &)> &handler);
    void ReportMenu(MenuItemId id);
    void ApplyCaption(const Control &control, const std::string &text);
    void ApplyItems(QWidget *widget, const DialogItem &item, const ControlState &state);
    QWidget *ModalParent();
    // Handles an accelerator that both a control and the menu bar claim;
    // true when handled.
    bool ResolveAmbiguousAccelerator(QObject *watched, const QKeySequence &key);

    DialogUnits units_;
    DialogStyle *style_ = nullptr; // owned by the application object
    QMenuBar *menuBar_ = nullptr;
    std::map<ControlId, Control> controls_;
    std::map<MenuItemId, QAction *> actions_;
    std::map<TopMenu, QMenu *> topMenus_;
    std::map<int, QTimer *> timers_;
    std::map<int, bool> timerBusy_; // a tick of that timer is being handled
    QListWidget *log_ = nullptr;
    CTimerDlg *timerDialog_ = nullptr; // while the Timer dialog runs
    CRecorderDlg *dlg_ = nullptr;
    bool systemCloseEnabled_ = true;
    bool waitCursor_ = false;
    bool ended_ = false;
    bool inKillFocus_ = false;
};

} // namespace quelmar
