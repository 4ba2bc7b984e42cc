#include "platform/FileProbe.h"

#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quelmar {

void ProbeExistingFile(const std::string &path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        throw FileException(FileCauseFromErrno(error), error, path);
    }
    const auto fail = [&](int error) {
        ::close(fd);
        throw FileException(FileCauseFromErrno(error), error, path);
    };
    // Only a regular file can be overwritten; anything else is refused with
    // the error the file's creation would give.
    struct stat status {};
    if (fstat(fd, &status) != 0)
        fail(errno);
    if (!S_ISREG(status.st_mode))
        fail(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    // Others may not write while we look: a shared lock, refused while a
    // recording holds the file exclusively.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0)
        fail(errno);
    ::close(fd);
}

} // namespace quelmar
