#include "ui/CMyFileDialog.h"

#include "ui/ModalHooks.h"

#include <QDir>
#include <QFileInfo>

namespace quelmar {

CMyFileDialog::CMyFileDialog(QWidget *parent, const QString &initialName, NameCheck check)
    : QFileDialog(parent), m_fnCheck(std::move(check))
{
    setOption(QFileDialog::DontUseNativeDialog);
    // The check asks about every name the recording would overwrite; the
    // chosen base itself is not one of them.
    setOption(QFileDialog::DontConfirmOverwrite);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setDefaultSuffix(QString());
    if (!initialName.isEmpty()) {
        const QFileInfo initial(initialName);
        if (initial.absoluteDir().exists())
            setDirectory(initial.absolutePath());
        selectFile(initial.fileName());
    }
}

void CMyFileDialog::accept()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty())
        return;
    const QFileInfo chosen(files.constFirst());
    if (chosen.isDir()) {
        QFileDialog::accept(); // opens the folder
        return;
    }
    if (!chosen.absoluteDir().exists()) {
        QMessageBox box(QMessageBox::Warning, windowTitle(),
                        tr("%1\nThe folder does not exist.").arg(QDir::toNativeSeparators(chosen.absolutePath())),
                        QMessageBox::Ok, this);
        ExecMessageBox(box);
        return;
    }
    const QString path = chosen.absoluteFilePath();
    if (OnFileNameOK(path))
        return;
    m_strChosen = path;
    QFileDialog::accept();
}

bool CMyFileDialog::OnFileNameOK(const QString &path) { return m_fnCheck && !m_fnCheck(path.toStdString()); }

} // namespace quelmar
