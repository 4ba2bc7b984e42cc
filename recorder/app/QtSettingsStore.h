// The recorder's settings in QSettings: the file
// $XDG_CONFIG_HOME/Pellix Soft/QuelmarRecorder.conf (~/.config by default),
// or QuelmarRecorder-NAME.conf for an instance, group "Settings".
#pragma once

#include "controller/SettingsStore.h"

#include <QSettings>

#include <optional>
#include <string>

namespace quelmar {

// The organisation and application names the settings are kept under (also
// the program's QCoreApplication names).
inline constexpr char kSettingsOrganisation[] = "Pellix Soft";
inline constexpr char kSettingsApplication[] = "QuelmarRecorder";

// The settings file of the user who runs the program; with an instance name
// (InstanceNameProblem() passed) "QuelmarRecorder-NAME.conf" beside it.
// Reads the environment; touches no file. Any thread.
std::string SettingsFilePath(const std::string &instance = "");

// Why the file at `path` cannot hold the settings: something is there that is
// no regular file (a FIFO would hold the program at its start, a folder
// cannot be read). std::nullopt for a regular file (also through a link) and
// when nothing is there. Never blocks. Any thread.
std::optional<std::string> SettingsFileRefusal(const std::string &path);

class QtSettingsStore : public SettingsStore {
public:
    // Opens the store at `path` and reads it; check it with
    // SettingsFileRefusal() first. Thread that uses it only.
    explicit QtSettingsStore(const std::string &path = SettingsFilePath());

    std::optional<int64_t> ReadInt(const std::string &key) const override;
    // The text as it stands in the file: an unquoted value with commas,
    // which QSettings reads as a list, comes back as written.
    std::optional<std::string> ReadString(const std::string &key) const override;
    void WriteInt(const std::string &key, int64_t value) override;
    void WriteString(const std::string &key, const std::string &value) override;

    // Writes what was changed to the file now (the destructor does it too).
    // False when the file could not be written; the caller may ignore it.
    bool Sync();
    // The file the settings live in.
    std::string FileName() const;

private:
    // The value of `key` in the group as the file's line has it (up to a
    // comment, blanks around it dropped), when the line is plain text
    // without quotes or escapes; else std::nullopt.
    std::optional<std::string> PlainLineValue(const std::string &key) const;

    std::string path_;
    QSettings settings_;
};

} // namespace quelmar
