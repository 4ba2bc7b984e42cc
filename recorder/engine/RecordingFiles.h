// How the files of one recording are created and put away: in the folder of
// the file base as it was when the recording first used it (held open, so
// that a link swapped in for the folder later leads nowhere), never over a
// file that the user did not agree to lose, and removed again when they
// stayed empty.
#pragma once

#include "platform/File.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace quelmar {

// How many part numbers past a taken one are tried before giving up.
inline constexpr int kPartSearchLimit = 1000;

// Owned and used by the recording thread only.
class RecordingFiles {
public:
    // overwriteAgreed: the full names of existing files the user agreed to
    // overwrite (as the window built them from the file base).
    explicit RecordingFiles(std::set<std::string> overwriteAgreed);

    // Creates `path` for writing (File::Mode::CreateWrite) when it is one of
    // the agreed names, each agreed name once; otherwise only where nothing
    // is yet (File::Mode::CreateNew: anything at the name fails with EEXIST
    // and is left as it is). The file is opened in the folder of `path` as it
    // was when this recording first used that folder. Throws FileException.
    void Create(File &file, const std::string &path);

    // The first part number from `first` on for which none of the names
    // PartPrefix(base, N) + extension is taken by something the user did not
    // agree to overwrite. When that is not `first`, logs which name was taken
    // and the name used instead. After kPartSearchLimit taken numbers (or a
    // name that cannot be looked at) the number reached is returned and its
    // creation reports the system's message. Throws FileException when the
    // folder cannot be opened.
    int FreePart(const std::string &base, int first, const std::vector<std::string> &extensions);

    // Closes `file` (an error on close is logged). A file created by this
    // recording that stayed empty is removed first, with a log line saying
    // so. No effect when the file is not open.
    void Close(File &file);

private:
    // The held folder of `path`, opened on first use; *name gets the last
    // component of `path`. Throws FileException naming `path`.
    const Folder &FolderOf(const std::string &path, std::string *name);

    std::set<std::string> agreed_;
    std::map<std::string, Folder> folders_; // by the folder's path as the file base gave it
};

} // namespace quelmar
