// The process's WinINet session, kept in the session state. Opened once by the start handler
// and closed by the worker as it ends; both on the worker thread.
#ifndef MIRTO_TRANSPORT_INTERNET_SESSION_H
#define MIRTO_TRANSPORT_INTERNET_SESSION_H

namespace mirto {

constexpr const wchar_t* kUserAgent = L"Mirto_Win0.0.3";

// Opens the session with the user agent and 5000 ms time-outs. False when WinINet refuses.
bool OpenInternetSession() noexcept;

// Closes the session if one is open.
void CloseInternetSession() noexcept;

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_INTERNET_SESSION_H
