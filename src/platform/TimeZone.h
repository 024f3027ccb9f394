// Local time and the offset from UTC in force at a given moment (localtime_r, tm_gmtoff).
#pragma once

#include <ctime>
#include <optional>

namespace larkpost {

struct TLpLocalTime {
    std::tm Fields{};           // local calendar fields of the moment
    long UtcOffsetSeconds = 0;  // positive east of UTC
};

// The local time at t, or nothing when the zone information cannot be had.
std::optional<TLpLocalTime> LocalTimeAt(std::time_t t);

}  // namespace larkpost
