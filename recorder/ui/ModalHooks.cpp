#include "ui/ModalHooks.h"

#include "ui/CMyFileDialog.h"
#include "ui/CTimerDlg.h"

#include <QMetaObject>

namespace quelmar {
namespace {

MessageBoxHook &BoxHook()
{
    static MessageBoxHook hook;
    return hook;
}

SaveDialogHook &DialogHook()
{
    static SaveDialogHook hook;
    return hook;
}

TimerDialogHook &TimerHook()
{
    static TimerDialogHook hook;
    return hook;
}

// Runs `dialog`; with a hook, the hook works it inside the dialog's own
// event loop once it is shown, and cancels it if the hook left it open.
template <typename Dialog, typename Hook>
int ExecHooked(Dialog &dialog, const Hook &hook)
{
    if (hook) {
        QMetaObject::invokeMethod(
            &dialog,
            [&dialog, &hook] {
                hook(dialog);
                if (dialog.isVisible())
                    dialog.reject();
            },
            Qt::QueuedConnection);
    }
    return dialog.exec();
}

} // namespace

void SetMessageBoxHook(MessageBoxHook hook) { BoxHook() = std::move(hook); }
void SetSaveDialogHook(SaveDialogHook hook) { DialogHook() = std::move(hook); }
void SetTimerDialogHook(TimerDialogHook hook) { TimerHook() = std::move(hook); }

QMessageBox::StandardButton ExecMessageBox(QMessageBox &box)
{
    if (BoxHook())
        return BoxHook()(box);
    box.exec();
    return box.standardButton(box.clickedButton());
}

int ExecSaveDialog(CMyFileDialog &dialog) { return ExecHooked(dialog, DialogHook()); }

int ExecTimerDialog(CTimerDlg &dialog) { return ExecHooked(dialog, TimerHook()); }

} // namespace quelmar
