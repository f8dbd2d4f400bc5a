// The queue to the worker as the game's threads and the worker share it: its places, the records
// posted and not yet taken, and the gate that Shutdown closes.
//
// - Places: at most kMaxPendingOperations operations wait or run at once. A call takes its place
//   in the same atomic step as it checks for room, before it copies anything, so the bound holds
//   exactly however many threads call at once; a call that is then refused (its arguments, a
//   failed post, no memory) gives the place back. The worker gives it back once the operation
//   has run.
// - Posted records: the worker acts on a thread message with an operation's or a request's id
//   only when the library itself posted that record under that id and it has not been taken
//   yet; it checks before it reads anything at the address. Any other such message (another
//   component of the game, another process) is left to the system like every foreign message.
// - The gate: every call holds it (shared) from its check to its post. Shutdown closes the queue
//   and then takes the gate once, so that when it goes on no call is half-way to a post and
//   every later call is refused.
#ifndef MIRTO_CORE_OPERATION_QUEUE_H
#define MIRTO_CORE_OPERATION_QUEUE_H

#include <windows.h>

#include <cstdint>

namespace mirto {

// Operations posted and not yet handled to the end.
std::int32_t PendingOperations() noexcept;

// A call's passage through the queue, from its check to its post.
class QueuePlace {
   public:
    QueuePlace() noexcept = default;
    ~QueuePlace();  // gives back a place not handed over; leaves the gate
    QueuePlace(const QueuePlace&) = delete;
    QueuePlace& operator=(const QueuePlace&) = delete;

    // Enters the gate (held from now on) and tells whether the queue takes operations: false
    // once Shutdown has closed it. Once, before Take.
    [[nodiscard]] bool Enter() noexcept;
    // Takes a place; false when kMaxPendingOperations are taken.
    [[nodiscard]] bool Take() noexcept;
    // The place now belongs to a posted record: the worker gives it back.
    void HandOver() noexcept { taken_ = false; }

   private:
    bool entered_ = false;
    bool taken_ = false;
};

// Lists `record` as posted under `code`, before the post (so the worker always finds it), and
// takes it off the list again when the post failed. The list has room for every place, so
// listing an operation fails only for a call that holds none; a request of the game (any code
// that is not an operation's) fails once as many as the places wait.
[[nodiscard]] bool ListPosted(UINT code, const void* record) noexcept;
void UnlistPosted(UINT code, const void* record) noexcept;

// On the worker: true, and the record taken off the list, when `message` carries a record that
// the library posted under its id and that has not been taken yet. IsPosted only looks.
[[nodiscard]] bool TakePosted(const MSG& message) noexcept;
[[nodiscard]] bool IsPosted(const MSG& message) noexcept;

// On the worker, once an operation has run: its place is free again.
void GiveBackPlace() noexcept;

// Shutdown's side: refuses every call from now on and returns once none is between its check
// and its post; OpenQueue takes calls again (for a fresh start).
void CloseQueue() noexcept;
void OpenQueue() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_OPERATION_QUEUE_H
