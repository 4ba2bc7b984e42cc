#include "app/QtSettingsStore.h"

#include "platform/InstanceName.h"

#include "platform/SafeFiles.h"

#include <QStandardPaths>
#include <QStringList>

#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace quelmar {

namespace {

constexpr char kGroup[] = "Settings";
constexpr char kExtension[] = ".conf";
// A settings file is a few hundred bytes; a larger one is not read by line.
constexpr size_t kLargestPlainRead = 1024 * 1024; // bytes
// How QSettings writes the items of a list back into one line.
constexpr char kListSeparator[] = ", ";

QString Key(const std::string &key) { return QString::fromStdString(key); }

std::string_view Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

std::string SettingsFilePath(const std::string &instance)
{
    // Where QSettings puts the user's file of an organisation and program.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() + "/" +
           kSettingsOrganisation + "/" + kSettingsApplication + InstanceSuffix(instance) + kExtension;
}

std::optional<std::string> SettingsFileRefusal(const std::string &path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt; // missing (the defaults apply) or unreadable (as good as missing)
    if (S_ISREG(status.st_mode))
        return std::nullopt;
    const char *what = S_ISDIR(status.st_mode) ? "a folder" : S_ISFIFO(status.st_mode) ? "a FIFO" : "a special file";
    return "the settings file '" + path + "' is " + what + ", not a regular file; remove it (the defaults apply)";
}

QtSettingsStore::QtSettingsStore(const std::string &path)
    : path_(path), settings_(QString::fromStdString(path), QSettings::IniFormat)
{
    settings_.beginGroup(kGroup);
}

std::optional<int64_t> QtSettingsStore::ReadInt(const std::string &key) const
{
    const QVariant value = settings_.value(Key(key));
    if (!value.isValid())
        return std::nullopt;
    bool ok = false;
    const qlonglong number = value.toString().trimmed().toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return static_cast<int64_t>(number);
}

std::optional<std::string> QtSettingsStore::ReadString(const std::string &key) const
{
    const QVariant value = settings_.value(Key(key));
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() != QMetaType::QStringList)
        return value.toString().toStdString();
    // Unquoted commas (a hand-edited file): the text as it stands there.
    if (auto plain = PlainLineValue(key))
        return plain;
    return value.toStringList().join(QString::fromLatin1(kListSeparator)).toStdString();
}

std::optional<std::string> QtSettingsStore::PlainLineValue(const std::string &key) const
{
    std::optional<std::vector<uint8_t>> content;
    try {
        content = ReadRegularFile(path_, kLargestPlainRead);
    } catch (const SafeFileError &) {
        return std::nullopt;
    }
    if (!content)
        return std::nullopt;
    const std::string_view text(reinterpret_cast<const char *>(content->data()), content->size());
    const std::string group = std::string("[") + kGroup + "]";
    std::optional<std::string> found;
    bool inGroup = false;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = Trimmed(text.substr(at, end - at));
        at = end + 1;
        if (!line.empty() && line.front() == '[') {
            inGroup = line == group;
            continue;
        }
        const size_t equals = line.find('=');
        if (!inGroup || equals == std::string_view::npos || Trimmed(line.substr(0, equals)) != key)
            continue;
        // ';' starts a comment, as QSettings reads it; quotes and escapes are
        // QSettings' own syntax and left to it.
        const std::string_view value = line.substr(equals + 1);
        const std::string_view data = Trimmed(value.substr(0, value.find(';')));
        if (data.find_first_of("\"\\") != std::string_view::npos)
            found.reset();
        else
            found = std::string(data);
    }
    return found;
}

void QtSettingsStore::WriteInt(const std::string &key, int64_t value)
{
    settings_.setValue(Key(key), static_cast<qlonglong>(value));
}

void QtSettingsStore::WriteString(const std::string &key, const std::string &value)
{
    settings_.setValue(Key(key), QString::fromStdString(value));
}

bool QtSettingsStore::Sync()
{
    settings_.sync();
    return settings_.status() == QSettings::NoError;
}

std::string QtSettingsStore::FileName() const { return settings_.fileName().toStdString(); }

} // namespace quelmar
