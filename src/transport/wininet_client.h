// The HTTPS client over WinINet: it opens the internet session (user agent and time-outs set
// once), which its attempts hold with it (shared_session.h), and makes one POST attempt at a
// time, each on a connection and request of its own and bounded in total time, on a thread kept
// for them (attempt.h). Whether and when to try again is the caller's decision. Used by one
// thread at a time (the worker).
#ifndef MIRTO_TRANSPORT_WININET_CLIENT_H
#define MIRTO_TRANSPORT_WININET_CLIENT_H

#include <windows.h>

#include "transport/attempt.h"
#include "transport/http_params.h"
#include "transport/shared_session.h"

namespace mirto {

class WinInetClient {
   public:
    // Opens the session; is_open() tells whether WinINet agreed. `stop`: an event whose setting
    // gives up the attempt in progress, and every later one, at once.
    explicit WinInetClient(HANDLE stop = nullptr) noexcept;

    [[nodiscard]] bool is_open() const noexcept { return static_cast<bool>(session_); }

    // One attempt at `request` with the given connect flags: delivered when the collector
    // answered with the status text "200", whatever follows; not delivered at once when the
    // session is not open, or when the request is not for port 443 over TLS. Throws std::bad_alloc
    // when the attempt's copy of the request cannot be made. `while_waiting`: see
    // AttemptRunner::Make.
    [[nodiscard]] AttemptOutcome PostOnce(const HttpParams& request, DWORD connect_flags,
                                          AttemptWaitHook* while_waiting = nullptr) const;

   private:
    SharedSession session_;
    HANDLE stop_;
    // The thread the attempts run on; kept between attempts (it is not part of the client's
    // observable state, hence mutable).
    mutable AttemptRunner runner_;
};

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_WININET_CLIENT_H
