#include "state_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quelmar::aspi_virtual {
namespace {

using receiver::PersistentState;

constexpr char kMessagePrefix[] = "libaspi-virtual.so: ";
constexpr char kStateDirVariable[] = "QUELMAR_VIRTUAL_STATE_DIR";
constexpr char kRuntimeDirVariable[] = "XDG_RUNTIME_DIR";
constexpr char kOff[] = "off";
constexpr char kRuntimeSubfolder[] = "quelmar-virtual-receiver";
constexpr char kTmpSubfolderPrefix[] = "quelmar-virtual-receiver-";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
// Far more than the largest state (16 adapters of 8 receivers with full
// tables); a larger file is damaged, not read.
constexpr off_t kMaxStateFileBytes = 64 * 1024 * 1024;
constexpr size_t kReadChunkBytes = 65536;
constexpr int64_t kNanosPerSecond = 1'000'000'000;

std::string errorText(int error) { return std::strerror(error); }

// A folder of the user's own: owned by `user`, writable by nobody else.
bool ownFolder(int fd, uid_t user, std::string *problem)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *problem = errorText(errno);
        return false;
    }
    if (st.st_uid != user) {
        *problem = "it belongs to another user";
        return false;
    }
    if (st.st_mode & kWritableByOthers) {
        *problem = "others may write into it";
        return false;
    }
    return true;
}

// Opens the folder `name` below `parentFd` (made when missing, never through
// a link) as a folder of the user's own; -1 with the reason in *problem.
int openOwnFolder(int parentFd, const std::string &name, uid_t user, std::string *problem)
{
    if (mkdirat(parentFd, name.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        *problem = "it cannot be made: " + errorText(errno);
        return -1;
    }
    const int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *problem = errno == ELOOP || errno == ENOTDIR ? "it is not a folder" : errorText(errno);
        return -1;
    }
    if (!ownFolder(fd, user, problem)) {
        close(fd);
        return -1;
    }
    return fd;
}

void say(const std::string &text) { std::fprintf(stderr, "%s%s\n", kMessagePrefix, text.c_str()); }

void notKept(const std::string &folder, const std::string &problem)
{
    say("the simulated receivers' state is not kept in " + folder + ": " + problem);
}

// The state folder for `environment`, opened; -1 when no state is kept.
int openStateFolder(const StateEnvironment &environment, std::string *folder)
{
    std::string problem;
    if (environment.stateDir) {
        std::string dir = *environment.stateDir;
        if (dir == kOff)
            return -1;
        if (dir.empty() || dir[0] != '/') {
            notKept("\"" + dir + "\"", std::string(kStateDirVariable) + " must be an absolute path or \"off\"");
            return -1;
        }
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        const int fd = openOwnFolder(AT_FDCWD, dir, environment.user, &problem);
        if (fd < 0)
            notKept(dir, problem);
        *folder = dir;
        return fd;
    }
    if (environment.runtimeDir && !environment.runtimeDir->empty()) {
        const std::string &runtime = *environment.runtimeDir;
        const int parent = runtime[0] == '/' ? open(runtime.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        if (parent < 0) {
            problem = runtime[0] == '/' ? errorText(errno) : "not an absolute path";
        } else if (ownFolder(parent, environment.user, &problem)) {
            const int fd = openOwnFolder(parent, kRuntimeSubfolder, environment.user, &problem);
            close(parent);
            *folder = runtime + "/" + kRuntimeSubfolder;
            if (fd >= 0)
                return fd;
        } else {
            close(parent);
        }
        say(std::string(kRuntimeDirVariable) + " " + runtime +
            " is not used for the simulated receivers' state: " + problem);
    }
    const std::string name = kTmpSubfolderPrefix + std::to_string(environment.user);
    *folder = environment.tmpRoot + "/" + name;
    const int parent = open(environment.tmpRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        notKept(*folder, errorText(errno));
        return -1;
    }
    const int fd = openOwnFolder(parent, name, environment.user, &problem);
    close(parent);
    if (fd < 0)
        notKept(*folder, problem);
    return fd;
}

// Holds the advisory lock on the lock file while it lives.
class FileLock {
public:
    FileLock(int folderFd, const std::string &name)
        : fd_(openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode))
    {
        if (fd_ < 0)
            error_ = errno;
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool held() const { return fd_ >= 0; }
    int error() const { return error_; }

private:
    int fd_;
    int error_ = 0;
};

} // namespace

StateEnvironment StateEnvironment::current()
{
    StateEnvironment environment;
    if (const char *dir = std::getenv(kStateDirVariable))
        environment.stateDir = dir;
    if (const char *runtime = std::getenv(kRuntimeDirVariable))
        environment.runtimeDir = runtime;
    environment.user = geteuid();
    return environment;
}

std::unique_ptr<StateStore> StateStore::open(const std::string &key, const StateEnvironment &environment)
{
    std::string folder;
    const int fd = openStateFolder(environment, &folder);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<StateStore>(new StateStore(fd, folder, key));
}

StateStore::StateStore(int folderFd, std::string folder, const std::string &key)
    : folderFd_(folderFd), folder_(std::move(folder)), stateName_(key + ".state"), lockName_(key + ".lock"),
      tempName_(key + ".state.tmp")
{}

StateStore::~StateStore() { close(folderFd_); }

void StateStore::attach(const std::map<ReceiverAddress, receiver::Receiver *> &receivers)
{
    std::lock_guard lock(mutex_);
    for (const auto &[address, r] : receivers)
        kept_[address] = Kept{r, r->persistentState(), r->persistentChanges()};
    refresh();
}

receiver::CommandResult StateStore::run(const std::function<receiver::CommandResult()> &command)
{
    std::lock_guard lock(mutex_);
    refresh();
    receiver::CommandResult result = command();
    commit();
    return result;
}

StateStore::Identity StateStore::currentIdentity() const
{
    struct stat st {};
    if (fstatat(folderFd_, stateName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * kNanosPerSecond + st.st_mtim.tv_nsec};
}

StateStore::ReadResult StateStore::readFile(KeptStates *states, Identity *identity, std::string *problem) const
{
    *identity = {};
    // Non-blocking and never through a link: whatever lies there is read
    // only when it is a regular file.
    const int fd = openat(folderFd_, stateName_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        *problem = errno == ELOOP ? "it is a link" : errorText(errno);
        return ReadResult::Damaged;
    }
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) != 0) {
        *problem = errorText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *problem = "it is not a regular file";
    } else if (st.st_size > kMaxStateFileBytes) {
        *problem = "it is larger than any state";
    } else {
        *identity = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * kNanosPerSecond + st.st_mtim.tv_nsec};
        char buffer[kReadChunkBytes];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *problem = errorText(errno);
                break;
            }
            if (n == 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > static_cast<size_t>(kMaxStateFileBytes)) {
                *problem = "it is larger than any state";
                break;
            }
        }
    }
    close(fd);
    if (!problem->empty())
        return ReadResult::Damaged;
    auto decoded = decodeKeptStates(text, problem);
    if (!decoded)
        return ReadResult::Damaged;
    for (const auto &entry : *decoded) {
        if (!kept_.count(entry.first)) {
            *problem = "it holds receiver " + std::to_string(entry.first.first) + ":" +
                       std::to_string(entry.first.second) + ", which this configuration does not have";
            return ReadResult::Damaged;
        }
    }
    *states = std::move(*decoded);
    return ReadResult::Read;
}

bool StateStore::writeFile(const KeptStates &states, Identity *identity)
{
    const std::string text = encodeKeptStates(states);
    // Only writers holding the lock use the temporary name.
    unlinkat(folderFd_, tempName_.c_str(), 0);
    int error = 0;
    const int fd =
        openat(folderFd_, tempName_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        error = errno;
    } else {
        for (size_t done = 0; done < text.size() && !error;) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno != EINTR)
                error = errno;
            else if (n > 0)
                done += static_cast<size_t>(n);
        }
        struct stat st {};
        if (!error && fstat(fd, &st) != 0)
            error = errno;
        *identity = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * kNanosPerSecond + st.st_mtim.tv_nsec};
        if (close(fd) != 0 && !error)
            error = errno;
        if (!error && renameat(folderFd_, tempName_.c_str(), folderFd_, stateName_.c_str()) != 0)
            error = errno;
    }
    if (!error) {
        writeFailureReported_ = false;
        return true;
    }
    unlinkat(folderFd_, tempName_.c_str(), 0);
    if (!writeFailureReported_)
        say("the simulated receivers' state cannot be written to " + path() + ": " + errorText(error));
    writeFailureReported_ = true;
    return false;
}

void StateStore::refresh()
{
    if (currentIdentity() == seen_)
        return;
    KeptStates states;
    Identity identity;
    std::string problem;
    switch (readFile(&states, &identity, &problem)) {
    case ReadResult::Missing: seen_ = {}; return;
    case ReadResult::Read:
        adopt(states);
        seen_ = identity;
        return;
    case ReadResult::Damaged: break;
    }
    // Looked at again under the lock: another program may be writing it
    // anew just now.
    FileLock lock(folderFd_, lockName_);
    std::string problemNow;
    const ReadResult again = lock.held() ? readFile(&states, &identity, &problemNow) : ReadResult::Damaged;
    if (again == ReadResult::Read) {
        adopt(states);
        seen_ = identity;
        return;
    }
    if (again == ReadResult::Missing) {
        seen_ = {};
        return;
    }
    reportDamage(problemNow.empty() ? problem : problemNow);
    // Reported once: when it cannot be written anew, it stays ignored.
    if (!lock.held() || !mergeAndWrite(nullptr))
        seen_ = currentIdentity();
}

void StateStore::commit()
{
    bool changed = false;
    for (auto &[address, k] : kept_) {
        const uint64_t changes = k.receiver->persistentChanges();
        if (changes == k.changesSeen)
            continue;
        k.changesSeen = changes;
        changed = changed || k.receiver->persistentState() != k.shared;
    }
    if (!changed)
        return;
    FileLock lock(folderFd_, lockName_);
    if (!lock.held()) {
        if (!writeFailureReported_)
            say("the simulated receivers' state cannot be locked in " + folder_ + "/" + lockName_ + ": " +
                errorText(lock.error()));
        writeFailureReported_ = true;
        return;
    }
    KeptStates theirs;
    Identity identity;
    std::string problem;
    switch (readFile(&theirs, &identity, &problem)) {
    case ReadResult::Read: mergeAndWrite(&theirs); return;
    case ReadResult::Missing: mergeAndWrite(nullptr); return;
    case ReadResult::Damaged:
        reportDamage(problem);
        mergeAndWrite(nullptr);
        return;
    }
}

bool StateStore::mergeAndWrite(const KeptStates *theirs)
{
    KeptStates merged = theirs ? *theirs : KeptStates{};
    for (const auto &[address, k] : kept_) {
        const PersistentState *other = &k.shared;
        if (theirs) {
            const auto it = theirs->find(address);
            if (it != theirs->end())
                other = &it->second;
        }
        merged[address] = receiver::mergePersistentState(k.shared, k.receiver->persistentState(), *other);
    }
    Identity identity;
    if (!writeFile(merged, &identity))
        return false; // shared stays as it was: the change is written with the next one
    adopt(merged);
    seen_ = identity;
    return true;
}

void StateStore::adopt(const KeptStates &states)
{
    for (auto &[address, k] : kept_) {
        const auto it = states.find(address);
        if (it == states.end())
            continue;
        if (k.receiver->persistentState() != it->second)
            k.receiver->restorePersistentState(it->second, nullptr);
        k.shared = it->second;
        k.changesSeen = k.receiver->persistentChanges();
    }
}

void StateStore::reportDamage(const std::string &problem)
{
    // Once for each damaged file, also while it cannot be replaced.
    const Identity damaged = currentIdentity();
    if (damaged == damageReported_)
        return;
    damageReported_ = damaged;
    say("the simulated receivers' state file " + path() + " is damaged (" + problem +
        "); it is ignored and written anew");
}

} // namespace quelmar::aspi_virtual
