// The real-time clock's wake alarm (/sys/class/rtc/rtc0/wakealarm): switches
// a powered-off computer on at a given time.
#pragma once

#include "platform/CTime.h"

#include <string>

namespace quelmar {

class RtcWakeAlarm {
public:
    // `sysfsRoot` stands for /sys (tests pass a folder of their own). Empty:
    // $QUELMAR_RTC_SYSFS_ROOT when set and not empty, else "/sys".
    explicit RtcWakeAlarm(std::string sysfsRoot = {});

    // Clears the alarm ("0"), then sets it to `when` (seconds since 1970 UTC).
    // The attribute is written only when it is a regular file whose real
    // location lies inside the root: a link planted outside is refused, and
    // nothing is created. False with the reason in `error` (a sentence
    // without the path's prefix, e.g. "... : Permission denied"). Any thread,
    // one at a time.
    bool Set(CTime when, std::string &error) const;

    // The attribute's path below the root.
    const std::string &AlarmPath() const { return alarmPath_; }

private:
    bool WriteAttribute(const std::string &text, std::string &error) const;

    std::string root_;
    std::string alarmPath_;
};

} // namespace quelmar
