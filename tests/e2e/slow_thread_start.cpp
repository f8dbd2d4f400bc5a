// A DLL that slows the start of every new thread of the process that loads it: each thread's
// attach notification sleeps for the time last given to SetThreadStartDelay. The loader runs
// these notifications before a thread's own code, so a test can widen the moment while the
// library's worker thread comes up without changing the library.
#include <windows.h>

namespace {
volatile LONG delay_ms = 0;
}

extern "C" __declspec(dllexport) void SetThreadStartDelay(LONG milliseconds) {
    InterlockedExchange(&delay_ms, milliseconds);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_THREAD_ATTACH) {
        const LONG delay = delay_ms;
        if (delay > 0) Sleep(static_cast<DWORD>(delay));
    }
    return TRUE;
}
