// CMyFileDialog: the save dialog for the output file base. Qt's own file
// dialog (on every desktop, so that the check below runs inside it), save
// mode, no default suffix, no filter, no overwrite question of its own:
// before it accepts a name it asks the caller's check (OnFileNameOK), which
// may refuse it; the dialog then stays open with the name still typed. Its
// detail view shows the Size, Type and Date columns whole, for the files a
// recording writes. User-interface thread only.
#pragma once

#include <QFileDialog>

class QTreeView;

#include <functional>
#include <string>

namespace quelmar {

class CMyFileDialog : public QFileDialog {
public:
    // Decides on a chosen full path: true accepts it. May show message boxes.
    using NameCheck = std::function<bool(const std::string &path)>;

    // `initialName`: the path shown first (folder and file name); may be empty.
    CMyFileDialog(QWidget *parent, const QString &initialName, NameCheck check);

    // The path the user confirmed; empty unless the dialog was accepted.
    QString ChosenPath() const { return m_strChosen; }

    // Accepting a name runs OnFileNameOK first; a folder is opened instead.
    void accept() override;

protected:
    // True refuses `path` (the dialog stays open), false accepts it.
    bool OnFileNameOK(const QString &path);
    // Widens the dialog, once laid out, until the detail view shows every
    // column.
    void showEvent(QShowEvent *event) override;

private:
    // Sizes the Size, Type and Date columns for their header and the widest
    // texts they show (sizes just below the next unit, the types of the
    // recording's files, a date of every month); never narrows a column.
    void FitDetailColumns();

    NameCheck m_fnCheck;
    QString m_strChosen;
    QTreeView *m_pDetailView = nullptr; // Qt's own; null if its layout changed
};

} // namespace quelmar
