#include "platform/SystemPower.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace quelmar {

namespace {

constexpr const char *kOsFamilyVariable = "QUELMAR_OS_FAMILY";
constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
constexpr uint32_t kHashMark = 0x80000000u; // bit 31: a hashed name

constexpr std::pair<std::string_view, uint32_t> kKnownErrors[] = {
    {"org.freedesktop.DBus.Error.AccessDenied", 1},
    {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", 2},
    {"org.freedesktop.DBus.Error.NoReply", 3},
    {"org.freedesktop.DBus.Error.Timeout", 4},
    {"org.freedesktop.DBus.Error.TimedOut", 4},
    {"org.freedesktop.DBus.Error.ServiceUnknown", 5},
    {"org.freedesktop.DBus.Error.UnknownMethod", 6},
    {"org.freedesktop.DBus.Error.UnknownObject", 6},
    {"org.freedesktop.DBus.Error.UnknownInterface", 6},
    {"org.freedesktop.DBus.Error.Disconnected", 7},
    {"org.freedesktop.DBus.Error.NoServer", 7},
    {"org.freedesktop.login1.OperationInProgress", 8},
    {"org.freedesktop.DBus.Error.Failed", 9},
};

} // namespace

std::optional<int> QueryPlatformId()
{
    const char *family = std::getenv(kOsFamilyVariable);
    if (!family || std::strcmp(family, "nt") == 0)
        return kPlatformIdNt;
    if (std::strcmp(family, "9x") == 0)
        return kPlatformIdOther;
    return std::nullopt;
}

uint32_t PowerOffErrorNumber(std::string_view dbusErrorName)
{
    for (const auto &[name, number] : kKnownErrors)
        if (name == dbusErrorName)
            return number;
    uint32_t hash = kFnvOffsetBasis;
    for (const char c : dbusErrorName) {
        hash ^= static_cast<uint8_t>(c);
        hash *= kFnvPrime;
    }
    return hash | kHashMark;
}

} // namespace quelmar
