// The library's entry point. Only a detach by FreeLibrary matters: it asks the worker to end
// and returns at once. Nothing here waits for a thread or touches the network, which the
// loader lock forbids. At process exit (a non-null `reserved`) the other threads are already
// gone, wherever they were, so nothing is done at all.
#include <windows.h>

#include "core/worker.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) mirto::PostWorkerQuit();
    return TRUE;
}
