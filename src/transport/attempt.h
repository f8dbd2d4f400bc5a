// One delivery attempt: a POST on a connection and request of its own, bounded in total time.
//
// WinINet's time-outs bound each wait for bytes, not an attempt: a collector that trickles its
// answer one byte a second, or streams without end, would hold the caller for ever. So attempts
// run on a thread of their own, kept from one attempt to the next, and the caller waits for each
// at most `bound_ms` (less when its stop event is set meanwhile). Past that the caller gives the
// attempt up, counts it as failed and goes on with a new thread (attempt_threads.h bounds how
// many there may be); the old one makes no further call, and once the call in progress returns
// (each wait for bytes ends with the time-outs) it closes its handles (request first, then
// connection), frees what it used and ends. Each such thread holds its own reference to this
// module and to the internet session, so it can outlive the worker, the client and an unload.
//
// No handle is ever closed by a thread other than the attempt's own: a call that another thread
// is about to start on a handle could otherwise run on a closed handle value that WinINet has
// already given to someone else.
#ifndef MIRTO_TRANSPORT_ATTEMPT_H
#define MIRTO_TRANSPORT_ATTEMPT_H

#include <windows.h>

#include <wininet.h>

#include <cstdint>
#include <string>

#include "transport/shared_session.h"

namespace mirto {

// What an attempt needs; copied into the attempt, so nothing of the caller's is read after the
// bound has passed.
struct AttemptRequest {
    SharedSession session;
    std::wstring host;
    std::uint16_t port;
    std::wstring path;
    std::wstring headers;
    std::string body;
    DWORD connect_flags;
    DWORD request_flags;
};

// What became of one attempt.
struct AttemptOutcome {
    bool delivered = false;    // the collector answered "200"
    std::uint32_t status = 0;  // the answer's HTTP status; 0 when no answer came
    std::uint32_t error = 0;   // the system's error when no answer came (ERROR_INTERNET_TIMEOUT
                               // past the bound); 0 otherwise. Two errors say that the attempt
                               // was never made: ERROR_TOO_MANY_TCBS (no thread to spare) and
                               // ERROR_INTERNET_OPERATION_CANCELLED (the stop event was set).
};

// Work the waiting thread may do while an attempt runs, a piece at a time so that the end of
// the attempt is noticed soon after it comes.
class AttemptWaitHook {
   public:
    // Handles one message of the waiting thread's queue; false when the next message must wait
    // until the attempt is over (no message is handed over again during this attempt).
    virtual bool OnMessage() = 0;
    // Does one piece of the thread's own work; false when none is left.
    virtual bool OnChore() = 0;
    // How long until a piece of work falls due (INFINITE: none waits); the waiting thread asks
    // for work again then.
    virtual DWORD ChoreDueInMs() { return INFINITE; }

   protected:
    ~AttemptWaitHook() = default;
};

// Sets the connect, receive and send time-outs (kTimeoutMs) on a WinINet handle.
void ApplyTimeouts(HINTERNET handle) noexcept;

// The thread that makes one caller's attempts. Used by one thread at a time; destroying it lets
// its thread end once idle (without waiting for it).
class AttemptRunner {
   public:
    AttemptRunner() noexcept = default;
    ~AttemptRunner();
    AttemptRunner(const AttemptRunner&) = delete;
    AttemptRunner& operator=(const AttemptRunner&) = delete;

    // Delivered when the collector answered with the status text "200", whatever follows.
    // When the system cannot start a thread, the attempt runs on the caller's thread, bounded
    // by the time-outs only. With `while_waiting`, the caller handles its messages through it
    // while it waits. With `stop`, an event that is set (now or while the attempt runs) gives
    // the attempt up at once.
    AttemptOutcome Make(AttemptRequest request, DWORD bound_ms,
                        AttemptWaitHook* while_waiting = nullptr, HANDLE stop = nullptr) noexcept;

    struct Thread;  // shared by the runner and its thread

   private:
    void Retire() noexcept;

    Thread* thread_ = nullptr;
};

// One attempt on a runner of its own; true when delivered.
bool MakeBoundedAttempt(AttemptRequest request, DWORD bound_ms) noexcept;

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_ATTEMPT_H
