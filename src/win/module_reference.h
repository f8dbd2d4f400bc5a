// A counted reference to the module that holds some code, for a thread that may outlive the
// game's own references: while the thread holds it, the code it runs stays mapped even if the
// game unloads the library. The thread drops it as it exits (FreeLibraryAndExitThread).
#ifndef MIRTO_WIN_MODULE_REFERENCE_H
#define MIRTO_WIN_MODULE_REFERENCE_H

#include <windows.h>

namespace mirto {

// The module that contains `code`, with its reference count raised; null when it cannot be had.
inline HMODULE ReferenceModuleOf(const void* code) noexcept {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(code),
                            &module)) {
        return nullptr;
    }
    return module;
}

// The same, for a caller that must not wait for the loader's lock past `deadline` (a tick
// count): raising the count takes that lock, which another thread may hold for as long as some
// DLL's attach runs. Null when the lock did not come free by then.
HMODULE ReferenceModuleBy(const void* code, ULONGLONG deadline) noexcept;

}  // namespace mirto

#endif  // MIRTO_WIN_MODULE_REFERENCE_H
