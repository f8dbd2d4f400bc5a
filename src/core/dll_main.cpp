// The library's entry point. Only the detach matters: it asks the worker to end and returns
// at once. Nothing here waits for a thread or touches the network, which the loader lock
// forbids.
#include <windows.h>

#include "core/worker.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_DETACH) mirto::PostWorkerQuit();
    return TRUE;
}
