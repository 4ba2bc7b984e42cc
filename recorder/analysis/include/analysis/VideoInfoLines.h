// VideoInfoLines.h: the multiplexer's record of the MPEG video sequence being
// recorded, and the lines of the "Video info" list. Pure functions; any
// thread.
#pragma once

#include "remuxer.h"

#include <string>
#include <vector>

namespace quelmar {

// VideoInfo, the multiplexer module's record of the video sequence (read
// only; the module owns it), comes with the module's interface. Flag 0 is
// set once a sequence header was parsed; flag 1 when the sequence differs
// from the one last reported, and reading the record (GetVideoInfo) clears
// it. So the list and its log lines follow a change, not every chunk.

// True when both leading flags are non-zero, i.e. the list is to be rebuilt
// from this record.
bool VideoInfoRefreshDue(const VideoInfo &info);

// Texts of the three code tables. Codes without a text give "reserved"
// (inside the field's code space) or "no information" (outside it).
const char *PictureFormatText(unsigned code);
const char *ChromaFormatText(unsigned code);
const char *AspectRatioText(unsigned code);

// The lines of the "Video info" list in display order ("Frame Rate: 25.0000
// Hz", "Bit Rate: 6.0000 Mbps", "Resolution: 720x576", ...).
std::vector<std::string> VideoInfoLines(const VideoInfo &info);

} // namespace quelmar
