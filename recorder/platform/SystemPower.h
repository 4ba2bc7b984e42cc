// Switching the computer off: what the shut-down sequence needs of the
// operating system, behind an interface so that tests use a fake and never
// power a machine off.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quelmar {

// Platform id of the NT family, the one with a shut-down privilege step.
constexpr int kPlatformIdNt = 2;
// Platform id of every other family: no privilege step.
constexpr int kPlatformIdOther = 1;

// The steps of a power-off request. Called on the user-interface thread, in
// the order below, by the shut-down sequence only.
class SystemPower {
public:
    virtual ~SystemPower() = default;
    // The operating-system family (kPlatformIdNt or kPlatformIdOther);
    // std::nullopt when it cannot be told.
    virtual std::optional<int> GetPlatformId() = 0;
    // Reaches the service that powers the machine off (the token step).
    // False when it cannot be reached.
    virtual bool OpenSession() = 0;
    // True when this process may ask for the power-off (the privilege step).
    // Only after OpenSession() returned true.
    virtual bool MayPowerOff() = 0;
    // Lowers the process's priority to normal (it may run at real-time
    // priority); failures are ignored.
    virtual void SetNormalPriority() = 0;
    // Asks the system to shut down and switch off. 0 when the request was
    // accepted, else a non-zero number that identifies the refusal.
    virtual uint32_t RequestPowerOff() = 0;
};

// The family QUELMAR_OS_FAMILY names: unset or "nt" gives kPlatformIdNt,
// "9x" kPlatformIdOther, anything else std::nullopt. Any thread.
std::optional<int> QueryPlatformId();

// The number logged for a refused power-off, from the D-Bus error name:
//   1 org.freedesktop.DBus.Error.AccessDenied
//   2 org.freedesktop.DBus.Error.InteractiveAuthorizationRequired
//   3 org.freedesktop.DBus.Error.NoReply
//   4 org.freedesktop.DBus.Error.Timeout (and .TimedOut)
//   5 org.freedesktop.DBus.Error.ServiceUnknown
//   6 org.freedesktop.DBus.Error.UnknownMethod (and .UnknownObject, .UnknownInterface)
//   7 org.freedesktop.DBus.Error.Disconnected (and .NoServer)
//   8 org.freedesktop.login1.OperationInProgress
//   9 org.freedesktop.DBus.Error.Failed
// Any other name: its 32-bit FNV-1a hash with bit 31 set, so it never
// meets a number of the table; an empty name gives the hash of "". Never 0.
uint32_t PowerOffErrorNumber(std::string_view dbusErrorName);

} // namespace quelmar
