#include "platform/LocalTime.h"

#include <ctime>

namespace quelmar {

int LocalWeekday(CTime time)
{
    const std::time_t t = time.GetTime();
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_wday;
}

} // namespace quelmar
