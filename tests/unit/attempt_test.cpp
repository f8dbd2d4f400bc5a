// The pause between delivery attempts, watched through this program's import table: how it
// behaves when the system's wait fails or its millisecond clock is coarse. (Which handles an
// attempt closes, and when: attempt_handles_test.cpp.)
#include <windows.h>

#include <gtest/gtest.h>

#include "core/retry_wait.h"
#include "support/import_patch.h"
#include "transport/protocol.h"

namespace {

using mirto_test::ImportPatch;

double MillisecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

int failed_waits = 0;

DWORD WINAPI FailingWait(DWORD, const HANDLE*, DWORD, DWORD, DWORD) {
    ++failed_waits;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
}

TEST(RetryPause, AFailedWaitSleepsOutThePauseInsteadOfSpinning) {
    failed_waits = 0;
    LARGE_INTEGER start;
    bool waited = false;
    {
        ImportPatch patch("user32.dll", "MsgWaitForMultipleObjectsEx",
                          reinterpret_cast<void*>(&FailingWait));
        QueryPerformanceCounter(&start);
        waited = mirto::WaitBeforeRetry(1000);
    }
    const double elapsed = MillisecondsSince(start);
    EXPECT_TRUE(waited);
    EXPECT_GE(elapsed, 1000.0);
    EXPECT_LT(elapsed, 1500.0);
    EXPECT_LE(failed_waits, 2) << "the pause kept trying a wait that fails";
}

// A millisecond clock that only advances once a second (the system's advances every 15.6 ms
// on many machines; a coarser one makes any rounding visible in one run).
ImportPatch* tick_patch = nullptr;
ULONGLONG WINAPI SecondsClock() {
    const ULONGLONG real = tick_patch->original<ULONGLONG(WINAPI*)()>()();
    return real - real % 1000;
}

DWORD WINAPI PostSoon(void* thread_id) {
    Sleep(150);
    PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(thread_id)), WM_APP, 0, 0);
    return 0;
}

TEST(RetryPause, NeverEndsBeforeItsTimeWhateverTheMillisecondClock) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue
    // Start just before the coarse clock steps; a message posted just after the step wakes the
    // pause, as the game's next operation wakes the worker's, and it must then wait out the
    // rest in full.
    while (GetTickCount64() % 1000 < 900) Sleep(1);
    LARGE_INTEGER start;
    {
        ImportPatch patch("kernel32.dll", "GetTickCount64", reinterpret_cast<void*>(&SecondsClock));
        tick_patch = &patch;
        QueryPerformanceCounter(&start);
        HANDLE poster = CreateThread(
            nullptr, 0, PostSoon,
            reinterpret_cast<void*>(static_cast<ULONG_PTR>(GetCurrentThreadId())), 0, nullptr);
        EXPECT_TRUE(mirto::WaitBeforeRetry(mirto::kRetryWaitMs));
        tick_patch = nullptr;
        WaitForSingleObject(poster, INFINITE);
        CloseHandle(poster);
    }
    const double elapsed = MillisecondsSince(start);
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_APP, WM_APP, PM_REMOVE)) << "left queued";
    EXPECT_GE(elapsed, 5000.0);
    EXPECT_LT(elapsed, 6500.0);
}

}  // namespace
