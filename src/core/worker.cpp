// The worker thread: start, message loop, dispatch and end.
//
// Ownership: a record posted with PostOperation belongs to the worker from the moment the post
// succeeds; the dispatch deletes it after its handler returns and only then gives its place in
// the queue back. The worker also owns one reference to the library's module, taken
// before the thread starts and dropped as the thread exits, so the code it runs stays mapped
// even if the game unloads the library meanwhile.
#include "core/worker.h"

#include <atomic>
#include <memory>

#include "core/delivery.h"
#include "core/operation_queue.h"
#include "core/operations.h"
#include "core/retry_wait.h"
#include "reports/handlers.h"
#include "win/module_reference.h"
#include "win/scoped_handle.h"

namespace mirto {
namespace {

struct WorkerBookkeeping {
    std::atomic<DWORD> worker_thread_id{0};
    std::atomic<HANDLE> worker_ready_event{nullptr};
    std::atomic<HMODULE> worker_module{nullptr};
    // Operations ever posted, and ever finished (their reports delivered, or stored in the
    // outbox); Flush waits for the second to reach what the first was when it was called.
    std::atomic<std::uint64_t> operations_posted{0};
    std::uint64_t operations_finished = 0;  // guarded by flush_lock
};

WorkerBookkeeping worker_bookkeeping;

WorkerBookkeeping& GetWorker() noexcept { return worker_bookkeeping; }

// A first start in progress: set by the thread that starts the worker before the thread is
// created, cleared once that thread's OnStart operation is queued (or refused).
SRWLOCK start_lock = SRWLOCK_INIT;
CONDITION_VARIABLE start_settled = CONDITION_VARIABLE_INIT;
bool start_in_progress = false;  // guarded by start_lock
// Guarded by start_lock: the moment by which the start in progress, and every wait for it, ends
// (kWorkerStartWaitMs after the start began).
ULONGLONG start_deadline = 0;
bool worker_created = false;  // guarded by start_lock: a worker is never started twice
std::atomic<bool> start_in_progress_hint{false};
std::atomic<bool> outbox_chosen{false};  // changed under start_lock, before any start

SRWLOCK flush_lock = SRWLOCK_INIT;
CONDITION_VARIABLE flush_progress = CONDITION_VARIABLE_INIT;

void CountFinished(std::uint64_t count) noexcept {
    AcquireSRWLockExclusive(&flush_lock);
    worker_bookkeeping.operations_finished += count;
    ReleaseSRWLockExclusive(&flush_lock);
    WakeAllConditionVariable(&flush_progress);
}

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

// Runs one operation's handler; the record is deleted when this returns, whatever the handler
// did.
template <typename Record, void (*Handler)(const Record&, ReportSink&)>
void RunOperation(LPARAM address, Delivery& delivery) {
    std::unique_ptr<Record> record(reinterpret_cast<Record*>(address));
    try {
        Handler(*record, delivery);
    } catch (...) {
        // A handler that ran out of memory abandons its report; the loop goes on.
    }
}

// The dispatch table, in the order of the operation codes from kOpOnStart.
using Operation = void (*)(LPARAM address, Delivery& delivery);
constexpr Operation kOperations[] = {
    RunOperation<OnStartRecord, HandleOnStart>,   RunOperation<SetUserRecord, HandleSetUser>,
    RunOperation<SetLevelRecord, HandleSetLevel>, RunOperation<SetServerRecord, HandleSetServer>,
    RunOperation<OnChargeRecord, HandleOnCharge>,
};
static_assert(sizeof(kOperations) / sizeof(kOperations[0]) == kOpOnCharge - kOpOnStart + 1,
              "one entry per operation code");

bool IsOperation(UINT message) { return message >= kOpOnStart && message <= kOpOnCharge; }

// Handles one message taken from the worker's queue. An operation whose reports wait to be
// stored with others is added to `uncommitted`; any other has finished.
void Handle(const MSG& message, Delivery& delivery, std::uint64_t& uncommitted) {
    // Only a record that the library posted under this id, and that is still waiting, is read.
    if (IsOperation(message.message) && TakePosted(message)) {
        kOperations[message.message - kOpOnStart](message.lParam, delivery);
        GiveBackPlace();
        if (delivery.batching()) {
            ++uncommitted;
        } else {
            CountFinished(1);
        }
    } else {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Handles every message queued now, up to a quit message (which stays in the queue for the
// loop), then stores the reports they made in one go. False when a quit message is next.
bool HandleQueued(Delivery& delivery) {
    std::uint64_t uncommitted = 0;
    bool quit_next = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        if (message.message == WM_QUIT) {
            quit_next = true;
            break;
        }
        // The message just seen is the first of its kind in the queue.
        if (!PeekMessageW(&message, nullptr, message.message, message.message, PM_REMOVE)) break;
        Handle(message, delivery, uncommitted);
    }
    delivery.Commit(uncommitted);
    return !quit_next;
}

// While the outbox's attempt runs, the operations that arrive are handled (their reports
// stored) in their order, and the delivery does its chores.
class WorkWhileSending final : public AttemptWaitHook {
   public:
    explicit WorkWhileSending(Delivery& delivery) noexcept : delivery_(delivery) {}

    bool OnMessage() override { return HandleQueued(delivery_); }
    bool OnChore() override { return delivery_.DoChore(); }

   private:
    Delivery& delivery_;
};

// True when the thread was created (it may still be coming up); waits for its queue until
// `deadline` at the latest.
bool StartWorker(ULONGLONG deadline) noexcept {
    WorkerBookkeeping& worker = GetWorker();

    // The worker gets its own handle to the ready event. Whichever side finishes last closes
    // the event object, so a worker that comes up after OnStart stopped waiting signals an
    // event that still exists and that nobody waits for: a harmless late signal.
    KernelHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE worker_copy = nullptr;
    if (ready && !DuplicateHandle(GetCurrentProcess(), ready.get(), GetCurrentProcess(),
                                  &worker_copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        ready.reset();
        worker_copy = nullptr;
    }
    worker.worker_ready_event.store(worker_copy);

    HMODULE module = ReferenceModuleOf(reinterpret_cast<const void*>(&WorkerMain));
    worker.worker_module.store(module);

    const KernelHandle thread(CreateThread(nullptr, 0, WorkerMain, nullptr, 0, nullptr));
    if (!thread) {
        // No worker: nothing will signal, so there is nothing to wait for.
        if (HANDLE unused = worker.worker_ready_event.exchange(nullptr)) CloseHandle(unused);
        if (HMODULE held = worker.worker_module.exchange(nullptr)) FreeLibrary(held);
        return false;
    }
    if (ready) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(ready.get(), now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
    }
    return true;
}

}  // namespace

DWORD WorkerThreadId() noexcept { return GetWorker().worker_thread_id.load(); }

FirstStart::FirstStart() noexcept {
    AcquireSRWLockExclusive(&start_lock);
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
    const DWORD published = GetWorker().worker_thread_id.load();
    if (!start_in_progress_hint.load()) return published;
    AcquireSRWLockExclusive(&start_lock);
    WaitWhileStarting(start_deadline);
    ReleaseSRWLockExclusive(&start_lock);
    return GetWorker().worker_thread_id.load();
}

bool PostOperation(UINT code, void* record) noexcept {
    WorkerBookkeeping& worker = GetWorker();
    if (!ListPosted(code, record)) return false;
    worker.operations_posted.fetch_add(1);
    if (!PostThreadMessageW(worker.worker_thread_id.load(), code, 0,
                            reinterpret_cast<LPARAM>(record))) {
        worker.operations_posted.fetch_sub(1);
        UnlistPosted(code, record);
        return false;
    }
    return true;
}

bool ChooseOutbox(bool enabled) noexcept {
    AcquireSRWLockExclusive(&start_lock);
    const bool before_start = !start_in_progress && !worker_created;
    if (before_start) outbox_chosen.store(enabled);
    ReleaseSRWLockExclusive(&start_lock);
    return before_start;
}

bool OutboxChosen() noexcept { return outbox_chosen.load(); }

bool WaitForOperations(DWORD timeout_ms) noexcept {
    WorkerBookkeeping& worker = GetWorker();
    // The worker cannot wait for itself.
    if (GetCurrentThreadId() == worker.worker_thread_id.load()) return false;
    const std::uint64_t target = worker.operations_posted.load();
    const ULONGLONG deadline = SteadyMs() + timeout_ms;
    AcquireSRWLockExclusive(&flush_lock);
    while (worker.operations_finished < target) {
        const ULONGLONG now = SteadyMs();
        if (now >= deadline) break;
        SleepConditionVariableSRW(&flush_progress, &flush_lock, static_cast<DWORD>(deadline - now),
                                  0);
    }
    const bool finished = worker.operations_finished >= target;
    ReleaseSRWLockExclusive(&flush_lock);
    return finished;
}

void PostWorkerQuit() noexcept {
    const DWORD thread_id = GetWorker().worker_thread_id.load();
    if (thread_id != 0) PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
}

DWORD WINAPI WorkerMain(void* /*unused*/) {
    WorkerBookkeeping& worker = GetWorker();
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // creates this thread's queue
    worker.worker_thread_id.store(GetCurrentThreadId());

    if (HANDLE ready = worker.worker_ready_event.exchange(nullptr)) {
        SetEvent(ready);
        CloseHandle(ready);
    }

    {
        // The delivery, and with it the internet session, ends with the loop: before the
        // thread lets go of the module.
        Delivery delivery(outbox_chosen.load(), CountFinished);
        WorkWhileSending while_sending(delivery);
        bool quitting = false;
        while (!quitting) {
            // Every operation queued now (with the outbox, their reports are stored together),
            // then the outbox gets its turn: its attempt handles the operations that arrive
            // while it runs. Then the loop waits for the next operation or until a saved report
            // is due.
            if (!HandleQueued(delivery)) {
                PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
                quitting = true;
            }
            if (quitting) break;
            const DWORD wait = delivery.SendDue(&while_sending);
            if (wait != 0 && MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE) == WAIT_FAILED) {
                Sleep(1);  // never spin
            }
        }
    }

    if (HMODULE module = worker.worker_module.exchange(nullptr)) {
        FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

}  // namespace mirto
