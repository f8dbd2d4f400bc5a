// Taking the loader's lock without waiting for it, then the module reference under it.
#include "win/module_reference.h"

extern "C" {
// ntdll's own exports for the loader's lock; flag 2 only tries, and the disposition then says
// whether the lock was taken (1) or is held elsewhere (2).
LONG NTAPI LdrLockLoaderLock(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
LONG NTAPI LdrUnlockLoaderLock(ULONG flags, ULONG_PTR cookie);
}

namespace mirto {
namespace {

constexpr ULONG kTryOnly = 2;
constexpr ULONG kTaken = 1;
constexpr DWORD kPollMs = 5;

}  // namespace

HMODULE ReferenceModuleBy(const void* code, ULONGLONG deadline) noexcept {
    for (;;) {
        ULONG disposition = 0;
        ULONG_PTR cookie = 0;
        const LONG status = LdrLockLoaderLock(kTryOnly, &disposition, &cookie);
        // A lock that cannot even be tried: the count as the system gives it.
        if (status < 0) return ReferenceModuleOf(code);
        if (disposition == kTaken) {
            // The lock is this thread's (it may already have been: a call from a DllMain), so
            // raising the count cannot wait for it.
            const HMODULE module = ReferenceModuleOf(code);
            LdrUnlockLoaderLock(0, cookie);
            return module;
        }
        if (GetTickCount64() >= deadline) return nullptr;
        Sleep(kPollMs);
    }
}

}  // namespace mirto
