// Starting and ending the worker: the first start (serialised, every wait for it bounded by its
// own deadline), Shutdown, and the unload's stop. Game threads only, apart from the worker
// publishing its id.
//
// The state lives here, constant-initialised and never destroyed; unless atomic, start_lock
// guards it:
// - worker_thread_id: published by the worker; 0 again once Shutdown has seen the worker end.
// - start_in_progress, start_deadline: a first start under way, and the moment by which it and
//   every wait for it end (kWorkerStartWaitMs after the start began).
// - worker_created: a worker was started and has not been seen to end; no other is started.
// - ending: Shutdown has closed the queue for this worker, which is stopping.
// - shutdown_in_progress: a Shutdown holds this side's handles; only it forgets the worker.
// - worker_thread, worker_stop: this side's handles to the worker's thread and stop event (the
//   worker has copies of its own), closed once the worker has been seen to end.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "core/deadline.h"
#include "core/operation_queue.h"
#include "core/worker.h"
#include "core/worker_request.h"
#include "transport/attempt_threads.h"
#include "win/module_reference.h"
#include "win/scoped_handle.h"

namespace mirto {
namespace {

std::atomic<DWORD> worker_thread_id{0};

SRWLOCK start_lock = SRWLOCK_INIT;
CONDITION_VARIABLE start_settled = CONDITION_VARIABLE_INIT;
bool start_in_progress = false;
ULONGLONG start_deadline = 0;
bool worker_created = false;
bool ending = false;
bool shutdown_in_progress = false;
HANDLE worker_thread = nullptr;
std::atomic<HANDLE> worker_stop{nullptr};
std::atomic<bool> start_in_progress_hint{false};
std::atomic<bool> outbox_chosen{false};  // changed under start_lock, before any start

SRWLOCK end_lock = SRWLOCK_INIT;  // one Shutdown at a time

// Waits, holding start_lock, until no first start is in progress or `deadline` (a tick count)
// has passed.
void WaitWhileStarting(ULONGLONG deadline) noexcept {
    while (start_in_progress) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        SleepConditionVariableSRW(&start_settled, &start_lock, static_cast<DWORD>(deadline - now),
                                  0);
    }
}

// Holding start_lock: once a stopping worker has ended, the library is as before its first
// start.
void ForgetEndedWorker() noexcept {
    if (!ending || WaitForSingleObject(worker_thread, 0) != WAIT_OBJECT_0) return;
    CloseHandle(worker_thread);
    worker_thread = nullptr;
    CloseHandle(worker_stop.exchange(nullptr));
    worker_thread_id.store(0);
    worker_created = false;
    ending = false;
    OpenQueue();
    OpenRequests();
}

bool Duplicate(HANDLE handle, HANDLE* copy) noexcept {
    return DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS) != FALSE;
}

// True when the thread was created (it may still be coming up); waits for its queue until
// `deadline` at the latest.
bool StartWorker(ULONGLONG deadline) noexcept {
    // The worker gets its own handles to both events. Whichever side finishes last closes an
    // event object, so a worker that comes up after OnStart stopped waiting signals an event
    // that still exists and that nobody waits for: a harmless late signal.
    KernelHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    KernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto* start = new (std::nothrow) WorkerStart{nullptr, nullptr, nullptr};
    // A worker that could never be told to stop is not started.
    if (!stop || start == nullptr || !Duplicate(stop.get(), &start->stop)) {
        delete start;
        return false;
    }
    if (ready && !Duplicate(ready.get(), &start->ready)) {
        ready.reset();
        start->ready = nullptr;
    }
    // The worker's reference to the library, taken before its thread exists; not waited for
    // past the start's deadline (another thread may hold the loader's lock): no worker then.
    start->module = ReferenceModuleBy(reinterpret_cast<const void*>(&WorkerMain), deadline);
    if (start->module == nullptr) {
        if (start->ready != nullptr) CloseHandle(start->ready);
        CloseHandle(start->stop);
        delete start;
        return false;
    }

    const HMODULE module = start->module;
    const HANDLE ready_copy = start->ready;
    const HANDLE stop_copy = start->stop;
    KernelHandle thread(CreateThread(nullptr, 0, WorkerMain, start, 0, nullptr));
    if (!thread) {
        // No worker: nothing will signal, so there is nothing to wait for.
        if (ready_copy != nullptr) CloseHandle(ready_copy);
        CloseHandle(stop_copy);
        FreeLibrary(module);
        delete start;
        return false;
    }
    worker_thread = thread.release();
    worker_stop.store(stop.release());
    if (ready) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(ready.get(), now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
    }
    return true;
}

}  // namespace

DWORD WorkerThreadId() noexcept { return worker_thread_id.load(); }

void PublishWorker(DWORD thread_id) noexcept { worker_thread_id.store(thread_id); }

FirstStart::FirstStart() noexcept {
    AcquireSRWLockExclusive(&start_lock);
    if (!shutdown_in_progress) ForgetEndedWorker();
    WaitWhileStarting(start_deadline);
    if (!start_in_progress && !worker_created) {
        start_in_progress = true;
        // Every wait of this start, and for it, ends by this moment, taken before anything
        // that could block (the loader's lock, which another thread may hold).
        start_deadline = GetTickCount64() + kWorkerStartWaitMs;
        start_in_progress_hint.store(true);
        starting_here_ = true;
    }
    const ULONGLONG deadline = start_deadline;
    ReleaseSRWLockExclusive(&start_lock);
    if (starting_here_) created_ = StartWorker(deadline);
}

FirstStart::~FirstStart() {
    if (!starting_here_) return;
    AcquireSRWLockExclusive(&start_lock);
    worker_created = created_;
    start_in_progress = false;
    start_in_progress_hint.store(false);
    ReleaseSRWLockExclusive(&start_lock);
    WakeAllConditionVariable(&start_settled);
}

DWORD WorkerForCall() noexcept {
    // The id is read before the hint: the hint is raised before a worker can publish its id
    // and lowered only after the starting OnStart is queued, so an id seen with the hint down
    // means that operation is already ahead of this call.
    const DWORD published = worker_thread_id.load();
    if (!start_in_progress_hint.load()) return published;
    AcquireSRWLockExclusive(&start_lock);
    WaitWhileStarting(start_deadline);
    ReleaseSRWLockExclusive(&start_lock);
    return worker_thread_id.load();
}

bool ChooseBeforeFirstStart(std::atomic<bool>& choice, bool value) noexcept {
    AcquireSRWLockExclusive(&start_lock);
    // A worker that outlived its Shutdown's wait and has ended since no longer counts as started.
    if (!shutdown_in_progress) ForgetEndedWorker();
    const bool before_start = !start_in_progress && !worker_created;
    if (before_start) choice.store(value);
    ReleaseSRWLockExclusive(&start_lock);
    return before_start;
}

bool ChooseOutbox(bool enabled) noexcept { return ChooseBeforeFirstStart(outbox_chosen, enabled); }

bool OutboxChosen() noexcept { return outbox_chosen.load(); }

bool EndWorker(DWORD timeout_ms) noexcept {
    // The worker cannot wait for itself (a Shutdown from the game's log callback on the worker):
    // nothing ends, as with Flush there.
    if (WorkerThreadId() == GetCurrentThreadId()) return false;
    const Deadline deadline(timeout_ms);
    // One Shutdown at a time: another waits for it, but no longer than its own time and the
    // second the threads may take to end.
    const Deadline entered_by(
        timeout_ms >= INFINITE - kWorkerStopWaitMs ? INFINITE - 1 : timeout_ms + kWorkerStopWaitMs);
    bool waited = false;
    while (!TryAcquireSRWLockExclusive(&end_lock)) {
        if (entered_by.Remaining() == 0) return false;
        waited = true;
        Sleep(5);
    }
    AcquireSRWLockExclusive(&start_lock);
    // A first start under way settles first (within its own deadline, unless the loader's lock
    // holds it up: then no longer than this call's).
    while (start_in_progress && deadline.Remaining() > 0) {
        SleepConditionVariableSRW(&start_settled, &start_lock, deadline.Remaining(), 0);
    }
    ForgetEndedWorker();
    const bool settled = !start_in_progress;
    const bool running = settled && worker_created;
    if (running) ending = shutdown_in_progress = true;
    const HANDLE thread = worker_thread;
    const HANDLE stop = worker_stop.load();
    ReleaseSRWLockExclusive(&start_lock);
    if (!running) {
        ReleaseSRWLockExclusive(&end_lock);
        return settled;  // nothing was queued, or the start could not be waited for
    }

    CloseQueue();
    const bool finished = WaitForOperations(deadline.Remaining());
    // Decisions and deletions reach the worker up to here; from now on they are only recorded
    // (the worker takes the latest decision as it ends, a new worker at its start).
    CloseRequests();
    SetEvent(stop);
    // Stopped, the worker handles what is left at once (nothing waits for the network any
    // more) and ends; so do the attempt threads, apart from a call inside the system, which
    // ends with its time-outs (and then its thread, holding its own module reference).
    // (After waiting for another Shutdown, by this call's own bound.)
    const Deadline stopped_by(waited ? std::min(kWorkerStopWaitMs, entered_by.Remaining())
                                     : kWorkerStopWaitMs);
    WaitUntil(thread, stopped_by);
    WaitForAttemptThreads(stopped_by.Remaining());

    AcquireSRWLockExclusive(&start_lock);
    shutdown_in_progress = false;
    ForgetEndedWorker();
    ReleaseSRWLockExclusive(&start_lock);
    ReleaseSRWLockExclusive(&end_lock);
    return finished;
}

void StopWorker() noexcept {
    if (const HANDLE stop = worker_stop.load()) SetEvent(stop);
}

}  // namespace mirto
