#include "platform/ReceiverLock.h"

#include "platform/InstanceName.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace quelmar {

namespace {

constexpr char kRuntimeDirVariable[] = "XDG_RUNTIME_DIR";
constexpr char kSubfolder[] = "quelmar-recorder";
constexpr char kRootFolder[] = "/run/quelmar-recorder";
constexpr char kTmpFolderPrefix[] = "/tmp/quelmar-recorder-";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
// The holder's note: "PID INSTANCE\n"; more is not read.
constexpr size_t kMaxNoteBytes = 128;
constexpr size_t kErrorTextBytes = 256;

std::string ErrorText(int osError)
{
    char buffer[kErrorTextBytes];
    return strerror_r(osError, buffer, sizeof buffer);
}

// Decimal digits only (no sign, no blanks), at most `maximum`.
std::optional<int> ParseBounded(std::string_view text, int maximum)
{
    if (text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0 || value > maximum)
        return std::nullopt;
    return value;
}

// Who holds the lock, from its note: " (process PID, instance NAME)", or ""
// when the note says nothing usable. The note is another program's and is
// trusted with nothing: a PID of digits only, a name that passes as one.
std::string HolderText(int fd)
{
    char buffer[kMaxNoteBytes] = {};
    const ssize_t got = pread(fd, buffer, sizeof buffer - 1, 0);
    if (got <= 0)
        return "";
    std::string_view note(buffer, static_cast<size_t>(got));
    if (const size_t end = note.find('\n'); end != std::string_view::npos)
        note = note.substr(0, end);
    const size_t space = note.find(' ');
    const std::string_view pid = note.substr(0, space);
    if (pid.empty() || pid.size() > std::numeric_limits<int>::digits10 ||
        pid.find_first_not_of("0123456789") != std::string_view::npos)
        return "";
    std::string text = " (process " + std::string(pid);
    const std::string instance(space == std::string_view::npos ? std::string_view() : note.substr(space + 1));
    if (!instance.empty() && InstanceNameProblem(instance).empty())
        text += ", instance " + instance;
    return text + ")";
}

// Opens `folder` (made when missing) as a folder of this user's own; -1 with
// the reason in `problem`.
int OpenOwnFolder(const std::string &folder, std::string &problem)
{
    if (mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        problem = "cannot make the folder " + folder + ": " + ErrorText(errno);
        return -1;
    }
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        problem = folder + " is not a folder of its own (" + ErrorText(errno) + ")";
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & kWritableByOthers)) {
        problem = folder + " belongs to another user or others may write into it";
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::optional<ReceiverAddress> ParseReceiverAddress(std::string_view text)
{
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const auto host = ParseBounded(text.substr(0, colon), ReceiverAddress::kMaxHostAdapter);
    const auto target = ParseBounded(text.substr(colon + 1), ReceiverAddress::kMaxTargetId);
    if (!host || !target)
        return std::nullopt;
    return ReceiverAddress{*host, *target};
}

std::string AddressText(const ReceiverAddress &address)
{
    return "host adapter " + std::to_string(address.hostAdapter) + ", id " + std::to_string(address.targetId);
}

std::string ReceiverLockFolder()
{
    const char *runtime = std::getenv(kRuntimeDirVariable);
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/" + kSubfolder;
    if (geteuid() == 0)
        return kRootFolder;
    return kTmpFolderPrefix + std::to_string(geteuid());
}

std::string ReceiverLock::FileName(const ReceiverAddress &address)
{
    return "receiver-" + std::to_string(address.hostAdapter) + "-" + std::to_string(address.targetId) + ".lock";
}

std::unique_ptr<ReceiverLock> ReceiverLock::Take(const ReceiverAddress &address, const std::string &instance,
                                                 const std::string &folder, std::string &refusal)
{
    const std::string what = "the receiver at " + AddressText(address);
    std::string problem;
    const int folderFd = OpenOwnFolder(folder, problem);
    if (folderFd < 0) {
        refusal = what + " cannot be locked: " + problem;
        return nullptr;
    }
    const std::string name = FileName(address);
    const std::string path = folder + "/" + name;
    // O_NONBLOCK: a FIFO planted there must not hang the open. Not inherited
    // by the programs this one starts (the bus rescan helper).
    const int fd = openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode);
    const int openError = errno;
    close(folderFd);
    if (fd < 0) {
        refusal = what + " cannot be locked: " + path + ": " +
                  (openError == ELOOP ? std::string("a symbolic link, which is not followed") : ErrorText(openError));
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        refusal = what + " cannot be locked: " + path + " is not a regular file";
        return nullptr;
    }
    int result;
    do
        result = flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        refusal = error == EWOULDBLOCK ? what + " is in use by another recorder" + HolderText(fd) +
                                             "; give each recorder its own "
                                             "receiver with --receiver"
                                       : what + " cannot be locked: " + path + ": " + ErrorText(error);
        close(fd);
        return nullptr;
    }
    // The note for the next one refused; the lock holds without it.
    const std::string note = std::to_string(getpid()) + (instance.empty() ? "" : " " + instance) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, note.data(), note.size(), 0) != static_cast<ssize_t>(note.size())) {
        // Nothing to do: the refused one then names no holder.
    }
    return std::unique_ptr<ReceiverLock>(new ReceiverLock(fd));
}

ReceiverLock::~ReceiverLock() { close(fd_); }

} // namespace quelmar
