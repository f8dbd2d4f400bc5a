// The shared request: an event the worker sets once it has answered, and the answer.
#include "core/worker_request.h"

#include <atomic>
#include <new>

#include "core/operation_queue.h"
#include "win/scoped_handle.h"

namespace mirto {
namespace {

struct Request {
    KernelHandle answered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> done{false};
    std::atomic<int> holders{2};  // the caller and the worker

    void Release() noexcept {
        if (holders.fetch_sub(1) == 1) delete this;
    }
};

}  // namespace

RequestAnswer AskWorker(DWORD worker, UINT code, DWORD timeout_ms) noexcept {
    if (worker == 0) return RequestAnswer::kNotPosted;
    auto* request = new (std::nothrow) Request();
    if (request == nullptr) return RequestAnswer::kNotPosted;
    // Listed before the post, so the worker acts on this message only (not on one that someone
    // else posted under the same id).
    if (!request->answered || !ListPosted(code, request)) {
        delete request;  // never shared
        return RequestAnswer::kNotPosted;
    }
    if (!PostThreadMessageW(worker, code, 0, reinterpret_cast<LPARAM>(request))) {
        UnlistPosted(code, request);
        delete request;
        return RequestAnswer::kNotPosted;
    }
    const bool in_time = WaitForSingleObject(request->answered.get(), timeout_ms) == WAIT_OBJECT_0;
    const bool done = request->done.load();
    request->Release();
    if (!in_time) return RequestAnswer::kNoAnswerInTime;
    return done ? RequestAnswer::kDone : RequestAnswer::kFailed;
}

void AnswerRequest(LPARAM message_parameter, bool done) noexcept {
    auto* request = reinterpret_cast<Request*>(message_parameter);
    if (request == nullptr) return;
    request->done.store(done);
    SetEvent(request->answered.get());
    request->Release();
}

}  // namespace mirto
