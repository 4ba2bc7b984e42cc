// File: unbuffered file access whose failures throw FileException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace quelmar {

// Why a file operation failed, in the terms the recorder reports.
enum class FileCause {
    Generic,
    FileNotFound,
    BadPath,
    TooManyOpenFiles,
    AccessDenied,
    SharingViolation,
    DiskFull,
    HardIo,
};

// Thrown by File. Carries the cause, the system error number and the
// system's error text together with the file name.
class FileException : public std::exception {
public:
    FileException(FileCause cause, int osError, std::string fileName);
    FileCause Cause() const { return cause_; }
    int OsError() const { return osError_; }
    const std::string &FileName() const { return fileName_; }
    // "<file name>: <system error text>".
    const char *what() const noexcept override { return message_.c_str(); }

private:
    FileCause cause_;
    int osError_;
    std::string fileName_;
    std::string message_;
};

// Maps a system error number to a cause.
FileCause FileCauseFromErrno(int osError);

class File;

// A folder held open: files opened through it land in the folder that was
// there when it was opened, even when its path is later made to lead
// elsewhere (a link swapped in for it). Move-only; one thread at a time.
class Folder {
public:
    Folder() = default; // not open
    ~Folder();
    Folder(Folder &&other) noexcept;
    Folder &operator=(Folder &&other) noexcept;
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    // Opens the folder at `path` ("" stands for the working folder); links on
    // the way are followed, as they are when the path is chosen. Throws
    // FileException naming `messageName` (the file the caller meant to
    // create there) on failure.
    void Open(const std::string &path, const std::string &messageName);
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    const std::string &Path() const { return path_; }

    // 0 when something is at `name` in the folder (a link is not followed),
    // ENOENT when nothing is, else the system's error number.
    int Lookup(const std::string &name) const;
    // Removes `name` from the folder if it still names the file `file` has
    // open. True when it was removed.
    bool RemoveIfSame(const std::string &name, const File &file) const;

private:
    int fd_ = -1;
    std::string path_;
};

class File {
public:
    // Both modes refuse a symbolic link in the file's place (ELOOP, "Too
    // many levels of symbolic links") and anything but a regular file, and
    // the descriptor is not inherited by programs the recorder starts.
    enum class Mode {
        // Create anew (an existing file is truncated), write only, other
        // writers locked out (advisory lock), untranslated bytes.
        CreateWrite,
        // As CreateWrite, but only where nothing is yet: anything at the
        // name (a file, a link, a folder) fails with EEXIST and is left as
        // it is.
        CreateNew,
        // Open an existing file for reading.
        Read,
    };

    File() = default;
    // Closes the file if open; errors are ignored here (call Close() to see them).
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;

    // Opens path; throws FileException on failure. Closes a file held before.
    void Open(const std::string &path, Mode mode);
    // Opens `name` (no slash) in `folder`; `path` is the name messages and
    // Path() use. Throws FileException; closes a file held before.
    void OpenIn(const Folder &folder, const std::string &name, const std::string &path, Mode mode);
    // Writes all length bytes or throws (a partial write that then fails
    // throws with the error of the failing step).
    void Write(const void *data, size_t length);
    // Reads up to length bytes; returns the number read (0 at the end).
    size_t Read(void *data, size_t length);
    // Closes the file; throws when the system reports an error on close. A
    // closed file stays closed either way. No effect when not open.
    void Close();
    // Closes without reporting errors.
    void Abort() noexcept;
    bool IsOpen() const { return fd_ >= 0; }
    const std::string &Path() const { return path_; }
    // The size of the open file in bytes (0 when not open or unknown).
    uint64_t Size() const;

private:
    friend class Folder;
    void OpenAt(int folderFd, const std::string &name, const std::string &path, Mode mode);

    int fd_ = -1;
    std::string path_;
};

} // namespace quelmar
