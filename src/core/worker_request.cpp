// The shared request: an event the worker sets once it has answered, and the answer.
#include "core/worker_request.h"

#include <atomic>
#include <new>

#include "core/operation_queue.h"
#include "core/worker.h"
#include "win/scoped_handle.h"

namespace mirto {
namespace {

struct Request {
    KernelHandle answered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> done{false};
    std::atomic<int> holders{2};  // the caller and the worker
    std::uint32_t stamp = 0;      // written before the post

    void Release() noexcept {
        if (holders.fetch_sub(1) == 1) delete this;
    }
};

SRWLOCK request_lock = SRWLOCK_INIT;
bool requests_closed = false;  // guarded by request_lock

// Holding the gate: lists and posts `request` under `code`; false (nothing shared) when it
// could not.
bool Post(DWORD worker, UINT code, Request* request) noexcept {
    // Listed before the post, so the worker acts on this message only (not on one that someone
    // else posted under the same id).
    if (!request->answered || !ListPosted(code, request)) return false;
    if (!PostThreadMessageW(worker, code, 0, reinterpret_cast<LPARAM>(request))) {
        UnlistPosted(code, request);
        return false;
    }
    return true;
}

}  // namespace

RequestGate::RequestGate() noexcept { AcquireSRWLockExclusive(&request_lock); }
RequestGate::~RequestGate() { ReleaseSRWLockExclusive(&request_lock); }
bool RequestGate::open() const noexcept { return !requests_closed; }

void CloseRequests() noexcept {
    const RequestGate gate;
    requests_closed = true;
}

void OpenRequests() noexcept {
    const RequestGate gate;
    requests_closed = false;
}

RequestAnswer AskWorker(UINT code, DWORD timeout_ms, std::uint32_t (*announce)() noexcept,
                        void (*withdraw)() noexcept) noexcept {
    auto* request = new (std::nothrow) Request();
    if (request == nullptr) return RequestAnswer::kNotPosted;
    bool on_worker = false;
    {
        const RequestGate gate;
        bool posted = false;
        // Read inside the gate: a worker that ended has closed it, and the id is 0 by the time
        // it opens again.
        const DWORD worker = WorkerThreadId();
        if (gate.open() && worker != 0) {
            request->stamp = announce();
            posted = Post(worker, code, request);
            on_worker = worker == GetCurrentThreadId();
            if (!posted) withdraw();
        }
        if (!posted) {
            delete request;  // never shared
            return RequestAnswer::kNotPosted;
        }
    }
    // Asked on the worker itself (from the game's log callback): the request is carried out once
    // the worker is back in its loop, so there is nothing to wait for here.
    if (on_worker) timeout_ms = 0;
    const bool in_time = WaitForSingleObject(request->answered.get(), timeout_ms) == WAIT_OBJECT_0;
    const bool done = request->done.load();
    request->Release();
    if (!in_time) return RequestAnswer::kNoAnswerInTime;
    return done ? RequestAnswer::kDone : RequestAnswer::kFailed;
}

std::uint32_t RequestStamp(LPARAM message_parameter) noexcept {
    const auto* request = reinterpret_cast<const Request*>(message_parameter);
    return request == nullptr ? 0 : request->stamp;
}

void AnswerRequest(LPARAM message_parameter, bool done) noexcept {
    auto* request = reinterpret_cast<Request*>(message_parameter);
    if (request == nullptr) return;
    request->done.store(done);
    SetEvent(request->answered.get());
    request->Release();
}

}  // namespace mirto
