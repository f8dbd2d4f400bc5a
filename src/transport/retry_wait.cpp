// Waits on the thread's message queue rather than sleeping, so that a quit message posted
// meanwhile is noticed at once. Other messages (the game's next operations) wake the wait
// too; they are left in the queue for the worker's loop and the wait resumes.
#include "transport/retry_wait.h"

namespace mirto {
namespace {

// Only the worker thread delivers reports, so one flag serves the process.
bool quitting = false;

bool QuitWaiting() noexcept {
    MSG message;
    if (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) quitting = true;
    return quitting;
}

}  // namespace

bool WaitBeforeRetry(DWORD milliseconds) noexcept {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        if (QuitWaiting()) return false;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return true;
        // Wakes for messages posted after the last look at the queue, or at the deadline.
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE,
                                    0);
    }
}

}  // namespace mirto
