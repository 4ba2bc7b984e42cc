// The recordings folder as the remote control sees it: the recordings it
// holds, the files it serves for download, and where a requested file name
// may record to. Nothing here follows a symbolic link below the folder or
// opens anything but a regular file. Qt-free; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelmar::remote {

// One file of a recording.
struct RecordingFile {
    std::string name; // file name in the folder ("news (0).mpg", "news.log")
    uint64_t size = 0;
};

// One recording: the files of one base name.
struct RecordingSummary {
    std::string name;                 // the base name without folder ("news, 07-12-2026")
    std::vector<RecordingFile> files; // by name
    int parts = 0;                    // distinct part numbers " (N)"
    uint64_t bytes = 0;               // all files together
    std::optional<int64_t> start;     // when its first file was made (seconds since 1970), when the system knows
    int64_t durationSeconds = 0;      // from the start to the last write of any of its files
};

// The recordings directly in `folder`: every regular file named as a part
// (base " (N)" and a recording extension) or an event log (base ".log"),
// grouped by base name, ordered by start, newest first (then by name).
// Links, folders, devices and other names are left out. Throws
// std::runtime_error when the folder cannot be read.
std::vector<RecordingSummary> ListRecordings(const std::string &folder);

// Whether `file` is a file of recording `name` as ListRecordings names
// them: `name` + " (N)" + a recording extension, or `name` + ".log"; and
// neither holds a '/', a NUL or is "." or "..".
bool IsRecordingFileOf(const std::string &name, const std::string &file);

// A file opened for download.
struct OpenedFile {
    int fd = -1; // the caller owns it (close)
    uint64_t size = 0;
    int64_t modifiedSeconds = 0;
};

// Opens `file` of recording `name` directly in `folder` for reading,
// without following a link and only when it is a regular file. Returns the
// file, or std::nullopt with `problem` a message for the user (`notFound`
// set when nothing of that name is there).
std::optional<OpenedFile> OpenRecordingFile(const std::string &folder, const std::string &name, const std::string &file,
                                            std::string &problem, bool &notFound);

// Where a file base given in a request records to: a relative `requested`
// below `folder`, an absolute one only when it lies below `folder`. Every
// folder on the way must exist and be reached without a link; the base
// itself must not be a link, folder, device or FIFO. "." and ".." parts,
// empty parts and NUL are refused. Returns the absolute base, or
// std::nullopt with `problem` a message for the user.
std::optional<std::string> ResolveRequestedBase(const std::string &folder, const std::string &requested,
                                                std::string &problem);

} // namespace quelmar::remote
