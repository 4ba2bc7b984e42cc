#include "remote/RecordingsFolder.h"

#include "engine/OutputFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>

namespace quelmar::remote {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { Reset(-1); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool EndsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Splits a file name into the base name and part number (-1 for the log);
// false for a name that is no file of a recording.
bool SplitRecordingFileName(const std::string &file, std::string &base, int &part)
{
    if (EndsWith(file, kLogExtension) && file.size() > std::strlen(kLogExtension)) {
        base = file.substr(0, file.size() - std::strlen(kLogExtension));
        part = -1;
        return true;
    }
    for (const std::string &extension : PartExtensions()) {
        if (!EndsWith(file, extension))
            continue;
        const std::string stem = file.substr(0, file.size() - extension.size()); // "base (N)"
        if (stem.empty() || stem.back() != ')')
            continue;
        const size_t open = stem.rfind(" (");
        if (open == std::string::npos || open == 0)
            continue;
        const std::string digits = stem.substr(open + 2, stem.size() - open - 3);
        if (digits.empty() || digits.size() > 9 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        base = stem.substr(0, open);
        part = std::stoi(digits);
        return true;
    }
    return false;
}

bool IsPlainName(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// When the file was made: its birth time where the file system keeps it.
std::optional<int64_t> BirthOf(int folderFd, const std::string &name)
{
    struct statx sx {};
    if (statx(folderFd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) != 0 || !(sx.stx_mask & STATX_BTIME))
        return std::nullopt;
    return static_cast<int64_t>(sx.stx_btime.tv_sec);
}

std::string SystemError(int error) { return std::strerror(error); }

} // namespace

bool IsRecordingFileOf(const std::string &name, const std::string &file)
{
    if (!IsPlainName(name) || !IsPlainName(file))
        return false;
    std::string base;
    int part = 0;
    return SplitRecordingFileName(file, base, part) && base == name;
}

std::vector<RecordingSummary> ListRecordings(const std::string &folder)
{
    Descriptor dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() < 0)
        throw std::runtime_error(folder + ": cannot be read: " + SystemError(errno));
    DIR *dir = fdopendir(dup(dirFd.Get()));
    if (!dir)
        throw std::runtime_error(folder + ": cannot be read: " + SystemError(errno));
    struct Group {
        RecordingSummary summary;
        std::set<int> parts;
        int64_t lastWrite = 0;
    };
    std::map<std::string, Group> groups;
    while (const dirent *entry = readdir(dir)) {
        const std::string file = entry->d_name;
        std::string base;
        int part = 0;
        if (!IsPlainName(file) || !SplitRecordingFileName(file, base, part))
            continue;
        struct stat st {};
        if (fstatat(dirFd.Get(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        Group &group = groups[base];
        group.summary.name = base;
        group.summary.files.push_back({file, static_cast<uint64_t>(st.st_size)});
        group.summary.bytes += static_cast<uint64_t>(st.st_size);
        if (part >= 0)
            group.parts.insert(part);
        group.lastWrite = std::max<int64_t>(group.lastWrite, st.st_mtim.tv_sec);
        if (const auto birth = BirthOf(dirFd.Get(), file))
            group.summary.start = std::min(group.summary.start.value_or(*birth), *birth);
    }
    closedir(dir);
    std::vector<RecordingSummary> list;
    for (auto &[base, group] : groups) {
        RecordingSummary &summary = group.summary;
        summary.parts = static_cast<int>(group.parts.size());
        std::sort(summary.files.begin(), summary.files.end(),
                  [](const RecordingFile &a, const RecordingFile &b) { return a.name < b.name; });
        if (summary.start)
            summary.durationSeconds = std::max<int64_t>(0, group.lastWrite - *summary.start);
        list.push_back(std::move(summary));
    }
    std::stable_sort(list.begin(), list.end(), [](const RecordingSummary &a, const RecordingSummary &b) {
        return a.start.value_or(0) > b.start.value_or(0);
    });
    return list;
}

std::optional<OpenedFile> OpenRecordingFile(const std::string &folder, const std::string &name, const std::string &file,
                                            std::string &problem, bool &notFound)
{
    notFound = false;
    if (!IsRecordingFileOf(name, file)) {
        problem = "\"" + file + "\" is no file of recording \"" + name + "\"";
        return std::nullopt;
    }
    const Descriptor dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() < 0) {
        problem = "the recordings folder cannot be read: " + SystemError(errno);
        return std::nullopt;
    }
    // O_NONBLOCK: a FIFO planted there never holds the server up.
    Descriptor fd(openat(dirFd.Get(), file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0) {
        const int error = errno;
        notFound = error == ENOENT;
        problem = error == ELOOP ? "\"" + file + "\" is a link; only files are served"
                                 : "\"" + file + "\" cannot be read: " + SystemError(error);
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "\"" + file + "\" is no regular file; only files are served";
        return std::nullopt;
    }
    // Reads block from here on: the file is a regular file.
    const int flags = fcntl(fd.Get(), F_GETFL);
    if (flags >= 0)
        fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    return OpenedFile{fd.Release(), static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec};
}

std::optional<std::string> ResolveRequestedBase(const std::string &folderGiven, const std::string &requested,
                                                std::string &problem)
{
    std::string folder = folderGiven;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty() || folder.front() != '/') {
        problem = "no recordings folder is set, so no file can be named";
        return std::nullopt;
    }
    if (requested.empty() || requested.find('\0') != std::string::npos) {
        problem = "the file name is empty or holds a NUL character";
        return std::nullopt;
    }
    std::string below; // the part below the folder
    if (requested.front() == '/') {
        const std::string prefix = folder == "/" ? folder : folder + "/";
        if (requested.compare(0, prefix.size(), prefix) != 0) {
            problem = "\"" + requested + "\" is not below the recordings folder " + folder;
            return std::nullopt;
        }
        below = requested.substr(prefix.size());
    } else {
        below = requested;
    }
    std::vector<std::string> parts;
    for (size_t pos = 0;;) {
        const size_t slash = below.find('/', pos);
        parts.push_back(below.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos));
        if (slash == std::string::npos)
            break;
        pos = slash + 1;
    }
    for (const std::string &part : parts) {
        if (part.empty() || part == "." || part == "..") {
            problem = "\"" + requested +
                      "\" holds an empty, \".\" or \"..\" part; name a file below the "
                      "recordings folder";
            return std::nullopt;
        }
    }
    Descriptor dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() < 0) {
        problem = "the recordings folder " + folder + " cannot be opened: " + SystemError(errno);
        return std::nullopt;
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const int next = openat(dirFd.Get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            problem = "the folder \"" + parts[i] + "\" of \"" + requested + "\" " +
                      (error == ELOOP || error == ENOTDIR ? std::string("is a link or no folder")
                                                          : "cannot be opened: " + SystemError(error));
            return std::nullopt;
        }
        dirFd.Reset(next);
    }
    struct stat st {};
    if (fstatat(dirFd.Get(), parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        problem = "\"" + requested + "\" is a link, a folder or a device; name a new file";
        return std::nullopt;
    }
    std::string absolute = folder == "/" ? "" : folder;
    for (const std::string &part : parts)
        absolute += "/" + part;
    return absolute;
}

} // namespace quelmar::remote
