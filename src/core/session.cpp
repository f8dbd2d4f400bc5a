// Storage of the session state and the host slot's locking.
#include "core/session.h"

#include <new>
#include <utility>

namespace mirto {

void HostSlot::Set(std::wstring host) noexcept {
    AcquireSRWLockExclusive(&lock_);
    host_.swap(host);
    ReleaseSRWLockExclusive(&lock_);
    // `host` now holds the previous text and is released here, outside the lock.
}

std::wstring HostSlot::Get() const {
    AcquireSRWLockShared(&lock_);
    struct Release {
        SRWLOCK* lock;
        ~Release() { ReleaseSRWLockShared(lock); }
    } release{&lock_};
    return host_;
}

Session& GetSession() noexcept {
    // Built on first use (the compiler makes that thread-safe) in storage that has no
    // destructor, so it outlives every thread that may still use it.
    alignas(Session) static unsigned char storage[sizeof(Session)];
    static Session* const session = new (storage) Session();
    return *session;
}

}  // namespace mirto
