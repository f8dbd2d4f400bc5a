// Waits on the thread's message queue rather than sleeping, so that a quit message posted
// meanwhile is noticed at once. Other messages (the game's next operations) wake the wait
// too; they are left in the queue for the worker's loop and the wait resumes, unless the
// caller's check says the wait is to be given up (a refusal's message is among them).
//
// The pause is measured with the performance counter, whose ticks are far finer than a
// millisecond: a millisecond clock that advances in steps of 15.6 ms could end it early. A
// wait that fails sleeps out the rest of the pause instead of trying again at once, which
// would spin the CPU for the whole pause.
#include "core/retry_wait.h"

namespace mirto {
namespace {

// Only the worker thread delivers reports, so one flag serves the process.
bool quitting = false;

bool QuitWaiting() noexcept {
    MSG message;
    if (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) quitting = true;
    return quitting;
}

LONGLONG Now() noexcept {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Whole milliseconds from now to `deadline`, rounded up so a wait never ends before it.
DWORD MillisecondsUntil(LONGLONG deadline, LONGLONG frequency) noexcept {
    const LONGLONG left = deadline - Now();
    if (left <= 0) return 0;
    return static_cast<DWORD>((left * 1000 + frequency - 1) / frequency);
}

}  // namespace

ULONGLONG SteadyMs() noexcept {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const LONGLONG now = Now();
    return static_cast<ULONGLONG>(now / frequency.QuadPart * 1000 +
                                  now % frequency.QuadPart * 1000 / frequency.QuadPart);
}

bool WaitBeforeRetry(DWORD milliseconds, bool (*give_up)()) noexcept {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const LONGLONG deadline =
        Now() + (static_cast<LONGLONG>(milliseconds) * frequency.QuadPart + 999) / 1000;
    for (;;) {
        if (QuitWaiting() || (give_up != nullptr && give_up())) return false;
        const DWORD left = MillisecondsUntil(deadline, frequency.QuadPart);
        if (left == 0) return true;
        // Wakes for messages posted after the last look at the queue, or at the deadline.
        if (MsgWaitForMultipleObjectsEx(0, nullptr, left, QS_POSTMESSAGE, 0) == WAIT_FAILED) {
            Sleep(left);
            while (const DWORD rest = MillisecondsUntil(deadline, frequency.QuadPart)) Sleep(rest);
            return !QuitWaiting();
        }
    }
}

}  // namespace mirto
