// Files the recorder keeps for itself (the timer store): found in the user's
// data folder, read only when they are regular files, and replaced as a
// whole so that a crash or a full disk never leaves half a file behind.
// The program may run as root: none of these follows a link planted in place
// of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelmar {

// A file operation that failed. what() is "<path>: <reason>" in words a user
// can act on.
class SafeFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user's data folder: $XDG_DATA_HOME when it is an absolute path, else
// $HOME/.local/share, else the home folder of the user's password entry
// followed by /.local/share. Empty when none of them is known. Any thread
// (reads the environment).
std::string UserDataFolder();

// Creates `folder` and every missing folder above it with mode 0700 (an
// existing folder keeps its mode). Throws SafeFileError.
void CreateFolders(const std::string &folder);

// The whole content of the regular file at `path`. std::nullopt when nothing
// exists there. Throws SafeFileError when it cannot be read, is a symbolic
// link (not followed) or anything else but a regular file, or holds more than
// `maxBytes`. Any thread.
std::optional<std::vector<uint8_t>> ReadRegularFile(const std::string &path, size_t maxBytes);

// What tells one version of a file from another: a file replaced (a new
// inode) or changed in place gives a different stamp.
struct FileStamp {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;       // bytes
    int64_t modifiedNs = 0; // modification time, ns since 1970
    bool operator==(const FileStamp &) const = default;
};

// The stamp of whatever is at `path` (a link itself, not followed); a
// stamp with exists false when nothing is there or it cannot be looked at.
// Any thread.
FileStamp StampOf(const std::string &path);

// Writes a new version of a file: the bytes go to a fresh temporary file
// beside it (unique name, created exclusively, never through a link, mode
// 0600), which Commit() flushes to the disk and renames over the file. Until
// Commit() returns, the old file stays as it was. One thread at a time.
class FileReplacer {
public:
    // Nothing is touched before Open().
    explicit FileReplacer(std::string path);
    // Removes the temporary file unless Commit() succeeded.
    ~FileReplacer();
    FileReplacer(const FileReplacer &) = delete;
    FileReplacer &operator=(const FileReplacer &) = delete;

    // Creates the file's folder when missing (CreateFolders) and the
    // temporary file in it. Throws SafeFileError.
    void Open();
    // Appends all `length` bytes to the temporary file or throws SafeFileError.
    void Write(const void *data, size_t length);
    // Flushes the temporary file to the disk, renames it over the file and
    // flushes the folder. Throws SafeFileError; on failure before the rename
    // the temporary file is removed and the old file is untouched.
    void Commit();
    // Removes the temporary file (no effect when none is open).
    void Discard() noexcept;

private:
    [[noreturn]] void Fail(const std::string &what, int osError);

    std::string path_;
    std::string folder_;
    std::string name_;
    std::string tempName_;
    int folderFd_ = -1;
    int fd_ = -1;
};

} // namespace quelmar
