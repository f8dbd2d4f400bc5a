// Opening the session and turning a request into one bounded attempt.
#include "transport/wininet_client.h"

#include <wininet.h>

#include <string>
#include <utility>

#include "transport/attempt.h"
#include "transport/protocol.h"

namespace mirto {

WinInetClient::WinInetClient(HANDLE stop) noexcept
    : session_(SharedSession::Adopt(
          InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0))),
      stop_(stop) {
    if (session_) ApplyTimeouts(session_.get());
}

AttemptOutcome WinInetClient::PostOnce(const HttpParams& request, DWORD connect_flags,
                                       AttemptWaitHook* while_waiting) const {
    if (!session_) return AttemptOutcome{false, 0, ERROR_INVALID_HANDLE};
    // Reports go over TLS to port 443, and nowhere else: whatever asked for another way (a
    // report read back from a file someone wrote) is refused without a request.
    if (!request.secure || request.port != kReportPort) {
        return AttemptOutcome{false, 0, ERROR_INTERNET_INVALID_URL};
    }
    AttemptRequest attempt{session_,
                           request.host,
                           request.port,
                           request.path,
                           request.headers,
                           request.body != nullptr
                               ? std::string(reinterpret_cast<const char*>(request.body.get()),
                                             static_cast<std::size_t>(request.body_length))
                               : std::string(),
                           connect_flags,
                           kSecureRequestFlags};
    return runner_.Make(std::move(attempt), kAttemptBoundMs, while_waiting, stop_);
}

}  // namespace mirto
