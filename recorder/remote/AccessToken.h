// The remote control's secret: a random token made at the first start in
// the state folder (the folder of timer.db), readable by its owner only.
// Every API request carries it. Qt-free.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quelmar::remote {

// The token file's name in the state folder.
inline constexpr char kTokenFileName[] = "remote.token";
// Random bytes in a token; the file holds them as lower-case hex.
inline constexpr size_t kTokenBytes = 32;

// The token of `stateFolder`, made when there is none: the folder is
// created (0700) when missing, the file is created exclusively with mode
// 0600 and published whole (another process starting at once reads the
// same token). Throws SafeFileError, never replacing a file it did not
// make: when the file is a link or no regular file, belongs to another
// user, can be read by group or others, or holds no token. Any thread.
std::string LoadOrCreateToken(const std::string &stateFolder);

// Whether `given` equals `expected`, in time that depends only on the
// length of `expected`. Any thread.
bool TokenMatches(std::string_view expected, std::string_view given);

// --show-token: the token of `stateFolder` (made when missing) alone on one
// line on `out`; a problem on `err` as "QuelmarRecorder: <reason>".
// Returns the exit status: 0, or 1 on a problem.
int ShowToken(const std::string &stateFolder, std::FILE *out, std::FILE *err);

} // namespace quelmar::remote
