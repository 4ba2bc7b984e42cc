// CTimerDlg: the Timer dialog (template 131) in Qt Widgets, a thin view
// over TimerDialogModel: the rows of the working copies in a list with
// check boxes, the fields of one entry, Add / Update / Delete, "..." for the
// file name, Ok and Cancel. Every rule is the model's; the dialog only
// shows it and hands it the user's input. The timer list itself is changed
// by the caller after Ok (TimerDialogModel::OnOK).
//
// Every control carries its id as objectName ("1039"); the dialog itself
// "131". User-interface thread only.
#pragma once

#include "timers/TimerDialogModel.h"

#include <QDialog>

#include <array>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QTimeEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace quelmar {

// Control ids of the Timer dialog.
enum class TimerDialogControl : int {
    Ok = 1,
    Cancel = 2,
    FileName = 1000,
    Channel = 1019,
    Add = 1029,
    Update = 1030,
    Browse = 1032,
    Delete = 1033,
    Date = 1035,
    Start = 1036,
    Stop = 1037,
    List = 1039,
    Shutdown = 1042,
    Monday = 1048, // Monday to Sunday: 1048 to 1054
    Sunday = 1054,
};

class CTimerDlg : public QDialog {
public:
    // `model` must outlive the dialog. `acceptFileName` decides on a path
    // chosen with "..." (true accepts it; it may show message boxes).
    CTimerDlg(TimerDialogModel &model, std::function<bool(const std::string &)> acceptFileName,
              QWidget *parent = nullptr);

    // The widget of control `id`, nullptr if the dialog has none.
    QWidget *ControlWidget(TimerDialogControl id) const;

private:
    void BuildControls();
    void ConnectInput();
    // The model's rows, selection and fields into the widgets.
    void ShowRows();
    void ShowFields();
    // The widgets' fields into the model.
    void ReadFields();
    void ReportEdit(TimerDialogModel::EditResult result, const std::string &refusal);

    void OnClickList();
    void OnAdd();
    void OnUpdate();
    void OnDelete();
    void OnBrowse();

    TimerDialogModel &m_rModel;
    std::function<bool(const std::string &)> m_fnAcceptFileName;
    QTreeWidget *m_pList = nullptr;
    QComboBox *m_pChannel = nullptr;
    QDateEdit *m_pDate = nullptr;
    QTimeEdit *m_pStart = nullptr;
    QTimeEdit *m_pStop = nullptr;
    QLineEdit *m_pFileName = nullptr;
    QCheckBox *m_pShutdown = nullptr;
    std::array<QCheckBox *, TimerDialogModel::kDaysPerWeek> m_arrWeekdays{}; // index w: weekday w, 0 = Sunday
    bool m_bShowing = false; // the widgets are being filled from the model
};

} // namespace quelmar
