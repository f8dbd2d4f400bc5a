// The counters' one instance and the wall clock they are dated by.
#include "core/delivery_stats.h"

#include <windows.h>

namespace mirto {
namespace {

DeliveryCounters counters;

}  // namespace

DeliveryCounters& Counters() noexcept { return counters; }

std::uint64_t WallClockMs() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kTicksTo1970 = 116444736000000000ULL;  // 100 ns units
    return ticks < kTicksTo1970 ? 0 : (ticks - kTicksTo1970) / 10000;
}

}  // namespace mirto
