// The pause between two delivery attempts. It ends early when the calling thread has been
// told to quit (a WM_QUIT waits in its message queue), so an unreachable collector never holds
// a quitting worker for more than a moment; from then on no more waits or attempts are made.
#ifndef MIRTO_TRANSPORT_RETRY_WAIT_H
#define MIRTO_TRANSPORT_RETRY_WAIT_H

#include <windows.h>

namespace mirto {

// Waits up to `milliseconds`; false when the thread is quitting.
bool WaitBeforeRetry(DWORD milliseconds) noexcept;

// True once this thread has seen its quit message waiting.
bool IsQuitting() noexcept;

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_RETRY_WAIT_H
