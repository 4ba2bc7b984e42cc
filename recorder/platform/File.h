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

class File {
public:
    // Both modes refuse a symbolic link in the file's place (ELOOP, "Too
    // many levels of symbolic links") and anything but a regular file, and
    // the descriptor is not inherited by programs the recorder starts.
    enum class Mode {
        // Create anew (an existing file is truncated), write only, other
        // writers locked out (advisory lock), untranslated bytes.
        CreateWrite,
        // Open an existing file for reading.
        Read,
    };

    File() = default;
    // Closes the file if open; errors are ignored here (call Close() to see them).
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // Opens path; throws FileException on failure. Closes a file held before.
    void Open(const std::string &path, Mode mode);
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

private:
    int fd_ = -1;
    std::string path_;
};

} // namespace quelmar
