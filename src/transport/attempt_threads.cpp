// The attempt threads' handles: added as each thread starts, closed once it has ended (looked
// for at the next start and by the wait). Constant-initialised; guarded by one lock, which no
// attempt thread ever takes.
#include "transport/attempt_threads.h"

namespace mirto {
namespace {

SRWLOCK threads_lock = SRWLOCK_INIT;
HANDLE threads[kMaxAttemptThreads] = {};  // guarded by threads_lock, the first `running` in use
std::size_t running = 0;                  // guarded by threads_lock

// Closes the handles of the threads that have ended. Holding threads_lock.
void ForgetEnded() noexcept {
    for (std::size_t i = 0; i < running;) {
        if (WaitForSingleObject(threads[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(threads[i]);
            threads[i] = threads[--running];
            threads[running] = nullptr;
        } else {
            ++i;
        }
    }
}

}  // namespace

AttemptThreadStart StartAttemptThread(LPTHREAD_START_ROUTINE procedure, void* parameter) noexcept {
    AcquireSRWLockExclusive(&threads_lock);
    ForgetEnded();
    AttemptThreadStart result = AttemptThreadStart::kAtBound;
    if (running < kMaxAttemptThreads) {
        const HANDLE thread = CreateThread(nullptr, 0, procedure, parameter, 0, nullptr);
        if (thread != nullptr) {
            threads[running++] = thread;
            result = AttemptThreadStart::kStarted;
        } else {
            result = AttemptThreadStart::kRefused;
        }
    }
    ReleaseSRWLockExclusive(&threads_lock);
    return result;
}

bool WaitForAttemptThreads(DWORD timeout_ms) noexcept {
    AcquireSRWLockExclusive(&threads_lock);
    if (running > 0) {
        WaitForMultipleObjects(static_cast<DWORD>(running), threads, TRUE, timeout_ms);
    }
    ForgetEnded();
    const bool none = running == 0;
    ReleaseSRWLockExclusive(&threads_lock);
    return none;
}

}  // namespace mirto
