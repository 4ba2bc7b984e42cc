#include "app/HeadlessView.h"

#include "controller/CRecorderDlg.h"
#include "controller/OutputFileChecks.h"
#include "engine/EventLog.h"

namespace quelmar {

std::string OneLogLine(const std::string &text)
{
    std::string line;
    for (char c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
        if (c == ' ' && !line.empty() && line.back() == ' ')
            continue;
        line += c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

HeadlessView::HeadlessView(std::FILE *out, ProgressLine *progress, bool answerOverwrite)
    : out_(out), progress_(progress), answerOverwrite_(answerOverwrite)
{}

HeadlessView::~HeadlessView() = default;

void HeadlessView::Attach(CRecorderDlg *dialog)
{
    dialog_ = dialog;
    if (!dialog_)
        timers_.clear();
}

void HeadlessView::LogLinesAppended(const std::vector<std::string> &lines)
{
    if (progress_)
        progress_->Clear();
    for (const std::string &line : lines) {
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
    }
    std::fflush(out_);
}

bool HeadlessView::AskYesNo(const std::string &text, const std::string &caption)
{
    // The only question of the main window is whether to overwrite files.
    const bool yes = answerOverwrite_ && caption == kFileSaveAsCaption;
    LogEvent(caption + ": " + OneLogLine(text) + (yes ? " Yes" : " No"));
    return yes;
}

void HeadlessView::ShowMessage(const std::string &text, const std::string &caption, MessageIcon)
{
    LogEvent(caption + ": " + OneLogLine(text));
}

std::optional<std::string> HeadlessView::RunSaveDialog(const std::string &,
                                                       const std::function<bool(const std::string &)> &)
{
    return std::nullopt;
}

bool HeadlessView::RunTimerDialog(TimerDialogModel &, const std::function<bool(const std::string &)> &)
{
    return false;
}

bool HeadlessView::StartWindowTimer(int id, int periodMs)
{
    auto &timer = timers_[id];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer.get(), &QTimer::timeout, [this, id] {
            if (dialog_)
                dialog_->OnTimer(id);
        });
    }
    timer->start(periodMs); // restarts the period of a running timer
    return true;
}

void HeadlessView::KillWindowTimer(int id)
{
    if (const auto found = timers_.find(id); found != timers_.end())
        found->second->stop();
}

void HeadlessView::EndDialog()
{
    for (auto &[id, timer] : timers_)
        timer->stop();
    if (onEndDialog)
        onEndDialog();
}

void HeadlessView::RecordingFinished(RecordingOutcome outcome)
{
    if (onRecordingFinished)
        onRecordingFinished(outcome);
}

} // namespace quelmar
