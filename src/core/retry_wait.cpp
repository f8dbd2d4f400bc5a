// Waits on the stop event and the thread's message queue rather than sleeping, so that a stop
// is noticed at once. Messages (the game's next operations) wake the wait too; they are left in
// the queue for the worker's loop and the wait resumes, unless the caller's check says the wait
// is to be given up (a refusal's message is among them).
//
// The pause is measured with the performance counter, whose ticks are far finer than a
// millisecond: a millisecond clock that advances in steps of 15.6 ms could end it early. A
// wait that fails sleeps out the rest of the pause instead of trying again at once, which
// would spin the CPU for the whole pause.
#include "core/retry_wait.h"

namespace mirto {
namespace {

bool Stopped(HANDLE stop) noexcept {
    return stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

// Marks the messages queued now as seen, so that only later ones wake the next wait.
void LookAtQueue() noexcept {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
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

bool WaitBeforeRetry(DWORD milliseconds, HANDLE stop, bool (*give_up)()) noexcept {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const LONGLONG deadline =
        Now() + (static_cast<LONGLONG>(milliseconds) * frequency.QuadPart + 999) / 1000;
    const DWORD count = stop != nullptr ? 1 : 0;
    for (;;) {
        if (Stopped(stop) || (give_up != nullptr && give_up())) return false;
        LookAtQueue();
        const DWORD left = MillisecondsUntil(deadline, frequency.QuadPart);
        if (left == 0) return true;
        // Wakes for the stop, for messages posted after the last look at the queue, or at the
        // deadline.
        if (MsgWaitForMultipleObjectsEx(count, &stop, left, QS_POSTMESSAGE, 0) == WAIT_FAILED) {
            Sleep(left);
            while (const DWORD rest = MillisecondsUntil(deadline, frequency.QuadPart)) Sleep(rest);
            return !Stopped(stop) && (give_up == nullptr || !give_up());
        }
    }
}

}  // namespace mirto
