// The WinINet session of the process. It lives in the session state because the start
// handler opens it and the worker closes it; both run on the worker thread.
#include "transport/internet_session.h"

#include <windows.h>

#include <wininet.h>

#include "core/session.h"
#include "transport/http_client.h"

namespace mirto {

bool OpenInternetSession() noexcept {
    Session& session = GetSession();
    HINTERNET handle = InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    session.internet_session = handle;
    if (handle == nullptr) return false;
    ApplyTimeouts(handle);
    return true;
}

void CloseInternetSession() noexcept {
    Session& session = GetSession();
    if (session.internet_session != nullptr) {
        InternetCloseHandle(static_cast<HINTERNET>(session.internet_session));
        session.internet_session = nullptr;
    }
}

}  // namespace mirto
