#include "engine/RecordingFiles.h"

#include "engine/EventLog.h"
#include "engine/OutputFiles.h"

#include <cerrno>

namespace quelmar {

namespace {

// "/rec/b (1).mpg" -> folder "/rec", name "b (1).mpg"; "/b" -> "/", "b";
// "b" -> "" (the working folder), "b".
void SplitPath(const std::string &path, std::string *folder, std::string *name)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder->clear();
        *name = path;
        return;
    }
    *folder = slash == 0 ? std::string("/") : path.substr(0, slash);
    *name = path.substr(slash + 1);
}

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

} // namespace

RecordingFiles::RecordingFiles(std::set<std::string> overwriteAgreed) : agreed_(std::move(overwriteAgreed)) {}

const Folder &RecordingFiles::FolderOf(const std::string &path, std::string *name)
{
    std::string folderPath;
    SplitPath(path, &folderPath, name);
    auto found = folders_.find(folderPath);
    if (found == folders_.end()) {
        Folder folder;
        folder.Open(folderPath, path);
        found = folders_.emplace(folderPath, std::move(folder)).first;
    }
    return found->second;
}

void RecordingFiles::Create(File &file, const std::string &path)
{
    std::string name;
    const Folder &folder = FolderOf(path, &name);
    // An agreed name is agreed once: this recording never truncates what it
    // wrote itself.
    const bool agreed = agreed_.erase(path) != 0;
    file.OpenIn(folder, name, path, agreed ? File::Mode::CreateWrite : File::Mode::CreateNew);
}

int RecordingFiles::FreePart(const std::string &base, int first, const std::vector<std::string> &extensions)
{
    std::string takenName, takenExtension;
    int part = first;
    for (; part < first + kPartSearchLimit; ++part) {
        bool free = true;
        for (const std::string &extension : extensions) {
            const std::string path = PartPrefix(base, part) + extension;
            if (agreed_.count(path))
                continue;
            std::string name;
            const int error = FolderOf(path, &name).Lookup(name);
            if (error == ENOENT)
                continue;
            if (error != 0)
                return part; // creating it tells why
            if (takenName.empty()) {
                takenName = path;
                takenExtension = extension;
            }
            free = false;
            break;
        }
        if (free)
            break;
    }
    if (part != first)
        LogEvent(Quoted(takenName) + " already exists and is kept: this part is written as " +
                 Quoted(PartPrefix(base, part) + takenExtension));
    return part;
}

void RecordingFiles::Close(File &file)
{
    if (!file.IsOpen())
        return;
    if (file.Size() == 0) {
        std::string name;
        try {
            if (FolderOf(file.Path(), &name).RemoveIfSame(name, file))
                LogEvent(Quoted(file.Path()) + " stayed empty and was removed");
        } catch (const FileException &) {
            // The folder is held from the file's creation; nothing to remove otherwise.
        }
    }
    try {
        file.Close();
    } catch (const FileException &e) {
        LogException(&e);
    }
}

} // namespace quelmar
