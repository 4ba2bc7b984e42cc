// SettingsStore: where the recorder's settings persist between runs. The
// program keeps them with QSettings ("Pellix Soft", "QuelmarRecorder", group
// "Settings"); tests use MemorySettingsStore.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quelmar {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The integer stored under `key`; std::nullopt when there is none or the
    // stored value is no integer. User-interface thread.
    virtual std::optional<int64_t> ReadInt(const std::string &key) const = 0;
    // The text stored under `key`; std::nullopt when there is none.
    virtual std::optional<std::string> ReadString(const std::string &key) const = 0;
    // Store a value under `key`, replacing what was there. Failures are not
    // reported (the settings are then lost for the next start).
    virtual void WriteInt(const std::string &key, int64_t value) = 0;
    virtual void WriteString(const std::string &key, const std::string &value) = 0;
};

} // namespace quelmar
