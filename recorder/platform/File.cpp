#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quelmar {

namespace {

constexpr mode_t kCreateMode = 0666; // narrowed by the user's umask

std::string ErrorText(int osError)
{
    char buffer[256];
    // GNU strerror_r returns the text (maybe not in buffer).
    return strerror_r(osError, buffer, sizeof buffer);
}

} // namespace

FileException::FileException(FileCause cause, int osError, std::string fileName)
    : cause_(cause), osError_(osError), fileName_(std::move(fileName))
{
    message_ = fileName_ + ": " + ErrorText(osError_);
}

FileCause FileCauseFromErrno(int osError)
{
    switch (osError) {
    case ENOENT: return FileCause::FileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EISDIR: return FileCause::BadPath;
    case EMFILE:
    case ENFILE: return FileCause::TooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS: return FileCause::AccessDenied;
    case EWOULDBLOCK: return FileCause::SharingViolation;
    case ENOSPC:
    case EFBIG:
    case EDQUOT: return FileCause::DiskFull;
    case EIO:
    case ENXIO:
    case ENODEV: return FileCause::HardIo;
    default: return FileCause::Generic;
    }
}

File::~File() { Abort(); }

File::File(File &&other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        Abort();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

void File::Open(const std::string &path, Mode mode) { OpenAt(AT_FDCWD, path, path, mode); }

void File::OpenIn(const Folder &folder, const std::string &name, const std::string &path, Mode mode)
{
    if (!folder.IsOpen()) {
        Abort();
        throw FileException(FileCause::Generic, EBADF, path);
    }
    OpenAt(folder.Descriptor(), name, path, mode);
}

void File::OpenAt(int folderFd, const std::string &name, const std::string &path, Mode mode)
{
    Abort();
    // Never through a symbolic link (the recording folder may be writable by
    // others, the program may run as root), and without blocking on a FIFO
    // planted in the file's place.
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
    case Mode::CreateWrite: flags |= O_WRONLY | O_CREAT; break;
    case Mode::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case Mode::Read: flags |= O_RDONLY; break;
    }
    int fd;
    do {
        fd = ::openat(folderFd, name.c_str(), flags, kCreateMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        throw FileException(FileCauseFromErrno(error), error, path);
    }
    const auto fail = [&](int error) {
        ::close(fd);
        throw FileException(FileCauseFromErrno(error), error, path);
    };
    struct stat status {};
    if (fstat(fd, &status) != 0)
        fail(errno);
    if (!S_ISREG(status.st_mode))
        fail(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        fail(errno);
    // Lock before truncating, so a file another writer holds is left intact.
    if (mode != Mode::Read && (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0))
        fail(errno);
    fd_ = fd;
    path_ = path;
}

uint64_t File::Size() const
{
    struct stat status {};
    if (fd_ < 0 || fstat(fd_, &status) != 0)
        return 0;
    return static_cast<uint64_t>(status.st_size);
}

void File::Write(const void *data, size_t length)
{
    if (fd_ < 0)
        throw FileException(FileCause::Generic, EBADF, path_);
    const auto *bytes = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const ssize_t done = ::write(fd_, bytes, length);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            throw FileException(FileCauseFromErrno(error), error, path_);
        }
        bytes += done;
        length -= static_cast<size_t>(done);
    }
}

size_t File::Read(void *data, size_t length)
{
    if (fd_ < 0)
        throw FileException(FileCause::Generic, EBADF, path_);
    for (;;) {
        const ssize_t done = ::read(fd_, data, length);
        if (done >= 0)
            return static_cast<size_t>(done);
        if (errno != EINTR) {
            const int error = errno;
            throw FileException(FileCauseFromErrno(error), error, path_);
        }
    }
}

void File::Close()
{
    if (fd_ < 0)
        return;
    const int fd = fd_;
    fd_ = -1;
    // The descriptor is released even when close reports an error; retrying
    // could close a descriptor another thread just received.
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        throw FileException(FileCauseFromErrno(error), error, path_);
    }
}

void File::Abort() noexcept
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

Folder::~Folder()
{
    if (fd_ >= 0)
        ::close(fd_);
}

Folder::Folder(Folder &&other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

Folder &Folder::operator=(Folder &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

void Folder::Open(const std::string &path, const std::string &messageName)
{
    int fd;
    do {
        fd = ::open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); // no read right needed
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        throw FileException(FileCauseFromErrno(error), error, messageName);
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    path_ = path;
}

int Folder::Lookup(const std::string &name) const
{
    struct stat status {};
    if (fd_ < 0)
        return EBADF;
    return fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

bool Folder::RemoveIfSame(const std::string &name, const File &file) const
{
    struct stat named {
    }, open{};
    if (fd_ < 0 || !file.IsOpen() || fstat(file.fd_, &open) != 0 ||
        fstatat(fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (named.st_dev != open.st_dev || named.st_ino != open.st_ino)
        return false;
    return unlinkat(fd_, name.c_str(), 0) == 0;
}

} // namespace quelmar
