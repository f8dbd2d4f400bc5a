// The internet session, held by the client and by every attempt it starts. The session handle
// is closed when the last holder lets go, so an attempt that runs on past its bound (its call
// returns only when the time-outs end it) never finds its session closed under its connection.
// Holders may live on any thread; the count is atomic.
#ifndef MIRTO_TRANSPORT_SHARED_SESSION_H
#define MIRTO_TRANSPORT_SHARED_SESSION_H

#include <windows.h>

#include <wininet.h>

namespace mirto {

class SharedSession {
   public:
    SharedSession() noexcept = default;  // holds nothing
    // Takes over `session` (closing it at once when there is no memory to share it); an empty
    // hold for a null handle.
    static SharedSession Adopt(HINTERNET session) noexcept;

    SharedSession(const SharedSession& other) noexcept;
    SharedSession(SharedSession&& other) noexcept;
    SharedSession& operator=(SharedSession other) noexcept;
    ~SharedSession();

    [[nodiscard]] HINTERNET get() const noexcept;
    explicit operator bool() const noexcept { return block_ != nullptr; }

   private:
    struct Block;
    Block* block_ = nullptr;
};

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_SHARED_SESSION_H
