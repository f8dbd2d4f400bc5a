// Scoped WinINet handles: sessions, connections and requests all close the same way.
#ifndef MIRTO_WIN_INTERNET_HANDLE_H
#define MIRTO_WIN_INTERNET_HANDLE_H

#include <windows.h>

#include <wininet.h>

#include "win/scoped_handle.h"

namespace mirto {

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle handle) noexcept { return handle != nullptr; }
    static void Close(Handle handle) noexcept { ::InternetCloseHandle(handle); }
};

using InternetHandle = ScopedHandle<InternetHandleTraits>;

}  // namespace mirto

#endif  // MIRTO_WIN_INTERNET_HANDLE_H
