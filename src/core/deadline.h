// A moment some milliseconds ahead on the system's tick clock, for waits that must end together:
// every wait bounded by one deadline ends by it, however many there are in a row. A caller that
// waits for the worker (a first start, Shutdown) takes its deadline once, when it arrives.
#ifndef MIRTO_CORE_DEADLINE_H
#define MIRTO_CORE_DEADLINE_H

#include <windows.h>

namespace mirto {

class Deadline {
   public:
    explicit Deadline(DWORD milliseconds) noexcept : at_(GetTickCount64() + milliseconds) {}

    // Milliseconds left, 0 once it has passed (INFINITE for a deadline some 49 days away).
    [[nodiscard]] DWORD Remaining() const noexcept {
        const ULONGLONG now = GetTickCount64();
        if (now >= at_) return 0;
        const ULONGLONG left = at_ - now;
        return left >= INFINITE ? INFINITE : static_cast<DWORD>(left);
    }

   private:
    ULONGLONG at_;
};

// Waits for `object` until the deadline; true when it was signalled.
inline bool WaitUntil(HANDLE object, const Deadline& deadline) noexcept {
    return WaitForSingleObject(object, deadline.Remaining()) == WAIT_OBJECT_0;
}

}  // namespace mirto

#endif  // MIRTO_CORE_DEADLINE_H
