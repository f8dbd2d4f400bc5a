// A piece of work a game thread asks the worker to do and waits for, never longer than it
// chose: the caller posts a request, the worker does the work in its turn (behind what was
// queued before) and answers; the caller waits at most its timeout and goes on either way.
//
// The request is shared by both sides and freed by whichever lets go last, so a caller that
// stopped waiting never finds it gone from under the worker, nor the worker from under the
// caller. A request posted just as the worker ends, and never taken, is not freed (nor taken
// off the list of posted records): a few bytes, once per such call.
#ifndef MIRTO_CORE_WORKER_REQUEST_H
#define MIRTO_CORE_WORKER_REQUEST_H

#include <windows.h>

namespace mirto {

enum class RequestAnswer {
    kDone,    // the worker answered true
    kFailed,  // the worker answered false
    kNoAnswerInTime,
    kNotPosted,  // no worker took the request (none runs, or it could not be posted)
};

// Game thread: posts `code` to `worker` with a new request and waits for the answer.
RequestAnswer AskWorker(DWORD worker, UINT code, DWORD timeout_ms) noexcept;

// Worker thread: answers the request that the message parameter carries (once), after
// TakePosted (core/operation_queue.h) found it listed.
void AnswerRequest(LPARAM request, bool done) noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_WORKER_REQUEST_H
