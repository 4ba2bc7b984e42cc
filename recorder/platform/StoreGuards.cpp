#include "platform/StoreGuards.h"

#include "platform/SafeFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace quelmar {

namespace {

constexpr mode_t kLockFileMode = 0600;
// How often a waiting FileLock tries again; the holders keep it for
// milliseconds (one read and one write of a small file).
constexpr auto kLockRetry = std::chrono::milliseconds(10);
// Names tried by KeepAside before it gives up: "-2" up to this.
constexpr int kMaxAsideNumber = 1000;
constexpr size_t kErrorTextBytes = 256;

std::string ErrorText(int osError)
{
    char buffer[kErrorTextBytes];
    return strerror_r(osError, buffer, sizeof buffer);
}

[[noreturn]] void Throw(const std::string &path, const std::string &what, int osError)
{
    throw SafeFileError(path + ": " + what + ErrorText(osError));
}

std::string FolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

} // namespace

FileLock::FileLock(const std::string &lockPath, int64_t waitMs)
{
    CreateFolders(FolderOf(lockPath));
    // O_NONBLOCK: a FIFO planted there must not hang the open.
    fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockFileMode);
    if (fd_ < 0) {
        if (errno == ELOOP)
            throw SafeFileError(lockPath + ": is a symbolic link, which is not followed");
        Throw(lockPath, "cannot open the lock file: ", errno);
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd_);
        throw SafeFileError(lockPath + ": the lock file is not a regular file");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0)
            return;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            close(fd_);
            if (error == EWOULDBLOCK)
                throw SafeFileError(lockPath + ": another program has held the lock for " + std::to_string(waitMs) +
                                    " ms; gave up waiting");
            Throw(lockPath, "cannot lock: ", error);
        }
        std::this_thread::sleep_for(kLockRetry);
    }
}

FileLock::~FileLock()
{
    if (fd_ >= 0)
        close(fd_); // releases the lock
}

std::string KeepAside(const std::string &path, const std::string &suffix)
{
    std::string name = path + suffix;
    for (int number = 2;; ++number) {
        // Without AT_SYMLINK_FOLLOW a link is given the second name itself.
        if (linkat(AT_FDCWD, path.c_str(), AT_FDCWD, name.c_str(), 0) == 0)
            break;
        const int error = errno;
        if (error == ENOENT && !StampOf(path).exists)
            return "";
        if (error != EEXIST || number > kMaxAsideNumber)
            Throw(path, "cannot be kept aside as " + name + ": ", error);
        name = path + suffix + "-" + std::to_string(number);
    }
    // The new name must survive a crash before the old one is replaced.
    const int folder = open(FolderOf(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return name;
}

} // namespace quelmar
