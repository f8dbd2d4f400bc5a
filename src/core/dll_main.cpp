// The library's entry points. Only a detach by FreeLibrary matters to the library: it tells the
// worker to stop and returns at once. Nothing here waits for a thread or touches the network,
// which the loader lock forbids. (A worker holds a reference to the module, so that detach comes
// only once Shutdown has ended it, or if no worker was ever started.)
//
// At process exit (a non-null `reserved`) the other threads are already gone, killed wherever
// they were, possibly holding the heap's lock or halfway through changing a string. So the
// loader's entry point returns at once then, before the C runtime's entry would run its own
// teardown (destructors registered at exit, freeing its tables), any of which could wait for
// ever on a lock a killed thread held. The process's memory goes with the process anyway.
//
// The loader would also call the DLL's TLS callbacks at exit, whatever the entry point does, and
// the C runtime's callback enters a lock and runs the destructors of thread-local keys. So the
// DLL has no TLS directory at all: the runtime's hook for it is defined here as empty (which
// keeps the runtime's TLS support out of the link; nothing in the library uses native
// thread-local variables), and the entry point runs the runtime's callback itself for every
// notification but the exit's, in the order the loader would.
#include <windows.h>

#include "core/worker.h"

// The C runtime's own entry point, which calls DllMain.
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE instance, DWORD reason, LPVOID reserved);

// The C runtime's thread-local key bookkeeping: its lock, and the destructors of the keys that
// the compiler's emulated thread-local storage (exception state) creates. The runtime declares
// it without a calling convention: cdecl, unlike the loader's callbacks.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime's own name
extern "C" BOOL __mingw_TLScallback(HANDLE instance, DWORD reason, LPVOID reserved);

// Where the runtime's start-up would call the TLS directory's initialiser: there is none.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime's own name
extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) mirto::StopWorker();
    return TRUE;
}

// The DLL's entry point (set at link time).
extern "C" BOOL WINAPI MirtoDllEntry(HANDLE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) return TRUE;
    __mingw_TLScallback(instance, reason, reserved);
    return DllMainCRTStartup(instance, reason, reserved);
}
