// The existence test of an output file before it is overwritten.
#pragma once

#include <string>

namespace quelmar {

// Opens `path` for reading and closes it again, the way the overwrite
// check asks whether a file is there: a symbolic link is not followed, a
// FIFO or device never blocks the caller, and a file that a writer holds
// locked (a recording writing it) is refused like a file shared without
// read access. A directory, FIFO, device or socket is refused with the error
// that creating the file would give (EISDIR, EINVAL). Returns normally when a
// regular file exists and could be opened;
// otherwise throws FileException (cause FileNotFound when nothing is at
// `path`). Any thread.
void ProbeExistingFile(const std::string &path);

} // namespace quelmar
