// The library's entry points. Only a detach by FreeLibrary matters to the library: it asks the
// worker to end and returns at once. Nothing here waits for a thread or touches the network,
// which the loader lock forbids.
//
// At process exit (a non-null `reserved`) the other threads are already gone, killed wherever
// they were, possibly holding the heap's lock or halfway through changing a string. So the
// loader's entry point returns at once then, before the C runtime's entry would run its own
// teardown (destructors registered at exit, freeing its tables), any of which could wait for
// ever on a lock a killed thread held. The process's memory goes with the process anyway.
#include <windows.h>

#include "core/worker.h"

// The C runtime's own entry point, which calls DllMain.
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) mirto::PostWorkerQuit();
    return TRUE;
}

// The DLL's entry point (set at link time).
extern "C" BOOL WINAPI MirtoDllEntry(HANDLE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) return TRUE;
    return DllMainCRTStartup(instance, reason, reserved);
}
