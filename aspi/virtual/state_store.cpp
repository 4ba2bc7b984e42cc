#include "state_store.h"

#include "receiver/channel_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace quelmar::aspi_virtual {
namespace {

using receiver::PersistentState;

constexpr char kMessagePrefix[] = "libaspi-virtual.so: ";
constexpr std::string_view kHeader = "quelmar-virtual-receiver-state 1";
constexpr char kStateDirVariable[] = "QUELMAR_VIRTUAL_STATE_DIR";
constexpr char kRuntimeDirVariable[] = "XDG_RUNTIME_DIR";
constexpr char kOff[] = "off";
constexpr char kRuntimeSubfolder[] = "quelmar-virtual-receiver";
constexpr char kTmpSubfolderPrefix[] = "quelmar-virtual-receiver-";
constexpr char kDefaultKey[] = "default";
constexpr char kConfigKeyPrefix[] = "config-";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
// Far more than the largest state (16 adapters of 8 receivers with full
// tables); a larger file is damaged, not read.
constexpr off_t kMaxStateFileBytes = 64 * 1024 * 1024;
constexpr size_t kReadChunkBytes = 65536;
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr int64_t kNanosPerSecond = 1'000'000'000;
constexpr unsigned kMaxTunedNumber = 0xFFFF;
constexpr unsigned kHexDigitsPer64Bits = 16;

uint64_t fnv1a64(std::string_view bytes, uint64_t hash = kFnvOffsetBasis)
{
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

std::string hex64(uint64_t value)
{
    char text[kHexDigitsPer64Bits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

template <typename Bytes>
std::string toHex(const Bytes &bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const auto b : bytes) {
        const auto v = static_cast<unsigned char>(b);
        out += kDigits[v >> 4];
        out += kDigits[v & 0xF];
    }
    return out;
}

bool fromHex(std::string_view text, std::string *out)
{
    if (text.size() % 2 != 0)
        return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<char>(high << 4 | low));
    }
    return true;
}

bool parseDecimal(std::string_view text, uint64_t max, uint64_t *out)
{
    constexpr size_t kMaxDigits = 12;
    if (text.empty() || text.size() > kMaxDigits || (text.size() > 1 && text[0] == '0'))
        return false;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max)
        return false;
    *out = value;
    return true;
}

std::vector<std::string_view> splitWords(std::string_view line)
{
    std::vector<std::string_view> words;
    for (size_t pos = 0; pos <= line.size();) {
        const size_t end = std::min(line.find(' ', pos), line.size());
        words.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    return words;
}

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

// The lines of one receiver, in this order.
constexpr std::string_view kTuned = "tuned", kModeWord = "scsi-mode-word", kChannels = "channels", kPower = "power",
                           kRemote = "remote", kFrontPanel = "front-panel", kOsd = "osd",
                           kVideoSetting = "video-setting", kReceiver = "receiver", kChecksum = "checksum";

} // namespace

std::string encodeKeptStates(const KeptStates &states)
{
    std::string out = std::string(kHeader) + "\n";
    auto line = [&out](std::string_view key, const std::string &value) {
        out.append(key);
        if (!value.empty())
            out.append(" ").append(value);
        out += '\n';
    };
    for (const auto &[address, s] : states) {
        line(kReceiver, std::to_string(address.first) + " " + std::to_string(address.second));
        line(kTuned, std::to_string(s.tunedIndex + 1));
        const uint8_t word[2] = {static_cast<uint8_t>(s.scsiModeWord >> 8), static_cast<uint8_t>(s.scsiModeWord)};
        line(kModeWord, toHex(std::string_view(reinterpret_cast<const char *>(word), sizeof word)));
        const size_t count = s.channelTable.size() / receiver::kChannelRecordBytes;
        line(kChannels, std::to_string(count) + (count ? " " + toHex(s.channelTable) : std::string()));
        line(kPower, s.powered ? "on" : "off");
        line(kRemote, s.remoteLocked ? "locked" : "unlocked");
        line(kFrontPanel, toHex(s.frontPanel));
        line(kOsd, toHex(s.osd));
        line(kVideoSetting, toHex(s.videoSetting));
    }
    line(kChecksum, hex64(fnv1a64(out)));
    return out;
}

std::optional<KeptStates> decodeKeptStates(const std::string &text, std::string *problem)
{
    std::string why;
    auto damaged = [&](std::string reason) -> std::optional<KeptStates> {
        if (problem)
            *problem = std::move(reason);
        return std::nullopt;
    };
    // The checksum line covers every byte before it and ends the file.
    const size_t lastLine = text.size() > 1 ? text.rfind('\n', text.size() - 2) : std::string::npos;
    if (text.empty() || text.back() != '\n' || lastLine == std::string::npos)
        return damaged("it is cut off");
    const std::string_view body(text.data(), lastLine + 1);
    const auto checksum = splitWords(std::string_view(text).substr(lastLine + 1, text.size() - lastLine - 2));
    if (checksum.size() != 2 || checksum[0] != kChecksum)
        return damaged("it is cut off");
    if (checksum[1] != hex64(fnv1a64(body)))
        return damaged("its checksum does not match its content");

    std::vector<std::string_view> lines;
    for (size_t pos = 0; pos < body.size();) {
        const size_t end = body.find('\n', pos);
        lines.push_back(body.substr(pos, end - pos));
        pos = end + 1;
    }
    if (lines.empty() || lines[0] != kHeader)
        return damaged("it is not a state file of this version");
    size_t at = 1;
    std::vector<std::string_view> values;
    // The next line, which must carry `key` and `count` values.
    auto next = [&](std::string_view key, size_t minimum, size_t maximum) {
        if (at >= lines.size())
            return false;
        auto words = splitWords(lines[at]);
        if (words[0] != key || words.size() - 1 < minimum || words.size() - 1 > maximum)
            return false;
        values.assign(words.begin() + 1, words.end());
        ++at;
        return true;
    };
    auto bytes = [&](size_t index, std::string *out) {
        out->clear();
        return index >= values.size() || fromHex(values[index], out);
    };
    KeptStates states;
    while (at < lines.size()) {
        const size_t line = at + 1;
        auto bad = [&](std::string_view what) {
            return damaged("line " + std::to_string(line) + ": " + std::string(what));
        };
        uint64_t adapter = 0, target = 0, tuned = 0, count = 0;
        if (!next(kReceiver, 2, 2) || !parseDecimal(values[0], receiver::kMaxAdapters - 1, &adapter) ||
            !parseDecimal(values[1], receiver::kMaxTargetsPerAdapter - 1, &target))
            return bad("a receiver's address was expected");
        const ReceiverAddress address{static_cast<unsigned>(adapter), static_cast<unsigned>(target)};
        if (states.count(address))
            return bad("the receiver appears twice");
        PersistentState s;
        std::string raw;
        if (!next(kTuned, 1, 1) || !parseDecimal(values[0], kMaxTunedNumber, &tuned) || tuned == 0)
            return bad("the tuned channel was expected");
        s.tunedIndex = static_cast<unsigned>(tuned - 1);
        if (!next(kModeWord, 1, 1) || !bytes(0, &raw) || raw.size() != 2)
            return bad("the SCSI mode word was expected");
        s.scsiModeWord = static_cast<uint16_t>(static_cast<uint8_t>(raw[0]) << 8 | static_cast<uint8_t>(raw[1]));
        if (!next(kChannels, 1, 2) || !parseDecimal(values[0], kMaxTunedNumber, &count) || !bytes(1, &raw) ||
            raw.size() != count * receiver::kChannelRecordBytes)
            return bad("the channel table was expected");
        s.channelTable.assign(raw.begin(), raw.end());
        if (!next(kPower, 1, 1) || (values[0] != "on" && values[0] != "off"))
            return bad("the power state was expected");
        s.powered = values[0] == "on";
        if (!next(kRemote, 1, 1) || (values[0] != "locked" && values[0] != "unlocked"))
            return bad("the remote lock was expected");
        s.remoteLocked = values[0] == "locked";
        if (!next(kFrontPanel, 0, 1) || !bytes(0, &s.frontPanel))
            return bad("the front-panel text was expected");
        if (!next(kOsd, 0, 1) || !bytes(0, &s.osd))
            return bad("the on-screen text was expected");
        if (!next(kVideoSetting, 1, 1) || !bytes(0, &raw) || raw.size() != s.videoSetting.size())
            return bad("the video setting was expected");
        s.videoSetting = {static_cast<uint8_t>(raw[0]), static_cast<uint8_t>(raw[1])};
        why = receiver::persistentStateProblem(s);
        if (!why.empty())
            return bad(why);
        states[address] = std::move(s);
    }
    return states;
}

std::string stateKey(const std::string &canonicalPath, const std::string &content)
{
    if (canonicalPath.empty())
        return kDefaultKey;
    // The path's end is marked, so that no path and content run together.
    return kConfigKeyPrefix + hex64(fnv1a64(content, fnv1a64(canonicalPath + '\0')));
}

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
