// The wall clock in milliseconds since 1970 (UTC): when a report was built, comparable across
// processes (and so across restarts, unlike the steady clocks).
#ifndef MIRTO_WIN_WALL_CLOCK_H
#define MIRTO_WIN_WALL_CLOCK_H

#include <windows.h>

#include <cstdint>

namespace mirto {

inline std::uint64_t WallClockMs() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kTicksTo1970 = 116444736000000000ULL;  // 100 ns units
    return ticks < kTicksTo1970 ? 0 : (ticks - kTicksTo1970) / 10000;
}

}  // namespace mirto

#endif  // MIRTO_WIN_WALL_CLOCK_H
