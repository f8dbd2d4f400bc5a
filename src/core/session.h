// The process-wide session state, in one place.
//
// Threads: the game's threads touch only server_host, through its lock. Every other field
// belongs to the worker thread alone: handlers run one at a time there and read and write them
// without locks. Nothing is ever reset once set. The worker's own bookkeeping lives with the
// worker (core/worker.h).
#ifndef MIRTO_CORE_SESSION_H
#define MIRTO_CORE_SESSION_H

#include <windows.h>

#include <cstdint>
#include <string>

namespace mirto {

// The collection host: written by any game thread (SetHost), copied by the worker for every
// request. A slim reader/writer lock keeps the copy whole; the old text is released outside
// the lock so no allocator work happens while it is held.
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

struct Session {
    HostSlot server_host{MIRTO_SERVER_HOST};

    // Worker-owned report state.
    std::wstring index_name;
    std::wstring user_id;
    std::wstring identify_id;
    std::wstring profile_path;
    std::wstring channel;
    std::wstring game_version;
    std::wstring system_version;
    std::wstring install_uuid;
    std::wstring persist_uuid;
    const std::wstring device_model{L"Windows"};
    const std::wstring device_name{L"unknown"};
    const std::wstring provider{L"unknown"};
    const std::wstring network{L"windows_-1"};
    std::int32_t screen_width = 0;
    std::int32_t screen_height = 0;
    void* internet_session = nullptr;  // HINTERNET; opened by the start handler, closed by the
                                       // worker as it ends
};

// The one session of the process, built on first use and never destroyed: a process that exits
// kills the worker wherever it is (possibly inside a string assignment), and nothing may then
// run destructors over what it was changing.
Session& GetSession() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_SESSION_H
