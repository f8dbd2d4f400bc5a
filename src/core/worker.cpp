// The worker thread: start, message loop, dispatch and end.
//
// Ownership: a record posted with PostOperation belongs to the worker from the moment the post
// succeeds; the dispatch deletes it after its handler returns and only then lowers
// pending_operations. The worker also owns one reference to the library's module, taken
// before the thread starts and dropped as the thread exits, so the code it runs stays mapped
// even if the game unloads the library meanwhile.
#include "core/worker.h"

#include <memory>

#include "core/handlers.h"
#include "core/operations.h"
#include "core/scoped_handle.h"
#include "core/session.h"
#include "transport/internet_session.h"

namespace mirto {
namespace {

SRWLOCK start_lock = SRWLOCK_INIT;

// Runs one handler; the record is deleted when this returns, whatever the handler did.
template <typename Record, typename Call>
void RunOperation(LPARAM address, Call call) {
    std::unique_ptr<Record> record(reinterpret_cast<Record*>(address));
    try {
        call(*record);
    } catch (...) {
        // A handler that ran out of memory abandons its report; the loop goes on.
    }
}

bool IsOperation(UINT message) { return message >= kOpOnStart && message <= kOpOnCharge; }

void Dispatch(const MSG& message) {
    switch (message.message) {
        case kOpOnStart:
            RunOperation<OnStartRecord>(message.lParam, [](const OnStartRecord& r) {
                HandleOnStart(r.application_id, r.channel, r.game_version);
            });
            break;
        case kOpSetUser:
            RunOperation<SetUserRecord>(message.lParam, [](const SetUserRecord& r) {
                HandleSetUser(r.user_id, r.user_name);
            });
            break;
        case kOpSetLevel:
            RunOperation<SetLevelRecord>(message.lParam,
                                         [](const SetLevelRecord& r) { HandleSetLevel(r.level); });
            break;
        case kOpSetServer:
            RunOperation<SetServerRecord>(
                message.lParam, [](const SetServerRecord& r) { HandleSetServer(r.server); });
            break;
        case kOpOnCharge:
            RunOperation<OnChargeRecord>(message.lParam, [](const OnChargeRecord& r) {
                HandleOnCharge(r.order_id, r.product, r.amount, r.currency_type,
                               r.virtual_currency_amount, r.payment);
            });
            break;
        default:
            break;
    }
}

// A reference to the module that holds this code, so it cannot be unmapped under the worker.
HMODULE ReferenceOwnModule() noexcept {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&WorkerMain), &module)) {
        return nullptr;
    }
    return module;
}

void StartWorker() noexcept {
    Session& session = GetSession();

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
    session.worker_ready_event.store(worker_copy);

    HMODULE module = ReferenceOwnModule();
    session.worker_module.store(module);

    DWORD thread_id = 0;
    KernelHandle thread(CreateThread(nullptr, 0, WorkerMain, nullptr, 0, &thread_id));
    if (!thread) {
        // No worker: nothing will signal, so there is nothing to wait for.
        if (HANDLE unused = session.worker_ready_event.exchange(nullptr)) CloseHandle(unused);
        if (HMODULE held = session.worker_module.exchange(nullptr)) FreeLibrary(held);
        return;
    }
    session.worker_thread_id.store(thread_id);
    if (ready) WaitForSingleObject(ready.get(), kWorkerStartWaitMs);
}

}  // namespace

void EnsureWorkerStarted() noexcept {
    Session& session = GetSession();
    if (session.worker_thread_id.load() != 0) return;
    AcquireSRWLockExclusive(&start_lock);
    if (session.worker_thread_id.load() == 0) StartWorker();
    ReleaseSRWLockExclusive(&start_lock);
}

bool PostOperation(UINT code, void* record) noexcept {
    Session& session = GetSession();
    session.pending_operations.fetch_add(1);
    if (!PostThreadMessageW(session.worker_thread_id.load(), code, 0,
                            reinterpret_cast<LPARAM>(record))) {
        session.pending_operations.fetch_sub(1);
        return false;
    }
    return true;
}

void PostWorkerQuit() noexcept {
    const DWORD thread_id = GetSession().worker_thread_id.load();
    if (thread_id != 0) PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
}

DWORD WINAPI WorkerMain(void* /*unused*/) {
    Session& session = GetSession();
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // creates this thread's queue

    if (HANDLE ready = session.worker_ready_event.exchange(nullptr)) {
        SetEvent(ready);
        CloseHandle(ready);
    }

    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (IsOperation(message.message)) {
            Dispatch(message);
            session.pending_operations.fetch_sub(1);
        } else {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    CloseInternetSession();

    if (HMODULE module = session.worker_module.exchange(nullptr)) {
        FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

}  // namespace mirto
