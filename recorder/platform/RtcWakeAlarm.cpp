#include "platform/RtcWakeAlarm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quelmar {

namespace {

constexpr const char *kRootVariable = "QUELMAR_RTC_SYSFS_ROOT";
constexpr const char *kDefaultRoot = "/sys";
constexpr const char *kAlarmBelowRoot = "/class/rtc/rtc0/wakealarm";
constexpr const char *kClearAlarm = "0";
constexpr size_t kErrorTextBytes = 256;
constexpr const char *kNotAttribute = ": is not a clock attribute (not a regular file)";

std::string ErrorText(int osError)
{
    char buffer[kErrorTextBytes];
    return strerror_r(osError, buffer, sizeof buffer);
}

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

} // namespace

RtcWakeAlarm::RtcWakeAlarm(std::string sysfsRoot) : root_(std::move(sysfsRoot))
{
    if (root_.empty()) {
        const char *fromEnvironment = std::getenv(kRootVariable);
        root_ = fromEnvironment && *fromEnvironment ? fromEnvironment : kDefaultRoot;
    }
    alarmPath_ = root_ + kAlarmBelowRoot;
}

bool RtcWakeAlarm::WriteAttribute(const std::string &text, std::string &error) const
{
    // Opening for writing without O_CREAT or O_TRUNC changes nothing, so the
    // checks can follow the open and look at what was really opened.
    const int fd = open(alarmPath_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            error = alarmPath_ + ": is a symbolic link, not written";
        else if (errno == ENXIO) // a FIFO or socket without a reader
            error = alarmPath_ + kNotAttribute;
        else
            error = alarmPath_ + ": " + ErrorText(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = alarmPath_ + kNotAttribute;
        return false;
    }
    const std::string root = RealPath(root_);
    const std::string opened = RealPath("/proc/self/fd/" + std::to_string(fd));
    if (root.empty() || opened.compare(0, root.size() + 1, root + "/") != 0) {
        close(fd);
        error = alarmPath_ + ": leads outside " + root_ + ", not written";
        return false;
    }
    ssize_t done;
    do {
        done = write(fd, text.data(), text.size());
    } while (done < 0 && errno == EINTR);
    const int writeError = done < 0 ? errno : 0;
    const bool closed = close(fd) == 0;
    if (writeError != 0 || static_cast<size_t>(done) != text.size() || !closed) {
        error = alarmPath_ + ": " + ErrorText(writeError != 0 ? writeError : (closed ? EIO : errno));
        return false;
    }
    return true;
}

bool RtcWakeAlarm::Set(CTime when, std::string &error) const
{
    // The clock refuses a new alarm while one is pending: clear it first.
    return WriteAttribute(kClearAlarm, error) && WriteAttribute(std::to_string(when.GetTime()), error);
}

} // namespace quelmar
