// Delivery of one request: attempts (transport/attempt.h) until one is answered with the
// status text "200", which means delivered whatever happens to the rest of the answer, so a
// delivered report is never posted again. Each attempt has its own connection and request
// handles and a total bound of kAttemptBoundMs.
#include "transport/http_client.h"

#include <windows.h>

#include <wininet.h>

#include <cstring>
#include <utility>

#include "core/session.h"
#include "transport/attempt.h"
#include "transport/retry_wait.h"

namespace mirto {
namespace {

AttemptObserver attempt_observer = nullptr;

std::unique_ptr<unsigned char[]> CopyBody(const void* body, std::int32_t length) {
    if (body == nullptr || length <= 0) return nullptr;
    auto copy = std::make_unique<unsigned char[]>(static_cast<std::size_t>(length));
    std::memcpy(copy.get(), body, static_cast<std::size_t>(length));
    return copy;
}

}  // namespace

void ApplyTimeouts(void* internet_handle) noexcept {
    DWORD timeout = kTimeoutMs;
    constexpr DWORD kOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                                  INTERNET_OPTION_SEND_TIMEOUT};
    for (DWORD option : kOptions) {
        InternetSetOptionW(static_cast<HINTERNET>(internet_handle), option, &timeout,
                           sizeof(timeout));
    }
}

void SetAttemptObserverForTesting(AttemptObserver observer) noexcept {
    attempt_observer = observer;
}

HttpParams::HttpParams(std::wstring host_name, std::uint16_t port_number, std::wstring path_text,
                       std::wstring header_text, const void* body_bytes,
                       std::int32_t body_byte_count)
    : host(std::move(host_name)),
      port(port_number),
      path(std::move(path_text)),
      headers(std::move(header_text)),
      body(CopyBody(body_bytes, body_byte_count)),
      body_length(body_byte_count) {}

HttpParams& HttpParams::operator=(const HttpParams& other) {
    if (this == &other) return *this;
    body.reset();
    host = other.host;
    port = other.port;
    path = other.path;
    secure = other.secure;
    headers = other.headers;
    body_length = other.body_length;
    body = other.body ? CopyBody(other.body.get(), other.body_length) : nullptr;
    return *this;
}

HttpParams::~HttpParams() = default;

void HttpParams::Send() const {
    HINTERNET session = static_cast<HINTERNET>(GetSession().internet_session);
    if (session == nullptr) return;

    for (int attempt = 1;; ++attempt) {
        // A quitting worker still makes each report's first attempt (quick when the collector
        // is there) but does not wait to repeat it.
        if (attempt > 1 && !WaitBeforeRetry(kRetryWaitMs)) return;

        const DWORD connect_flags = attempt == 1 ? kFirstAttemptConnectFlags : 0;
        if (attempt_observer != nullptr) attempt_observer(attempt, connect_flags);

        AttemptRequest next{session,
                            host,
                            port,
                            path,
                            headers,
                            body != nullptr ? std::string(reinterpret_cast<const char*>(body.get()),
                                                          static_cast<std::size_t>(body_length))
                                            : std::string(),
                            connect_flags,
                            secure ? kSecureRequestFlags : kPlainRequestFlags};
        if (!MakeBoundedAttempt(std::move(next), kAttemptBoundMs)) continue;
        return;
    }
}

}  // namespace mirto
