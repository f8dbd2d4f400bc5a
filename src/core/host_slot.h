// The collection host: written by any game thread (SetHost), copied by the delivery for every
// request. A slim reader/writer lock keeps the copy whole; the old text is released outside
// the lock so no allocator work happens while it is held. The build's host stays a pointer to
// its text until SetHost replaces it, so setting the slot up needs no memory.
#ifndef MIRTO_CORE_HOST_SLOT_H
#define MIRTO_CORE_HOST_SLOT_H

#include <windows.h>

#include <string>

namespace mirto {

class HostSlot {
   public:
    explicit HostSlot(const wchar_t* built_in) noexcept : built_in_(built_in) {}
    HostSlot(const HostSlot&) = delete;
    HostSlot& operator=(const HostSlot&) = delete;

    void Set(std::wstring host) noexcept;
    [[nodiscard]] std::wstring Get() const;

   private:
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    const wchar_t* const built_in_;
    bool replaced_ = false;  // guarded by lock_, like host_
    std::wstring host_;
};

// The one slot of the process, holding the build's host (MIRTO_SERVER_HOST) until SetHost
// replaces it. Built on first use and never destroyed, so a worker still reading it while the
// process exits never finds it gone.
HostSlot& CollectionHost() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_HOST_SLOT_H
