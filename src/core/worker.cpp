// The worker thread: message loop, dispatch and end; and the count of finished operations that
// Flush and Shutdown wait for. Starting and ending the worker is worker_lifetime.cpp's.
//
// Ownership: a record posted with PostOperation belongs to the worker from the moment the post
// succeeds; the dispatch deletes it after its handler returns and only then gives its place in
// the queue back. The worker also owns one reference to the library's module, taken before the
// thread starts and dropped as the thread exits, so the code it runs stays mapped even if the
// game unloads the library meanwhile.
//
// The worker ends only when its stop event is set (Shutdown, or the library's unload): it then
// handles what is still queued (no report waits for the network any more) and returns. A quit
// message in its queue comes from someone else and is dropped.
#include "core/worker.h"

#include <atomic>
#include <memory>

#include "core/delivery.h"
#include "core/operation_queue.h"
#include "core/operations.h"
#include "core/retry_wait.h"
#include "reports/handlers.h"
#include "reports/report_state.h"

namespace mirto {
namespace {

struct WorkerBookkeeping {
    // Operations ever posted, and ever finished (their reports delivered, or stored in the
    // outbox); Flush waits for the second to reach what the first was when it was called.
    std::atomic<std::uint64_t> operations_posted{0};
    std::uint64_t operations_finished = 0;  // guarded by flush_lock
};

WorkerBookkeeping worker_bookkeeping;

WorkerBookkeeping& GetWorker() noexcept { return worker_bookkeeping; }

SRWLOCK flush_lock = SRWLOCK_INIT;
CONDITION_VARIABLE flush_progress = CONDITION_VARIABLE_INIT;

void CountFinished(std::uint64_t count) noexcept {
    AcquireSRWLockExclusive(&flush_lock);
    worker_bookkeeping.operations_finished += count;
    ReleaseSRWLockExclusive(&flush_lock);
    WakeAllConditionVariable(&flush_progress);
}

// As the worker ends: every operation it took has finished, delivered, stored or given up, so
// that none holds a later Flush (the queue is closed, so no other is posted meanwhile).
void SettleFinished() noexcept {
    AcquireSRWLockExclusive(&flush_lock);
    worker_bookkeeping.operations_finished = worker_bookkeeping.operations_posted.load();
    ReleaseSRWLockExclusive(&flush_lock);
    WakeAllConditionVariable(&flush_progress);
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

// Handles every message queued now, then stores the reports they made in one go. True: the
// worker may take further messages while an attempt runs.
bool HandleQueued(Delivery& delivery) {
    std::uint64_t uncommitted = 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        // The message just seen is the first of its kind in the queue. A quit message is
        // someone else's: the library stops its worker with the stop event.
        if (!PeekMessageW(&message, nullptr, message.message, message.message, PM_REMOVE)) break;
        if (message.message != WM_QUIT) Handle(message, delivery, uncommitted);
    }
    delivery.Commit(uncommitted);
    return true;
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

bool IsSet(HANDLE event) noexcept { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

bool PostOperation(UINT code, void* record) noexcept {
    WorkerBookkeeping& worker = GetWorker();
    if (!ListPosted(code, record)) return false;
    worker.operations_posted.fetch_add(1);
    if (!PostThreadMessageW(WorkerThreadId(), code, 0, reinterpret_cast<LPARAM>(record))) {
        worker.operations_posted.fetch_sub(1);
        UnlistPosted(code, record);
        return false;
    }
    return true;
}

bool WaitForOperations(DWORD timeout_ms) noexcept {
    WorkerBookkeeping& worker = GetWorker();
    // The worker cannot wait for itself.
    if (GetCurrentThreadId() == WorkerThreadId()) return false;
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

DWORD WINAPI WorkerMain(void* parameter) {
    // The start's handles belong to this thread from here on.
    const WorkerStart start = *static_cast<const WorkerStart*>(parameter);
    delete static_cast<const WorkerStart*>(parameter);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // creates this thread's queue
    PublishWorker(GetCurrentThreadId());

    if (start.ready != nullptr) {
        SetEvent(start.ready);
        CloseHandle(start.ready);
    }

    {
        // The delivery, and with it the internet session and the outbox, ends with the loop:
        // before the thread lets go of the module.
        Delivery delivery(OutboxChosen(), CountFinished, start.stop);
        WorkWhileSending while_sending(delivery);
        for (;;) {
            // Every operation queued now (with the outbox, their reports are stored together),
            // then the outbox gets its turn: its attempt handles the operations that arrive
            // while it runs. Then the loop waits for the next operation, until a saved report is
            // due, or until it must stop. Once it must, what is still queued has just been
            // handled (the queue takes nothing more): the loop ends.
            HandleQueued(delivery);
            if (IsSet(start.stop)) break;
            const DWORD wait = delivery.SendDue(&while_sending);
            if (wait != 0 && MsgWaitForMultipleObjectsEx(1, &start.stop, wait, QS_ALLINPUT,
                                                         MWMO_INPUTAVAILABLE) == WAIT_FAILED) {
                Sleep(1);  // never spin
            }
        }
        // The session lets go of its internet session and its outbox, as before a start.
        delivery.Disconnect();
    }
    SettleFinished();
    // A later start begins a new session.
    ResetReports();
    CloseHandle(start.stop);
    if (start.module != nullptr) FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

}  // namespace mirto
