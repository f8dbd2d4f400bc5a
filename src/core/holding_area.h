// Operations the worker has taken off its queue but may not run yet: held, in the order they
// were made, while the player has not decided, and the session's start and user remembered
// while a refusal stands. Taking them off the queue keeps the queue's 500 free for the game
// however long the player takes.
//
// Held operations are bounded: at most kMaxHeldOperations. When one more comes, the oldest
// level or server event is given up to make room; starts, users and purchases never are. When
// every held operation is a start, a user or a purchase, the new operation itself is given up.
//
// Worker thread only.
#ifndef MIRTO_CORE_HOLDING_AREA_H
#define MIRTO_CORE_HOLDING_AREA_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>

namespace mirto {

constexpr std::size_t kMaxHeldOperations = 1000;

// One operation off the queue: its code, the number the worker gave it as it took it, and the
// record it owns (deleted with it, unless it is handed on with Release).
class HeldOperation {
   public:
    HeldOperation(UINT code, LPARAM record, std::uint64_t ticket) noexcept
        : code_(code), record_(record), ticket_(ticket) {}
    ~HeldOperation();
    HeldOperation(HeldOperation&& other) noexcept
        : code_(other.code_),
          record_(other.Release()),
          ticket_(other.ticket_),
          counted_(other.counted_) {}
    HeldOperation& operator=(HeldOperation&& other) noexcept;
    HeldOperation(const HeldOperation&) = delete;
    HeldOperation& operator=(const HeldOperation&) = delete;

    [[nodiscard]] UINT code() const noexcept { return code_; }
    [[nodiscard]] std::uint64_t ticket() const noexcept { return ticket_; }
    // Whether Flush already counts it as finished (see core/consent_gate.h).
    [[nodiscard]] bool counted() const noexcept { return counted_; }
    void MarkCounted() noexcept { counted_ = true; }
    // The record, now the caller's.
    LPARAM Release() noexcept {
        const LPARAM record = record_;
        record_ = 0;
        return record;
    }

   private:
    UINT code_;
    LPARAM record_;
    std::uint64_t ticket_;
    bool counted_ = false;
};

class HoldingArea {
   public:
    // Holds `operation` after the others; returns the operation given up for it, if any (see
    // above).
    std::optional<HeldOperation> Hold(HeldOperation operation);

    // What a refused session keeps for the moment it may be granted: the first start (only
    // when `keep_start`: the session has not started yet) and the latest user, in that order.
    // Returns the operation given up, if any: `operation` itself, or the user it replaces.
    std::optional<HeldOperation> Remember(HeldOperation operation, bool keep_start);
    // Keeps only what Remember would keep; returns the rest.
    std::list<HeldOperation> KeepSessionOnly(bool keep_start);
    // Marks every operation held as counted; returns how many were not yet.
    std::size_t MarkAllCounted() noexcept;
    // The number of the oldest held operation not counted as finished; 0 when there is none.
    [[nodiscard]] std::uint64_t OldestUncounted() const noexcept;

    // Everything held, oldest first; the area is empty afterwards.
    std::list<HeldOperation> TakeAll() noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return held_.size(); }
    [[nodiscard]] bool empty() const noexcept { return held_.empty(); }

   private:
    // A list: empty, it holds no memory (the worker makes one as it starts, and may be short of
    // memory then), and taking everything moves no element.
    std::list<HeldOperation> held_;
};

}  // namespace mirto

#endif  // MIRTO_CORE_HOLDING_AREA_H
