// A SettingsStore in memory for tests; remembers the order of the writes.
#pragma once

#include "controller/SettingsStore.h"

#include <map>
#include <string>
#include <vector>

namespace quelmar {

class MemorySettingsStore : public SettingsStore {
public:
    std::optional<int64_t> ReadInt(const std::string &key) const override
    {
        const auto it = ints.find(key);
        return it == ints.end() ? std::nullopt : std::optional<int64_t>(it->second);
    }
    std::optional<std::string> ReadString(const std::string &key) const override
    {
        const auto it = strings.find(key);
        return it == strings.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    void WriteInt(const std::string &key, int64_t value) override
    {
        ints[key] = value;
        written.push_back(key);
    }
    void WriteString(const std::string &key, const std::string &value) override
    {
        strings[key] = value;
        written.push_back(key);
    }

    std::map<std::string, int64_t> ints;
    std::map<std::string, std::string> strings;
    std::vector<std::string> written; // keys in the order of the writes
};

} // namespace quelmar
