// One delivery attempt: a POST on a connection and request of its own, bounded in total time.
//
// WinINet's time-outs bound each wait for bytes, not an attempt: a collector that trickles its
// answer one byte a second, or streams without end, would hold the caller for ever. So the
// attempt runs on a thread of its own and the caller waits for it at most `bound_ms`. Past the
// bound the caller closes the attempt's request handle (which ends the blocked call where
// WinINet cancels on close), counts the attempt as failed and goes on; the attempt's thread
// finishes on its own whenever the call returns, closes its handles (request first, then
// connection) and frees what it used. It holds its own reference to this module, so it can
// outlive the worker and an unload.
//
// The request handle is closed from the waiting thread only while a WinINet call runs on it:
// a handle stays reserved until the calls using it have returned, so its value can never have
// become one of the game's handles meanwhile.
#ifndef MIRTO_TRANSPORT_ATTEMPT_H
#define MIRTO_TRANSPORT_ATTEMPT_H

#include <windows.h>

#include <wininet.h>

#include <cstdint>
#include <string>

namespace mirto {

// What an attempt needs; copied into the attempt, so nothing of the caller's is read after the
// bound has passed.
struct AttemptRequest {
    HINTERNET session;
    std::wstring host;
    std::uint16_t port;
    std::wstring path;
    std::wstring headers;
    std::string body;
    DWORD connect_flags;
    DWORD request_flags;
};

// Sets the connect, receive and send time-outs (kTimeoutMs) on a WinINet handle.
void ApplyTimeouts(HINTERNET handle) noexcept;

// True when the collector answered with the status text "200" (delivered, whatever follows).
bool MakeBoundedAttempt(AttemptRequest request, DWORD bound_ms) noexcept;

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_ATTEMPT_H
