#include "ui/ModalHooks.h"

#include "ui/CMyFileDialog.h"

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

} // namespace

void SetMessageBoxHook(MessageBoxHook hook) { BoxHook() = std::move(hook); }
void SetSaveDialogHook(SaveDialogHook hook) { DialogHook() = std::move(hook); }

QMessageBox::StandardButton ExecMessageBox(QMessageBox &box)
{
    if (BoxHook())
        return BoxHook()(box);
    box.exec();
    return box.standardButton(box.clickedButton());
}

int ExecSaveDialog(CMyFileDialog &dialog)
{
    if (DialogHook()) {
        // Runs inside the dialog's own event loop, once it is shown.
        QMetaObject::invokeMethod(
            &dialog,
            [&dialog] {
                DialogHook()(dialog);
                if (dialog.isVisible())
                    dialog.reject();
            },
            Qt::QueuedConnection);
    }
    return dialog.exec();
}

} // namespace quelmar
