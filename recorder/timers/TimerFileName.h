// The file name of a timer entry: where its recording goes. A relative name
// is resolved against the recordings folder, never against the working
// directory of the program that happens to record it (`/` for a service).
#pragma once

#include <optional>
#include <string>

namespace quelmar {

// The environment variable that names the recordings folder (the systemd
// unit may set it).
inline constexpr char kRecordingsFolderVariable[] = "QUELMAR_RECORDINGS";

// The folder relative timer file names go to: $QUELMAR_RECORDINGS when it
// is an absolute path, else the folder of `storedFileBase` (the "File"
// setting) when that is an absolute path; "" when neither. Any thread
// (reads the environment).
std::string RecordingsFolder(const std::string &storedFileBase);

// Why `fileName` cannot be a timer's file name, as a message; "" when it
// can. Refused: an empty name, and one whose last part is empty, "." or ".."
// (a folder: the recording's files would be hidden " (0).mpg" files).
std::string TimerFileNameProblem(const std::string &fileName);

// `fileName` as a timer records into it: an absolute name unchanged, a
// relative one below `folder`; std::nullopt for a relative name when
// `folder` is empty.
std::optional<std::string> ResolveTimerFileName(const std::string &fileName, const std::string &folder);

} // namespace quelmar
