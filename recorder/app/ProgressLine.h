// The one-line progress display of a headless recording on a terminal. It
// is redrawn in place ("\r", erase to the end of the line) and cleared before
// each log line, so that log lines stay whole; it is cut to the terminal's
// width so that it never wraps.
#pragma once

#include <cstdio>
#include <string>

namespace quelmar {

class ProgressLine {
public:
    // Draws on `terminal` (standard output when that is a terminal).
    explicit ProgressLine(std::FILE *terminal) : terminal_(terminal) {}

    // Replaces the line shown with `text`. User-interface thread.
    void Show(const std::string &text);
    // Removes the line shown, if any, leaving the cursor at the start of the
    // line.
    void Clear();

private:
    std::FILE *terminal_;
    bool shown_ = false;
};

// `text` cut to fit `columns` columns, one column kept free so that the
// cursor never moves to the next line (ASCII text).
std::string FitToWidth(const std::string &text, int columns);

} // namespace quelmar
