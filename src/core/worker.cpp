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

#include "core/consent.h"
#include "core/consent_gate.h"
#include "core/delivery.h"
#include "core/operation_queue.h"
#include "core/operations.h"
#include "core/retry_wait.h"
#include "core/worker_request.h"
#include "reports/handlers.h"
#include "reports/report_state.h"

namespace mirto {
namespace {

struct WorkerBookkeeping {
    // Operations ever posted; the worker numbers them from 1 in the order it takes them (a new
    // worker goes on from where the last one ended), and every operation up to
    // `finished_through` has finished (its reports delivered, stored in the outbox, or given
    // up). Flush waits for the second to reach what the first was when it was called: exactly
    // the operations posted before it, whatever finished after them.
    std::atomic<std::uint64_t> operations_posted{0};
    std::uint64_t finished_through = 0;  // guarded by flush_lock
};

WorkerBookkeeping worker_bookkeeping;

WorkerBookkeeping& GetWorker() noexcept { return worker_bookkeeping; }

SRWLOCK flush_lock = SRWLOCK_INIT;
CONDITION_VARIABLE flush_progress = CONDITION_VARIABLE_INIT;

// Worker thread only: the operation being admitted, while its place in the queue is still
// taken (0: none). Its place is given back before anything says it has finished, so that once a
// Flush has seen it finish, the queue no longer counts it.
std::uint64_t place_owed_by = 0;

void GiveBackOwedPlace() noexcept {
    if (place_owed_by == 0) return;
    place_owed_by = 0;
    GiveBackPlace();
}

void FinishedThrough(std::uint64_t ticket) noexcept {
    if (place_owed_by != 0 && ticket >= place_owed_by) GiveBackOwedPlace();
    AcquireSRWLockExclusive(&flush_lock);
    if (ticket > worker_bookkeeping.finished_through) worker_bookkeeping.finished_through = ticket;
    ReleaseSRWLockExclusive(&flush_lock);
    WakeAllConditionVariable(&flush_progress);
}

// The number a new worker goes on from: every operation of the workers before it has finished.
std::uint64_t FinishedSoFar() noexcept {
    AcquireSRWLockShared(&flush_lock);
    const std::uint64_t finished = worker_bookkeeping.finished_through;
    ReleaseSRWLockShared(&flush_lock);
    return finished;
}

// As the worker ends: every operation it took has finished, delivered, stored or given up, so
// that none holds a later Flush (the queue is closed, so no other is posted meanwhile).
void SettleFinished() noexcept {
    AcquireSRWLockExclusive(&flush_lock);
    worker_bookkeeping.finished_through = worker_bookkeeping.operations_posted.load();
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

// The game's decisions and deletions: they change what the outbox holds, so they wait until
// an attempt of the outbox is over.
bool IsRequest(UINT message) { return message == kOpConsent || message == kOpDeleteLocalData; }

// Runs the operations the consent gate lets through, each under the number the worker gave it
// when it took it.
class RunNow final : public OperationRunner {
   public:
    explicit RunNow(Delivery& delivery) noexcept : delivery_(delivery) {}

    void Run(HeldOperation operation) override {
        const UINT code = operation.code();
        delivery_.BeginOperation(operation.ticket());
        kOperations[code - kOpOnStart](operation.Release(), delivery_);
        delivery_.EndOperation();
    }

   private:
    Delivery& delivery_;
};

// What the worker's loop carries from message to message: the delivery, the consent gate, and
// the number of the operation it took last.
struct Dispatch {
    Delivery& delivery;
    ConsentGate& gate;
    std::uint64_t taken;
};

// Handles one message taken from the worker's queue. Only what the library itself posted is
// acted on (a record still waiting under its id, a decision it announced, a request it listed);
// anything else is left to the system like every foreign message.
void Handle(const MSG& message, Dispatch& dispatch) noexcept {
    RunNow runner(dispatch.delivery);
    if (IsOperation(message.message) && TakePosted(message)) {
        const std::uint64_t ticket = ++dispatch.taken;
        dispatch.delivery.NoteTaken(ticket);
        place_owed_by = ticket;
        try {
            dispatch.gate.Admit(message.message, message.lParam, ticket, runner);
        } catch (...) {
            // Out of memory while holding it: the operation is lost, the loop goes on.
        }
        // Run, given up or held (the holding area has its own bound): its place is free.
        GiveBackOwedPlace();
    } else if (message.message == kOpConsent && TakePosted(message)) {
        try {
            dispatch.gate.Decide(message.lParam, runner);
        } catch (...) {
        }
    } else if (message.message == kOpDeleteLocalData && TakePosted(message)) {
        bool removed = false;
        try {
            removed = dispatch.gate.Forget(RequestStamp(message.lParam));
        } catch (...) {
        }
        AnswerRequest(message.lParam, removed);
    } else if (message.message != WM_QUIT) {
        // A quit message is someone else's: the library stops its worker with the stop event.
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void TakeUnposted(Dispatch& dispatch) noexcept {
    RunNow runner(dispatch.delivery);
    try {
        dispatch.gate.TakeUnposted(runner);
    } catch (...) {
    }
}

enum class Handled {
    kAll,        // the queue is empty
    kBatchFull,  // more may wait behind the batch just stored
    kHeldBack,   // during an attempt: the next message waits until it is over
};

// Handles the messages queued now, up to as many operations as one batch holds or, during an
// attempt, up to a decision or deletion; then stores the reports they made in one go.
Handled HandleQueued(Dispatch& dispatch, bool during_attempt) noexcept {
    Handled handled = Handled::kAll;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        if (dispatch.delivery.batch_full()) {
            handled = Handled::kBatchFull;
            break;
        }
        if (during_attempt && IsRequest(message.message) && IsPosted(message)) {
            handled = Handled::kHeldBack;
            break;
        }
        // The message just seen is the first of its kind in the queue.
        if (!PeekMessageW(&message, nullptr, message.message, message.message, PM_REMOVE)) break;
        // A decision that no message brings (it could not be posted) is taken before the
        // operations made after it (outside an attempt, like every decision).
        if (!during_attempt && IsOperation(message.message)) TakeUnposted(dispatch);
        Handle(message, dispatch);
    }
    if (!during_attempt) TakeUnposted(dispatch);
    dispatch.delivery.Commit();
    dispatch.gate.SettleDecisions();
    // Still full once stored: as many reports wait in memory as may, behind the attempt.
    if (during_attempt && dispatch.delivery.batch_full()) handled = Handled::kHeldBack;
    return handled;
}

// While the outbox's attempt runs, the operations that arrive are handled (their reports
// stored) in their order, and the delivery does its chores.
class WorkWhileSending final : public AttemptWaitHook {
   public:
    explicit WorkWhileSending(Dispatch& dispatch) noexcept : dispatch_(dispatch) {}

    bool OnMessage() noexcept override {
        return HandleQueued(dispatch_, true) != Handled::kHeldBack;
    }
    bool OnChore() noexcept override { return dispatch_.delivery.DoChore(); }
    DWORD ChoreDueInMs() noexcept override { return dispatch_.delivery.ChoreDueInMs(); }

   private:
    Dispatch& dispatch_;
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
    const std::uint32_t decisions = DecisionsPostedNow();
    const ULONGLONG deadline = SteadyMs() + timeout_ms;
    AcquireSRWLockExclusive(&flush_lock);
    while (worker.finished_through < target || !DecisionsTaken(decisions)) {
        const ULONGLONG now = SteadyMs();
        // What is left is held for the player's decision, and waiting would not bring one.
        if (now >= deadline || HeldForDecision()) break;
        SleepConditionVariableSRW(&flush_progress, &flush_lock, static_cast<DWORD>(deadline - now),
                                  0);
    }
    const bool finished = worker.finished_through >= target && DecisionsTaken(decisions);
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
        // before the thread lets go of the module. What still waits in memory then is lost,
        // and counted so.
        Delivery delivery(OutboxChosen(), FinishedThrough, start.stop, PurgePending);
        ConsentGate gate(delivery);
        Dispatch dispatch{delivery, gate, FinishedSoFar()};
        WorkWhileSending while_sending(dispatch);
        for (;;) {
            // The operations queued now, as many as a batch holds (with the outbox, their
            // reports are stored together), then the outbox gets its turn: its attempt handles
            // the operations that arrive while it runs. Then the loop waits for the next
            // operation, until a saved report is due, or until it must stop. Once it must, what
            // is still queued is handled (no report waits for the network any more, and the
            // queue takes nothing more): the loop ends.
            const Handled handled = HandleQueued(dispatch, false);
            if (IsSet(start.stop)) {
                while (HandleQueued(dispatch, false) == Handled::kBatchFull) {
                }
                break;
            }
            const DWORD wait = delivery.SendDue(&while_sending);
            if (wait != 0 && handled != Handled::kBatchFull &&
                MsgWaitForMultipleObjectsEx(1, &start.stop, wait, QS_ALLINPUT,
                                            MWMO_INPUTAVAILABLE) == WAIT_FAILED) {
                Sleep(1);  // never spin
            }
        }
    }
    SettleFinished();
    // A later start begins a new session.
    ResetReports();
    CloseHandle(start.stop);
    if (start.module != nullptr) FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

}  // namespace mirto
