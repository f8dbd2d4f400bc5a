// One POST request to the collection server, delivered persistently: Send repeats the whole
// request every 5000 ms until the server answers with status 200, each attempt taking at most
// kAttemptBoundMs. Runs on the worker thread.
#ifndef MIRTO_TRANSPORT_HTTP_CLIENT_H
#define MIRTO_TRANSPORT_HTTP_CLIENT_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace mirto {

constexpr DWORD kTimeoutMs = 5000;
constexpr DWORD kRetryWaitMs = 5000;
// The longest one attempt may take, however slowly the collector answers.
constexpr DWORD kAttemptBoundMs = 30000;
constexpr DWORD kFirstAttemptConnectFlags = 0x20000000;  // INTERNET_FLAG_EXISTING_CONNECT
constexpr DWORD kSecureRequestFlags = 0x84C00300;
constexpr DWORD kPlainRequestFlags = 0x84400300;

// Sets the connect, receive and send time-outs on a WinINet handle.
void ApplyTimeouts(void* internet_handle) noexcept;

class HttpParams {
   public:
    HttpParams(std::wstring host, std::uint16_t port, std::wstring path, std::wstring headers,
               const void* body, std::int32_t body_length);
    HttpParams& operator=(const HttpParams& other);
    HttpParams(const HttpParams&) = delete;
    virtual ~HttpParams();

    // Delivers the request; returns once the server has accepted it, at once when no internet
    // session is open, and without further attempts once the worker is told to quit.
    void Send() const;

    std::wstring host;
    std::uint16_t port;
    std::wstring path;
    bool secure = true;
    std::wstring headers;
    std::unique_ptr<unsigned char[]> body;  // private copy; null when there is none
    std::int32_t body_length;
};

// Test seam: called at the start of every attempt with its number (from 1) and the connect
// flags it uses, which nothing outside the process can observe.
using AttemptObserver = void (*)(int attempt, DWORD connect_flags);
void SetAttemptObserverForTesting(AttemptObserver observer) noexcept;

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_HTTP_CLIENT_H
