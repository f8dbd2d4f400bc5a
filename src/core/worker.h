// The single worker thread and the queue that feeds it.
//
// Game threads start the worker (the first OnStart, through FirstStart) and post records
// (PostOperation, holding a place in the queue: core/operation_queue.h); the worker thread runs
// WorkerMain, which takes the records in posting order, runs their handlers one at a time and
// deletes them. Shutdown (EndWorker) lets the worker finish what is queued for a bounded time,
// then stops it and waits for it to end; the next OnStart starts a new one.
//
// The worker's bookkeeping (its thread id, handles, counts of operations) is private
// to core, constant-initialised and never destroyed, so the loader's notifications and a process
// that is exiting never find it half built or already gone.
#ifndef MIRTO_CORE_WORKER_H
#define MIRTO_CORE_WORKER_H

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/operation_queue.h"

namespace mirto {

constexpr DWORD kWorkerStartWaitMs = 5000;
// How long Shutdown waits, past its own timeout, for the stopped worker and attempt threads to
// end: they stop at once, apart from a call already inside the system.
constexpr DWORD kWorkerStopWaitMs = 1000;

// The worker's thread id, published by the worker itself once its message queue exists (so a
// post to a published id can only fail because the worker has ended); 0 before.
DWORD WorkerThreadId() noexcept;

// OnStart's part in starting the worker. Constructed before OnStart's checks: if no worker runs
// and no start is in progress, this thread becomes the one that starts it (waiting for its queue
// until kWorkerStartWaitMs after the start began) and, until the guard is destroyed (after
// OnStart has queued its own operation), every other queueing call waits for it, until that same
// moment at the latest. Concurrent first starts are serialised: exactly one worker is started.
class FirstStart {
   public:
    FirstStart() noexcept;
    ~FirstStart();
    FirstStart(const FirstStart&) = delete;
    FirstStart& operator=(const FirstStart&) = delete;

   private:
    bool starting_here_ = false;
    bool created_ = false;
};

// The worker a queueing call may post to, or 0 when none runs. A call made while another
// thread's first start is in progress waits until that start has queued its own operation (so
// it is queued behind it), at most until the start's own deadline.
DWORD WorkerForCall() noexcept;

// Lists the record as posted, counts the operation and posts it; the caller holds its place in
// the queue. On failure the caller keeps ownership of the record (and gives its place back).
[[nodiscard]] bool PostOperation(UINT code, void* record) noexcept;

// Chooses whether reports go through the outbox. Only while no worker runs (before the first
// start, or after Shutdown): false (and nothing changes) once a start has begun.
bool ChooseOutbox(bool enabled) noexcept;
bool OutboxChosen() noexcept;

// Sets a choice that holds for a whole worker's life, under the same rule.
bool ChooseBeforeFirstStart(std::atomic<bool>& choice, bool value) noexcept;

// Waits until every operation posted before the call has finished (its reports delivered, or
// stored in the outbox), at most `timeout_ms`; false when the time ran out first.
bool WaitForOperations(DWORD timeout_ms) noexcept;

// What a new worker thread is given: its own copies of the ready and stop events (it closes
// them) and the module reference it drops as it exits.
struct WorkerStart {
    HANDLE ready;
    HANDLE stop;
    HMODULE module;
};

// The worker's thread procedure; `start` is a heap WorkerStart that the thread deletes.
DWORD WINAPI WorkerMain(void* start);

// Called by the worker once its message queue exists.
void PublishWorker(DWORD thread_id) noexcept;

// Shutdown: closes the queue (later calls are refused as before a start), waits until what was
// queued is delivered (or stored), at most `timeout_ms`, then stops the worker and waits, at
// most kWorkerStopWaitMs more, for it and the attempt threads to end. True when everything
// queued was delivered or stored in time. Once the worker has ended the library is as before
// its first start: the next OnStart starts a new worker.
bool EndWorker(DWORD timeout_ms) noexcept;

// Tells the worker to stop at once, without waiting (the library's unload).
void StopWorker() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_WORKER_H
