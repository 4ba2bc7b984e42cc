#include "app/ProgressLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace quelmar {

namespace {

constexpr char kEraseLine[] = "\r\x1b[K"; // carriage return, erase to the end of the line
constexpr int kFallbackColumns = 80;

int TerminalColumns(std::FILE *terminal)
{
    winsize size = {};
    if (ioctl(fileno(terminal), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kFallbackColumns;
}

} // namespace

std::string FitToWidth(const std::string &text, int columns)
{
    const size_t usable = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
    return text.size() <= usable ? text : text.substr(0, usable);
}

void ProgressLine::Show(const std::string &text)
{
    const std::string line = FitToWidth(text, TerminalColumns(terminal_));
    std::fputs(kEraseLine, terminal_);
    std::fputs(line.c_str(), terminal_);
    std::fflush(terminal_);
    shown_ = true;
}

void ProgressLine::Clear()
{
    if (!shown_)
        return;
    std::fputs(kEraseLine, terminal_);
    std::fflush(terminal_);
    shown_ = false;
}

} // namespace quelmar
