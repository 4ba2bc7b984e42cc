// SystemPower over systemd-logind (org.freedesktop.login1) on the system
// D-Bus. Qt is used inside only; this header does not include it.
#pragma once

#include "platform/SystemPower.h"

#include <memory>
#include <string>

namespace quelmar {

class LogindPower final : public SystemPower {
public:
    // `busAddress`: empty for the system bus; otherwise the D-Bus address of
    // another bus (tests: a private bus with a stand-in service). A
    // QCoreApplication should exist before the first call.
    explicit LogindPower(std::string busAddress = {});
    ~LogindPower() override;
    LogindPower(const LogindPower &) = delete;
    LogindPower &operator=(const LogindPower &) = delete;

    // QueryPlatformId().
    std::optional<int> GetPlatformId() override;
    // Connects to the bus; false when it cannot be reached.
    bool OpenSession() override;
    // CanPowerOff answers "yes" or "challenge".
    bool MayPowerOff() override;
    // SetProcessPriority(PriorityClass::Normal).
    void SetNormalPriority() override;
    // PowerOff(false): 0 when it returned without error, else
    // PowerOffErrorNumber(the D-Bus error name). Never called by a test.
    uint32_t RequestPowerOff() override;

    // Name and message of the last D-Bus error ("" when none), for
    // diagnostics.
    const std::string &LastError() const { return lastError_; }

private:
    // Connects once; true while the connection stands.
    bool Connect();

    struct Bus;
    std::string busAddress_;
    std::unique_ptr<Bus> bus_;
    std::string lastError_;
};

} // namespace quelmar
