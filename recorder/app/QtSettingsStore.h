// The recorder's settings in QSettings: organisation "Pellix Soft",
// application "QuelmarRecorder", group "Settings", i.e. the file
// $XDG_CONFIG_HOME/Pellix Soft/QuelmarRecorder.conf (~/.config by default).
#pragma once

#include "controller/SettingsStore.h"

#include <QSettings>

namespace quelmar {

class QtSettingsStore : public SettingsStore {
public:
    // Opens the store; nothing is read or written yet. Thread that uses it only.
    QtSettingsStore();

    std::optional<int64_t> ReadInt(const std::string &key) const override;
    std::optional<std::string> ReadString(const std::string &key) const override;
    void WriteInt(const std::string &key, int64_t value) override;
    void WriteString(const std::string &key, const std::string &value) override;

    // Writes what was changed to the file now (the destructor does it too).
    // False when the file could not be written; the caller may ignore it.
    bool Sync();
    // The file the settings live in.
    std::string FileName() const;

private:
    QSettings settings_;
};

} // namespace quelmar
