#include "platform/TimeZone.h"

namespace larkpost {

std::optional<TLpLocalTime> LocalTimeAt(std::time_t t) {
    // localtime_r need not read TZ again by itself; tzset makes a changed zone take effect.
    tzset();
    TLpLocalTime local;
    if (localtime_r(&t, &local.Fields) == nullptr) return std::nullopt;
    local.UtcOffsetSeconds = local.Fields.tm_gmtoff;
    return local;
}

}  // namespace larkpost
