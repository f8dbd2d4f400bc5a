// A piece of work a game thread asks the worker to do and waits for, never longer than it
// chose: the caller posts a request, the worker does the work in its turn (behind what was
// queued before) and answers; the caller waits at most its timeout and goes on either way.
//
// The request is shared by both sides and freed by whichever lets go last, so a caller that
// stopped waiting never finds it gone from under the worker, nor the worker from under the
// caller.
//
// Requests (these, and the game's decisions, core/consent.h) are posted through one gate, held
// from a request's check to its post: they reach the worker in the order they were made, and
// none is posted once an ending worker has stopped taking them, so every request posted is
// taken.
#ifndef MIRTO_CORE_WORKER_REQUEST_H
#define MIRTO_CORE_WORKER_REQUEST_H

#include <windows.h>

#include <cstdint>

namespace mirto {

enum class RequestAnswer {
    kDone,    // the worker answered true
    kFailed,  // the worker answered false
    kNoAnswerInTime,
    kNotPosted,  // no worker took the request (none runs, or it could not be posted)
};

// Held (exclusively, for moments) from a request's check to its post; the worker also takes it
// to look at what was decided without a post reaching it.
class RequestGate {
   public:
    RequestGate() noexcept;
    ~RequestGate();
    RequestGate(const RequestGate&) = delete;
    RequestGate& operator=(const RequestGate&) = delete;

    // False once the ending worker takes no more requests (CloseRequests).
    [[nodiscard]] bool open() const noexcept;
};

// Shutdown's side: once this returns, no request is half-way to its post and none is posted
// any more; OpenRequests takes them again (for a new worker).
void CloseRequests() noexcept;
void OpenRequests() noexcept;

// Game thread: posts `code` to the worker that runs now with a new request (through the gate,
// after `announce`, which `withdraw` undoes when nothing was posted) and waits for the answer.
// The request carries what `announce` returned (its stamp).
RequestAnswer AskWorker(UINT code, DWORD timeout_ms, std::uint32_t (*announce)() noexcept,
                        void (*withdraw)() noexcept) noexcept;

// Worker thread, after TakePosted (core/operation_queue.h) found the request listed: its stamp,
// and its answer (given once).
std::uint32_t RequestStamp(LPARAM request) noexcept;
void AnswerRequest(LPARAM request, bool done) noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_WORKER_REQUEST_H
