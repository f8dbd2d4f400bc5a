// The threads attempts run on, for the whole process. An attempt given up at its bound keeps its
// thread until the call in progress returns, which a collector that trickles its answer can put
// off for minutes; so at most kMaxAttemptThreads of them run at once, the one in use included.
// While that many are still held, no further thread is started: the attempt that would need one
// fails at once (ERROR_TOO_MANY_TCBS) without touching the network, and is repeated like any
// failed attempt once one of them has ended.
//
// The handles of the threads are kept here, in static storage that is never destroyed, so that
// the library's shutdown can wait for every one of them to end.
#ifndef MIRTO_TRANSPORT_ATTEMPT_THREADS_H
#define MIRTO_TRANSPORT_ATTEMPT_THREADS_H

#include <windows.h>

#include <cstddef>

namespace mirto {

constexpr std::size_t kMaxAttemptThreads = 4;

enum class AttemptThreadStart {
    kStarted,
    kAtBound,  // kMaxAttemptThreads are still running
    kRefused,  // the system could not start a thread
};

// Starts procedure(parameter) on a new thread, unless the bound is reached.
AttemptThreadStart StartAttemptThread(LPTHREAD_START_ROUTINE procedure, void* parameter) noexcept;

// Waits until every attempt thread has ended, at most `timeout_ms`; true when none runs.
bool WaitForAttemptThreads(DWORD timeout_ms) noexcept;

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_ATTEMPT_THREADS_H
