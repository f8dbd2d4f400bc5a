// The host slot's locking and storage.
#include "core/host_slot.h"

#include <new>
#include <utility>

namespace mirto {

void HostSlot::Set(std::wstring host) noexcept {
    AcquireSRWLockExclusive(&lock_);
    host_.swap(host);
    replaced_ = true;
    ReleaseSRWLockExclusive(&lock_);
    // `host` now holds the previous text and is released here, outside the lock.
}

std::wstring HostSlot::Get() const {
    AcquireSRWLockShared(&lock_);
    struct Release {
        SRWLOCK* lock;
        ~Release() { ReleaseSRWLockShared(lock); }
    } release{&lock_};
    return replaced_ ? host_ : std::wstring(built_in_);
}

HostSlot& CollectionHost() noexcept {
    alignas(HostSlot) static unsigned char storage[sizeof(HostSlot)];
    static HostSlot* const slot = new (storage) HostSlot(MIRTO_SERVER_HOST);
    return *slot;
}

}  // namespace mirto
