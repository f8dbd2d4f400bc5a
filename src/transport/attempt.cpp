// One bounded attempt: the attempt object shared by the waiting thread and the attempt's own
// thread, and the thread that runs it.
#include "transport/attempt.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "transport/protocol.h"
#include "win/internet_handle.h"
#include "win/module_reference.h"
#include "win/scoped_handle.h"

namespace mirto {
namespace {

// The answer's status text, or nothing when the status cannot be read.
std::optional<std::wstring> StatusText(HINTERNET request) {
    wchar_t status[16] = {};
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, status, &size, nullptr)) {
        return std::nullopt;
    }
    status[15] = L'\0';
    return std::wstring(status);
}

// Shared by the waiting thread and the attempt's thread; whichever lets go last deletes it.
class Attempt {
   public:
    explicit Attempt(AttemptRequest request) : request_(std::move(request)) {}

    // Read once the attempt's thread has finished with it, or after Abandon.
    AttemptOutcome outcome() const noexcept {
        AttemptOutcome outcome;
        outcome.delivered = delivered_.load();
        outcome.status = status_.load();
        outcome.error = outcome.status != 0 ? 0 : error_.load();
        return outcome;
    }

    void Release() noexcept {
        if (references_.fetch_sub(1) == 1) delete this;
    }

    // The attempt itself, on whichever thread runs it.
    void Run() noexcept { RunOnConnection(); }

    // From the waiting thread, once the bound has passed: no further call is made, and a call
    // that is blocked now has its handle closed under it.
    void Abandon() noexcept {
        AcquireSRWLockExclusive(&lock_);
        abandoned_ = true;
        if (in_call_ && request_handle_ != nullptr) {
            InternetCloseHandle(request_handle_);
            request_handle_ = nullptr;
        }
        ReleaseSRWLockExclusive(&lock_);
    }

   private:
    // Both handles are closed when this returns, the request first.
    void RunOnConnection() noexcept {
        const InternetHandle connection(
            InternetConnectW(request_.session, request_.host.c_str(), request_.port, nullptr,
                             nullptr, INTERNET_SERVICE_HTTP, request_.connect_flags, 0));
        if (!connection) {
            error_.store(GetLastError());
            return;
        }
        HINTERNET handle = HttpOpenRequestW(connection.get(), L"POST", request_.path.c_str(),
                                            nullptr, nullptr, nullptr, request_.request_flags, 0);
        if (handle == nullptr) {
            error_.store(GetLastError());
            return;
        }
        Publish(handle);
        Exchange(handle);
        CloseRequest();
    }

    // Runs call(handle) unless the attempt was abandoned; false when it was or the call failed.
    template <typename Call>
    bool Step(HINTERNET handle, Call call) noexcept {
        AcquireSRWLockExclusive(&lock_);
        const bool allowed = !abandoned_;
        in_call_ = allowed;
        ReleaseSRWLockExclusive(&lock_);
        if (!allowed) return false;
        const BOOL result = call(handle);
        if (result == FALSE) error_.store(GetLastError());
        AcquireSRWLockExclusive(&lock_);
        in_call_ = false;
        ReleaseSRWLockExclusive(&lock_);
        return result != FALSE;
    }

    // Marks the attempt delivered as soon as the status is "200", before anything else is read,
    // so an answer whose body never ends counts as delivered even when the bound cuts it off.
    void Exchange(HINTERNET handle) noexcept {
        // Wine takes the receive and send time-outs only from the request handle (Windows
        // inherits them from the session), so a collector that stops answering still ends each
        // wait after 5 s everywhere.
        ApplyTimeouts(handle);
        const bool has_body = !request_.body.empty();
        const bool sent = Step(handle, [&](HINTERNET h) {
            return HttpSendRequestW(h, request_.headers.c_str(),
                                    static_cast<DWORD>(request_.headers.size()),
                                    // WinINet only reads the body.
                                    has_body ? const_cast<char*>(request_.body.data()) : nullptr,
                                    static_cast<DWORD>(request_.body.size()));
        });
        if (!sent) return;
        std::optional<std::wstring> status;
        Step(handle, [&status](HINTERNET h) {
            status = StatusText(h);
            return status ? TRUE : FALSE;
        });
        if (!status) return;
        // The status is compared as text, exactly "200"; the number is kept for the counters.
        status_.store(static_cast<std::uint32_t>(std::wcstoul(status->c_str(), nullptr, 10)));
        if (*status != L"200") return;
        delivered_.store(true);
        // The availability query is still made, but its outcome (a body that never comes, a
        // connection closed after the head, a bound reached while it reads) no longer matters.
        Step(handle, [](HINTERNET h) {
            DWORD available = 0;
            return InternetQueryDataAvailable(h, &available, 0, 0);
        });
    }

    void Publish(HINTERNET handle) noexcept {
        AcquireSRWLockExclusive(&lock_);
        request_handle_ = handle;
        ReleaseSRWLockExclusive(&lock_);
    }

    void CloseRequest() noexcept {
        AcquireSRWLockExclusive(&lock_);
        HINTERNET handle = request_handle_;
        request_handle_ = nullptr;
        ReleaseSRWLockExclusive(&lock_);
        if (handle != nullptr) InternetCloseHandle(handle);
    }

    const AttemptRequest request_;
    std::atomic<int> references_{2};
    std::atomic<bool> delivered_{false};
    std::atomic<std::uint32_t> status_{0};
    std::atomic<std::uint32_t> error_{ERROR_INTERNET_TIMEOUT};  // until the attempt says otherwise
    SRWLOCK lock_ = SRWLOCK_INIT;                               // guards the three members below
    HINTERNET request_handle_ = nullptr;
    bool in_call_ = false;
    bool abandoned_ = false;
};

}  // namespace

// What the runner and its thread share; whichever lets go last deletes it. The thread takes
// one attempt at a time from `attempt` and ends once `quit` is set and nothing is left to run.
struct AttemptRunner::Thread {
    std::atomic<int> references{2};
    KernelHandle work{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    KernelHandle done{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // set after each attempt
    HMODULE module = nullptr;
    SRWLOCK lock = SRWLOCK_INIT;  // guards the two members below
    Attempt* attempt = nullptr;
    bool quit = false;

    void Release() noexcept {
        if (references.fetch_sub(1) == 1) delete this;
    }

    // The next attempt, or null; `quitting` tells whether the runner has let go.
    Attempt* Take(bool* quitting) noexcept {
        AcquireSRWLockExclusive(&lock);
        Attempt* next = attempt;
        attempt = nullptr;
        *quitting = quit;
        ReleaseSRWLockExclusive(&lock);
        return next;
    }

    void Hand(Attempt* next) noexcept {
        AcquireSRWLockExclusive(&lock);
        attempt = next;
        ReleaseSRWLockExclusive(&lock);
        SetEvent(work.get());
    }

    void Quit() noexcept {
        AcquireSRWLockExclusive(&lock);
        quit = true;
        ReleaseSRWLockExclusive(&lock);
        SetEvent(work.get());
    }
};

namespace {

DWORD WINAPI RunAttempts(void* parameter) {
    auto* thread = static_cast<AttemptRunner::Thread*>(parameter);
    const HMODULE module = thread->module;
    bool quitting = false;
    while (!quitting) {
        WaitForSingleObject(thread->work.get(), INFINITE);
        while (Attempt* attempt = thread->Take(&quitting)) {
            attempt->Run();
            attempt->Release();
            SetEvent(thread->done.get());
        }
    }
    thread->Release();
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// Waits for `done` at most `bound_ms`; true when it was set. With a hook, the waiting thread
// handles its messages and does its chores meanwhile, one at a time.
bool WaitForAttempt(HANDLE done, DWORD bound_ms, AttemptWaitHook* hook) noexcept {
    const ULONGLONG deadline = GetTickCount64() + bound_ms;
    auto left = [deadline]() -> DWORD {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };
    bool messages = true;
    bool chores = true;
    while (hook != nullptr && (messages || chores)) {
        // With chores to do, only a look; otherwise a wait for the attempt or a message.
        const DWORD woke = MsgWaitForMultipleObjectsEx(
            1, &done, chores ? 0 : left(), messages ? QS_ALLPOSTMESSAGE : 0, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke == WAIT_OBJECT_0 + 1 && messages) {
            messages = hook->OnMessage();
        } else if (woke == WAIT_TIMEOUT && chores && left() > 0) {
            chores = hook->OnChore();
        } else {
            break;  // the bound, or a wait that failed
        }
    }
    return WaitForSingleObject(done, left()) == WAIT_OBJECT_0;
}

}  // namespace

void ApplyTimeouts(HINTERNET handle) noexcept {
    DWORD timeout = kTimeoutMs;
    constexpr DWORD kOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                                  INTERNET_OPTION_SEND_TIMEOUT};
    for (DWORD option : kOptions) InternetSetOptionW(handle, option, &timeout, sizeof(timeout));
}

AttemptRunner::~AttemptRunner() { Retire(); }

void AttemptRunner::Retire() noexcept {
    if (thread_ == nullptr) return;
    thread_->Quit();
    thread_->Release();
    thread_ = nullptr;
}

AttemptOutcome AttemptRunner::Make(AttemptRequest request, DWORD bound_ms,
                                   AttemptWaitHook* while_waiting) noexcept {
    Attempt* attempt = new (std::nothrow) Attempt(std::move(request));
    if (attempt == nullptr) return AttemptOutcome{false, 0, ERROR_NOT_ENOUGH_MEMORY};
    if (thread_ == nullptr) {
        auto* thread = new (std::nothrow) Thread;
        if (thread != nullptr && thread->work && thread->done) {
            thread->module = ReferenceModuleOf(reinterpret_cast<const void*>(&RunAttempts));
            const KernelHandle handle(CreateThread(nullptr, 0, RunAttempts, thread, 0, nullptr));
            if (handle) {
                thread_ = thread;
            } else {
                if (thread->module != nullptr) FreeLibrary(thread->module);
                delete thread;
            }
        } else {
            delete thread;
        }
    }
    if (thread_ == nullptr) {
        // No thread to spare: the attempt runs here, bounded only by the time-outs.
        attempt->Run();
        const AttemptOutcome outcome = attempt->outcome();
        delete attempt;
        return outcome;
    }
    const HANDLE done = thread_->done.get();
    thread_->Hand(attempt);
    const bool finished = WaitForAttempt(done, bound_ms, while_waiting);
    if (!finished) {
        // The thread stays with the attempt until its call returns; the next attempt gets a
        // thread of its own.
        attempt->Abandon();
        Retire();
    }
    // Past the bound an attempt still counts as delivered if its "200" had arrived.
    AttemptOutcome outcome = attempt->outcome();
    if (!finished && !outcome.delivered && outcome.status == 0) {
        outcome.error = ERROR_INTERNET_TIMEOUT;
    }
    attempt->Release();
    return outcome;
}

bool MakeBoundedAttempt(AttemptRequest request, DWORD bound_ms) noexcept {
    AttemptRunner runner;
    return runner.Make(std::move(request), bound_ms).delivered;
}

}  // namespace mirto
