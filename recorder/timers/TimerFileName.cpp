#include "timers/TimerFileName.h"

#include <cstdlib>

namespace quelmar {

namespace {

bool IsAbsolute(const std::string &path) { return !path.empty() && path.front() == '/'; }

} // namespace

std::string RecordingsFolder(const std::string &storedFileBase)
{
    const char *named = std::getenv(kRecordingsFolderVariable);
    if (named && IsAbsolute(named))
        return named;
    if (!IsAbsolute(storedFileBase))
        return "";
    const size_t slash = storedFileBase.rfind('/');
    return slash == 0 ? "/" : storedFileBase.substr(0, slash);
}

std::string TimerFileNameProblem(const std::string &fileName)
{
    if (fileName.empty())
        return "The file name is empty: enter the name the recording's files are to get.";
    const size_t slash = fileName.rfind('/');
    const std::string last = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    if (last.empty() || last == "." || last == "..")
        return "The file name \"" + fileName +
               "\" names a folder: add the name the recording's files are to get in it.";
    return "";
}

std::optional<std::string> ResolveTimerFileName(const std::string &fileName, const std::string &folder)
{
    if (IsAbsolute(fileName))
        return fileName;
    if (folder.empty())
        return std::nullopt;
    return (folder.back() == '/' ? folder : folder + "/") + fileName;
}

} // namespace quelmar
