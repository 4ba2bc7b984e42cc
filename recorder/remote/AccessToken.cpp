#include "remote/AccessToken.h"

#include "platform/SafeFiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quelmar::remote {

namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kGroupOrOthers = 077;
// What a token file may hold: the hex digits and one line end.
constexpr size_t kMaxTokenFileBytes = kTokenBytes * 2 + 1;
constexpr int kCreateAttempts = 100; // temporary names tried before giving up

[[noreturn]] void Fail(const std::string &path, const std::string &reason)
{
    throw SafeFileError(path + ": " + reason);
}

std::string SystemError(int error) { return std::strerror(error); }

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

std::string NewToken()
{
    unsigned char bytes[kTokenBytes];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw SafeFileError("no random numbers for the remote control's token: " + SystemError(errno));
        got += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 0xF];
    }
    return token;
}

bool IsToken(const std::string &text)
{
    if (text.size() != kTokenBytes * 2)
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// The token in the file at `path`; "" when nothing is there. Throws
// SafeFileError for anything that is not a token file of this user.
std::string ReadToken(const std::string &path)
{
    const Descriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT)
            return "";
        if (errno == ELOOP)
            Fail(path, "is a symbolic link; the token file must be a regular file");
        Fail(path, "cannot be read: " + SystemError(errno));
    }
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0)
        Fail(path, "cannot be read: " + SystemError(errno));
    if (!S_ISREG(st.st_mode))
        Fail(path, "is not a regular file");
    if (st.st_uid != geteuid())
        Fail(path, "belongs to another user (uid " + std::to_string(st.st_uid) + ")");
    if ((st.st_mode & kGroupOrOthers) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        Fail(path, std::string("can be read by others (mode ") + mode +
                       "); make it readable by its owner only (chmod 600) or remove it to get a new token");
    }
    char buffer[kMaxTokenFileBytes + 1];
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(fd.Get(), buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail(path, "cannot be read: " + SystemError(errno));
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
        if (got == sizeof buffer)
            break;
    }
    std::string text(buffer, got);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!IsToken(text))
        Fail(path, "holds no token; remove it to get a new one");
    return text;
}

// Writes a new token to a fresh temporary file beside `path` and links it
// into place, so that a reader never sees half a token. Returns the token
// that is in place afterwards (another process's when it was first).
std::string CreateToken(const std::string &folder, const std::string &path)
{
    const std::string token = NewToken();
    const std::string line = token + "\n";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < kCreateAttempts && fd < 0; ++attempt) {
        temp = path + ".new-" + NewToken().substr(0, 12);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly);
        if (fd < 0 && errno != EEXIST)
            Fail(folder, "cannot create the remote control's token file: " + SystemError(errno));
    }
    if (fd < 0)
        Fail(folder, "cannot create the remote control's token file: no free temporary name");
    const Descriptor owned(fd);
    const auto removeTemp = [&] { unlink(temp.c_str()); };
    if (fchmod(fd, kOwnerOnly) != 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        fsync(fd) != 0) {
        const int error = errno;
        removeTemp();
        Fail(temp, "cannot be written: " + SystemError(error));
    }
    if (link(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        removeTemp();
        if (error == EEXIST)
            return ReadToken(path);
        Fail(path, "cannot be created: " + SystemError(error));
    }
    removeTemp();
    return token;
}

} // namespace

std::string LoadOrCreateToken(const std::string &stateFolder)
{
    if (stateFolder.empty())
        throw SafeFileError("the remote control's token has no folder: neither XDG_DATA_HOME nor HOME is known");
    const std::string path = stateFolder + "/" + kTokenFileName;
    if (std::string token = ReadToken(path); !token.empty())
        return token;
    CreateFolders(stateFolder);
    return CreateToken(stateFolder, path);
}

bool TokenMatches(std::string_view expected, std::string_view given)
{
    // Every byte of `expected` is compared whatever `given` holds.
    unsigned difference = expected.size() == given.size() ? 0u : 1u;
    for (size_t i = 0; i < expected.size(); ++i) {
        const char other = i < given.size() ? given[i] : static_cast<char>(~expected[i]);
        difference |= static_cast<unsigned char>(expected[i] ^ other);
    }
    return difference == 0;
}

int ShowToken(const std::string &stateFolder, std::FILE *out, std::FILE *err)
{
    try {
        const std::string token = LoadOrCreateToken(stateFolder);
        std::fprintf(out, "%s\n", token.c_str());
        return std::fflush(out) == 0 ? 0 : 1;
    } catch (const SafeFileError &error) {
        std::fprintf(err, "QuelmarRecorder: %s\n", error.what());
        return 1;
    }
}

} // namespace quelmar::remote
