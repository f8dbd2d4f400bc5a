// Delivery of one request. Every attempt opens its own connection and request handles and
// closes both (connection first) before the next attempt or the return; no handle outlives
// Send. Only the status text "200" followed by a readable answer counts as delivered.
#include "transport/http_client.h"

#include <windows.h>

#include <wininet.h>

#include <cstring>
#include <utility>

#include "core/session.h"
#include "transport/internet_handle.h"
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

// The handles of one attempt. Members are destroyed in reverse order, so the connection
// (declared last) is closed before the request.
struct AttemptHandles {
    InternetHandle request;
    InternetHandle connection;
};

bool StatusIs200(HINTERNET request) {
    wchar_t status[16] = {};
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, status, &size, nullptr)) return false;
    status[15] = L'\0';
    return std::wcscmp(status, L"200") == 0;
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

        AttemptHandles handles;
        handles.connection.reset(InternetConnectW(session, host.c_str(), port, nullptr, nullptr,
                                                  INTERNET_SERVICE_HTTP, connect_flags, 0));
        if (!handles.connection) continue;

        handles.request.reset(
            HttpOpenRequestW(handles.connection.get(), L"POST", path.c_str(), nullptr, nullptr,
                             nullptr, secure ? kSecureRequestFlags : kPlainRequestFlags, 0));
        if (!handles.request) continue;
        // Wine takes the receive and send time-outs only from the request handle (Windows
        // inherits them from the session), so a collector that stops answering still ends
        // the attempt after 5 s everywhere.
        ApplyTimeouts(handles.request.get());

        const bool has_body = body != nullptr;
        if (!HttpSendRequestW(handles.request.get(), headers.c_str(),
                              static_cast<DWORD>(headers.size()), has_body ? body.get() : nullptr,
                              has_body ? static_cast<DWORD>(body_length) : 0)) {
            continue;
        }
        if (!StatusIs200(handles.request.get())) continue;

        DWORD available = 0;
        if (InternetQueryDataAvailable(handles.request.get(), &available, 0, 0)) return;
    }
}

}  // namespace mirto
