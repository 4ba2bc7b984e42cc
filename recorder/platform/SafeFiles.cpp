#include "platform/SafeFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quelmar {

namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;
constexpr int kTempNameAttempts = 16;
constexpr size_t kTempRandomBytes = 6; // 12 hexadecimal digits in the name
constexpr size_t kReadChunkBytes = 65536;
constexpr size_t kPasswordBufferBytes = 16384;
constexpr size_t kErrorTextBytes = 256;

std::string ErrorText(int osError)
{
    char buffer[kErrorTextBytes];
    // GNU strerror_r returns the text (maybe not in buffer).
    return strerror_r(osError, buffer, sizeof buffer);
}

[[noreturn]] void Throw(const std::string &path, const std::string &what, int osError)
{
    throw SafeFileError(path + ": " + what + ErrorText(osError));
}

bool IsAbsolute(const char *path) { return path && path[0] == '/'; }

std::string TempSuffix()
{
    static std::atomic<uint32_t> counter{0};
    uint8_t random[kTempRandomBytes];
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        // No entropy yet: still unique within the machine at this moment;
        // O_EXCL and the retries cover a collision.
        const uint64_t mix = (static_cast<uint64_t>(getpid()) << 32) ^ counter.fetch_add(1) ^
                             static_cast<uint64_t>(std::time(nullptr)) << 16;
        std::memcpy(random, &mix, sizeof random);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string suffix;
    for (const uint8_t byte : random) {
        suffix += kHex[byte >> 4];
        suffix += kHex[byte & 0xF];
    }
    return suffix;
}

} // namespace

std::string UserDataFolder()
{
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    if (IsAbsolute(dataHome))
        return dataHome;
    const char *home = std::getenv("HOME");
    if (IsAbsolute(home))
        return std::string(home) + "/.local/share";
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(kPasswordBufferBytes);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && IsAbsolute(found->pw_dir))
        return std::string(found->pw_dir) + "/.local/share";
    return {};
}

FileStamp StampOf(const std::string &path)
{
    struct stat info = {};
    if (lstat(path.c_str(), &info) != 0)
        return {};
    constexpr int64_t kNsPerSecond = 1000000000;
    return {true, static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
            static_cast<int64_t>(info.st_size),
            static_cast<int64_t>(info.st_mtim.tv_sec) * kNsPerSecond + info.st_mtim.tv_nsec};
}

void CreateFolders(const std::string &folder)
{
    for (size_t end = 1; end <= folder.size(); ++end) {
        if (end < folder.size() && folder[end] != '/')
            continue;
        const std::string part = folder.substr(0, end);
        if (mkdir(part.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
            Throw(part, "cannot create the folder: ", errno);
    }
}

std::optional<std::vector<uint8_t>> ReadRegularFile(const std::string &path, size_t maxBytes)
{
    // O_NONBLOCK: opening a FIFO planted there must not hang.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return std::nullopt;
        if (error == ELOOP)
            throw SafeFileError(path + ": is a symbolic link, which is not followed");
        Throw(path, "cannot open: ", error);
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        Throw(path, "cannot read: ", error);
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        throw SafeFileError(path + ": is not a regular file");
    }
    if (static_cast<uint64_t>(info.st_size) > maxBytes) {
        close(fd);
        throw SafeFileError(path + ": is too large (" + std::to_string(info.st_size) + " bytes, at most " +
                            std::to_string(maxBytes) + ")");
    }
    std::vector<uint8_t> content;
    content.reserve(static_cast<size_t>(info.st_size));
    uint8_t chunk[kReadChunkBytes];
    for (;;) {
        const ssize_t done = read(fd, chunk, sizeof chunk);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) {
            const int error = errno;
            close(fd);
            Throw(path, "cannot read: ", error);
        }
        if (done == 0)
            break;
        if (content.size() + static_cast<size_t>(done) > maxBytes) {
            close(fd);
            throw SafeFileError(path + ": grew beyond " + std::to_string(maxBytes) + " bytes while being read");
        }
        content.insert(content.end(), chunk, chunk + done);
    }
    close(fd);
    return content;
}

FileReplacer::FileReplacer(std::string path) : path_(std::move(path))
{
    const size_t slash = path_.rfind('/');
    folder_ = slash == std::string::npos ? "." : (slash == 0 ? "/" : path_.substr(0, slash));
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

FileReplacer::~FileReplacer() { Discard(); }

void FileReplacer::Fail(const std::string &what, int osError)
{
    Discard();
    Throw(path_, what, osError);
}

void FileReplacer::Open()
{
    Discard();
    if (name_.empty())
        throw SafeFileError(path_ + ": names a folder, not a file");
    CreateFolders(folder_);
    folderFd_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd_ < 0)
        Fail("cannot open its folder: ", errno);
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempName_ = "." + name_ + "." + TempSuffix();
        // O_EXCL also refuses a link planted under the chosen name.
        fd_ = openat(folderFd_, tempName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     kPrivateFileMode);
        if (fd_ >= 0)
            return;
        if (errno != EEXIST)
            break;
    }
    const int error = errno;
    tempName_.clear();
    Fail("cannot create a temporary file beside it: ", error);
}

void FileReplacer::Write(const void *data, size_t length)
{
    if (fd_ < 0)
        throw SafeFileError(path_ + ": not open for writing");
    const auto *bytes = static_cast<const uint8_t *>(data);
    while (length > 0) {
        const ssize_t done = write(fd_, bytes, length);
        if (done < 0) {
            if (errno == EINTR)
                continue;
            Fail("writing failed: ", errno);
        }
        bytes += done;
        length -= static_cast<size_t>(done);
    }
}

void FileReplacer::Commit()
{
    if (fd_ < 0)
        throw SafeFileError(path_ + ": not open for writing");
    if (fsync(fd_) != 0)
        Fail("flushing to the disk failed: ", errno);
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0 && errno != EINTR)
        Fail("closing failed: ", errno);
    if (renameat(folderFd_, tempName_.c_str(), folderFd_, name_.c_str()) != 0)
        Fail("replacing the old file failed: ", errno);
    tempName_.clear();
    // Makes the rename itself durable. Some file systems cannot flush a
    // folder (EINVAL); the file is in place either way.
    const int folderError = fsync(folderFd_) == 0 ? 0 : errno;
    close(folderFd_);
    folderFd_ = -1;
    if (folderError != 0 && folderError != EINVAL)
        Throw(path_, "saved, but its folder could not be flushed to the disk: ", folderError);
}

void FileReplacer::Discard() noexcept
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!tempName_.empty() && folderFd_ >= 0)
        unlinkat(folderFd_, tempName_.c_str(), 0);
    tempName_.clear();
    if (folderFd_ >= 0)
        close(folderFd_);
    folderFd_ = -1;
}

} // namespace quelmar
