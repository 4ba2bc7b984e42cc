// Calendar fields of a CTime in the computer's own time zone.
#pragma once

#include "platform/CTime.h"

namespace quelmar {

// The local weekday of `time`: 0 = Sunday, 1 = Monday ... 6 = Saturday.
// Follows the time zone of the last tzset() (TZ). Any thread.
int LocalWeekday(CTime time);

} // namespace quelmar
