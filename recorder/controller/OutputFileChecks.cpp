#include "controller/OutputFileChecks.h"

#include "platform/File.h"
#include "platform/FileProbe.h"
#include "timers/TimerDialogModel.h"
#include "timers/Windows1252.h"

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

// Later parts listed by name in the question; more are counted.
constexpr size_t kListedLaterParts = 10;
constexpr char kLaterPartsQuestion[] = "%s already exist! \nDo you want to overwrite them?";

std::string Fill(std::string_view format, const std::string &text)
{
    const size_t at = format.find("%s");
    return std::string(format.substr(0, at)) + text + std::string(format.substr(at + 2));
}

std::string OverwriteQuestion(const std::string &name) { return Fill(kOverwriteQuestion, name); }

std::string LaterPartsQuestion(const std::vector<std::string> &names)
{
    std::string list;
    for (size_t i = 0; i < names.size() && i < kListedLaterParts; ++i)
        list += (i == 0 ? "\"" : ",\n\"") + names[i] + "\"";
    if (names.size() > kListedLaterParts)
        list += "\nand " + std::to_string(names.size() - kListedLaterParts) + " more files";
    return Fill(kLaterPartsQuestion, list);
}

void ShowSystemText(MainView &view, const FileException &e)
{
    std::string text = e.what();
    if (text.size() > kSystemMessageChars - 1)
        text.resize(kSystemMessageChars - 1);
    view.ShowMessage(text, kFileSaveAsCaption, MessageIcon::Error);
}

enum class Existence {
    Free,    // nothing there
    Agreed,  // there, and the user agreed to overwrite it
    Refused, // there and kept, or it cannot be looked at
};

Existence TestExistence(MainView &view, const std::string &name)
{
    try {
        ProbeExistingFile(name);
    } catch (const FileException &e) {
        if (e.Cause() == FileCause::FileNotFound)
            return Existence::Free;
        ShowSystemText(view, e);
        return Existence::Refused;
    }
    return view.AskYesNo(OverwriteQuestion(name), kFileSaveAsCaption) ? Existence::Agreed : Existence::Refused;
}

// The extensions of the part files a recording of `choices` writes.
std::vector<std::string> PartExtensions(const OutputChoices &choices)
{
    std::vector<std::string> extensions;
    for (const std::string &name : OutputFileNames("", 0, choices)) {
        const std::string prefix = PartPrefix("", 0);
        if (name.compare(0, prefix.size(), prefix) == 0)
            extensions.push_back(name.substr(prefix.size()));
    }
    return extensions;
}

} // namespace

std::vector<std::string> SaveDialogFileNames(const std::string &path)
{
    std::vector<std::string> names;
    for (const char *suffix : kSaveDialogSuffixes)
        names.push_back(path + suffix);
    return names;
}

bool ExistenceTest(MainView &view, const std::string &name) { return TestExistence(view, name) != Existence::Refused; }

bool ExistenceTests(MainView &view, const std::vector<std::string> &names)
{
    for (const auto &name : names) {
        if (!ExistenceTest(view, name))
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

bool AcceptTimerFileName(MainView &view, const std::string &path)
{
    std::string offending;
    if (!FitsWindows1252(path, &offending)) {
        view.ShowMessage(FileNameRefusal(offending), kTimerDialogCaption, MessageIcon::Warning);
        return false;
    }
    return AcceptSaveDialogName(view, path);
}

OutputCheck CheckOutputNames(MainView &view, const std::string &base, const OutputChoices &choices)
{
    OutputCheck check;
    for (const std::string &name : OutputFileNames(base, 0, choices)) {
        const Existence existence = TestExistence(view, name);
        if (existence == Existence::Refused)
            return check;
        if (existence == Existence::Agreed)
            check.agreed.insert(name);
    }
    // A split would truncate these: only with the user's word.
    std::vector<std::string> later = ExistingLaterParts(base, PartExtensions(choices));
    for (const std::string &name : later) {
        try {
            ProbeExistingFile(name);
        } catch (const FileException &e) {
            if (e.Cause() == FileCause::FileNotFound)
                continue; // gone meanwhile
            ShowSystemText(view, e);
            return check;
        }
    }
    if (!later.empty()) {
        if (!view.AskYesNo(LaterPartsQuestion(later), kFileSaveAsCaption))
            return check;
        check.agreed.insert(later.begin(), later.end());
    }
    check.go = true;
    return check;
}

} // namespace quelmar
