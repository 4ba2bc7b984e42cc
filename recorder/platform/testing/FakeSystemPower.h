// A SystemPower for tests that never powers anything off: it answers each
// step as the test sets it and records the steps in a list the test may
// share with the log lines, so that their order can be checked.
#pragma once

#include "platform/SystemPower.h"

#include <string>
#include <vector>

namespace quelmar::testing {

class FakeSystemPower : public SystemPower {
public:
    explicit FakeSystemPower(std::vector<std::string> &events) : events_(events) {}

    std::optional<int> GetPlatformId() override { return platformId; }
    bool OpenSession() override
    {
        events_.push_back("[open]");
        return sessionOpens;
    }
    bool MayPowerOff() override
    {
        events_.push_back("[may]");
        return mayPowerOff;
    }
    void SetNormalPriority() override { events_.push_back("[priority]"); }
    uint32_t RequestPowerOff() override
    {
        events_.push_back("[request]");
        return refusal;
    }

    std::optional<int> platformId = kPlatformIdNt;
    bool sessionOpens = true;
    bool mayPowerOff = true;
    uint32_t refusal = 0; // 0: the request is accepted

private:
    std::vector<std::string> &events_;
};

} // namespace quelmar::testing
