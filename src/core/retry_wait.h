// The pause between two delivery attempts. It ends early when the calling thread has been
// told to quit (a WM_QUIT waits in its message queue), so an unreachable collector never holds
// a quitting worker for more than a moment; from then on every wait ends at once.
#ifndef MIRTO_CORE_RETRY_WAIT_H
#define MIRTO_CORE_RETRY_WAIT_H

#include <windows.h>

namespace mirto {

// A steady clock in milliseconds, from the performance counter.
ULONGLONG SteadyMs() noexcept;

// Waits up to `milliseconds`; false when the thread is quitting, or once `give_up` (checked
// whenever a message arrives) says so.
bool WaitBeforeRetry(DWORD milliseconds, bool (*give_up)() = nullptr) noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_RETRY_WAIT_H
