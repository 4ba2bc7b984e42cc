// What keeps a store file safe when several programs change it (the timer
// store: a running recorder, the timer commands, a second window): an
// advisory lock held around every read-change-write, and a damaged version
// kept aside under a name of its own before a new one replaces it. The
// program may run as root: neither follows a link planted in their way.
#pragma once

#include <cstdint>
#include <string>

namespace quelmar {

// An exclusive flock(2) on a lock file that lives beside the file it guards
// and is never removed (removing it would let two holders lock two files).
// Released when destroyed or when the process ends, however it ends.
class FileLock {
public:
    // Creates the lock file's folder when missing (CreateFolders) and the
    // lock file itself (mode 0600) when missing, then waits at most `waitMs`
    // for the lock. Throws SafeFileError when the lock file is a link or
    // anything else but a regular file, cannot be opened, or another holder
    // kept the lock for the whole wait. Blocks the calling thread while it
    // waits; any thread.
    FileLock(const std::string &lockPath, int64_t waitMs);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_ = -1;
};

// Keeps whatever is at `path` (a link itself, not what it points to) under
// the name `path` + `suffix`, or `path` + `suffix` + "-2", "-3" ... when that
// is taken: an existing file is never replaced. A second name (hard link) of
// the same file, flushed to the disk, so that replacing `path` afterwards
// leaves this version in place. Returns the name it got, or "" when nothing
// is at `path`. Throws SafeFileError (for instance when the file system
// allows no second name). Any thread.
std::string KeepAside(const std::string &path, const std::string &suffix);

} // namespace quelmar
