#include "controller/OutputFileChecks.h"

#include "platform/File.h"
#include "platform/FileProbe.h"

#include <string_view>

namespace quelmar {

namespace {

constexpr char kOverwriteQuestion[] = "\"%s\" already exists! \nDo you want to overwrite it?";
constexpr size_t kSystemMessageChars = 1000; // the system's text is cut to this many characters
constexpr std::string_view kReplacedInPanicName = "\\/:*\"?<>|";
constexpr char kPanicTimeFormat[] = ", %d-%m-%Y, %H.%M.%S";

// The save dialog's names, after the chosen path, in the order they are tested.
constexpr const char *kSaveDialogSuffixes[] = {
    " (0).mpg", " (0).mp2", " (0).ac3", " (0).m2v", " (0).raw.m2v", " (0).raw.mpp", " (0).raw.acp", ".log",
};

std::string OverwriteQuestion(const std::string &name)
{
    const std::string_view format = kOverwriteQuestion;
    const size_t at = format.find("%s");
    return std::string(format.substr(0, at)) + name + std::string(format.substr(at + 2));
}

} // namespace

std::vector<std::string> SaveDialogFileNames(const std::string &path)
{
    std::vector<std::string> names;
    for (const char *suffix : kSaveDialogSuffixes)
        names.push_back(path + suffix);
    return names;
}

bool ExistenceTest(MainView &view, const std::string &name, std::set<std::string> *agreed)
{
    try {
        ProbeExistingFile(name);
    } catch (const FileException &e) {
        if (e.Cause() == FileCause::FileNotFound)
            return true;
        std::string text = e.what();
        if (text.size() > kSystemMessageChars - 1)
            text.resize(kSystemMessageChars - 1);
        view.ShowMessage(text, kFileSaveAsCaption, MessageIcon::Error);
        return false;
    }
    if (!view.AskYesNo(OverwriteQuestion(name), kFileSaveAsCaption))
        return false;
    if (agreed)
        agreed->insert(name);
    return true;
}

bool ExistenceTests(MainView &view, const std::vector<std::string> &names, std::set<std::string> *agreed)
{
    for (const auto &name : names) {
        if (!ExistenceTest(view, name, agreed))
            return false;
    }
    return true;
}

std::string PanicModeFileBase(const std::string &currentBase, const std::string &channelName, CTime now)
{
    const size_t slash = currentBase.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : currentBase.substr(0, slash + 1);
    std::string name = channelName + now.Format(kPanicTimeFormat);
    for (char &c : name) {
        if (kReplacedInPanicName.find(c) != std::string_view::npos)
            c = '_';
    }
    return folder + name;
}

} // namespace quelmar
