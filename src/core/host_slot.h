// The collection host: written by any game thread (SetHost), copied by the delivery for every
// request. A slim reader/writer lock keeps the copy whole; the old text is released outside
// the lock so no allocator work happens while it is held.
#ifndef MIRTO_CORE_HOST_SLOT_H
#define MIRTO_CORE_HOST_SLOT_H

#include <windows.h>

#include <string>

namespace mirto {

class HostSlot {
   public:
    explicit HostSlot(const wchar_t* initial) : host_(initial) {}
    HostSlot(const HostSlot&) = delete;
    HostSlot& operator=(const HostSlot&) = delete;

    void Set(std::wstring host) noexcept;
    [[nodiscard]] std::wstring Get() const;

   private:
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    std::wstring host_;
};

// The one slot of the process, holding the build's host (MIRTO_SERVER_HOST) until SetHost
// replaces it. Built on first use and never destroyed, so a worker still reading it while the
// process exits never finds it gone.
HostSlot& CollectionHost() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_HOST_SLOT_H
