// The pause between two delivery attempts. It ends early when the worker is told to stop (its
// stop event is set), so an unreachable collector never holds a stopping worker for more than a
// moment; from then on every wait ends at once.
#ifndef MIRTO_CORE_RETRY_WAIT_H
#define MIRTO_CORE_RETRY_WAIT_H

#include <windows.h>

namespace mirto {

// A steady clock in milliseconds, from the performance counter.
ULONGLONG SteadyMs() noexcept;

// Waits up to `milliseconds`; false when `stop` (an event, or null for none) is set, or once
// `give_up` (checked whenever a message arrives) says so.
bool WaitBeforeRetry(DWORD milliseconds, HANDLE stop = nullptr,
                     bool (*give_up)() = nullptr) noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_RETRY_WAIT_H
