// One bounded attempt: the attempt object shared by the waiting thread and the attempt's own
// thread, and the thread that runs it.
#include "transport/attempt.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <new>
#include <optional>
#include <utility>

#include "transport/attempt_threads.h"
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

bool IsSet(HANDLE event) noexcept {
    return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// An outcome in one 64-bit word, so that it is published and read whole: bit 63 delivered,
// bits 32 to 47 the status, bits 0 to 31 the error.
std::uint64_t Packed(bool delivered, std::uint32_t status, std::uint32_t error) noexcept {
    return (delivered ? std::uint64_t{1} << 63 : 0) |
           static_cast<std::uint64_t>(status & 0xFFFFu) << 32 | error;
}

AttemptOutcome Unpacked(std::uint64_t packed) noexcept {
    AttemptOutcome outcome;
    outcome.delivered = (packed >> 63) != 0;
    outcome.status = static_cast<std::uint32_t>(packed >> 32) & 0xFFFFu;
    outcome.error = static_cast<std::uint32_t>(packed);
    return outcome;
}

// Shared by the waiting thread and the attempt's thread; whichever lets go last deletes it,
// and with it the attempt's hold on the session.
class Attempt {
   public:
    explicit Attempt(AttemptRequest request) : request_(std::move(request)) {}

    // What is known of the attempt now: all of its answer or none of it.
    AttemptOutcome outcome() const noexcept { return Unpacked(outcome_.load()); }

    void Release() noexcept {
        if (references_.fetch_sub(1) == 1) delete this;
    }

    // The attempt itself, on whichever thread runs it.
    void Run() noexcept { RunOnConnection(); }

    // From the waiting thread, once it has given the attempt up: no further call is started.
    // The call in progress, if any, is left to end by itself; the attempt's thread then closes
    // its handles.
    void Abandon() noexcept { abandoned_.store(true); }

   private:
    // Both handles are closed when this returns, the request first.
    void RunOnConnection() noexcept {
        const InternetHandle connection(
            InternetConnectW(request_.session.get(), request_.host.c_str(), request_.port, nullptr,
                             nullptr, INTERNET_SERVICE_HTTP, request_.connect_flags, 0));
        if (!connection) {
            Fail(GetLastError());
            return;
        }
        const InternetHandle handle(HttpOpenRequestW(connection.get(), L"POST",
                                                     request_.path.c_str(), nullptr, nullptr,
                                                     nullptr, request_.request_flags, 0));
        if (!handle) {
            Fail(GetLastError());
            return;
        }
        Exchange(handle.get());
    }

    void Fail(DWORD error) noexcept { outcome_.store(Packed(false, 0, error)); }

    // Runs call(handle) unless the attempt was given up; false when it was or the call failed
    // (then with the system's error in *error).
    template <typename Call>
    bool Step(HINTERNET handle, Call call, DWORD* error) noexcept {
        if (abandoned_.load()) return false;
        if (call(handle) != FALSE) return true;
        *error = GetLastError();
        return false;
    }

    // The attempt is published delivered as soon as the status is "200", before anything else
    // is read, so an answer whose body never ends counts as delivered even when the bound cuts
    // it off; and only then, whole, so the waiting side never sees a status without its
    // verdict.
    void Exchange(HINTERNET handle) noexcept {
        // Wine takes the receive and send time-outs only from the request handle (Windows
        // inherits them from the session), so a collector that stops answering still ends each
        // wait after 5 s everywhere.
        ApplyTimeouts(handle);
        const bool has_body = !request_.body.empty();
        DWORD error = 0;
        const bool sent = Step(
            handle,
            [&](HINTERNET h) {
                return HttpSendRequestW(
                    h, request_.headers.c_str(), static_cast<DWORD>(request_.headers.size()),
                    // WinINet only reads the body.
                    has_body ? const_cast<char*>(request_.body.data()) : nullptr,
                    static_cast<DWORD>(request_.body.size()));
            },
            &error);
        if (!sent) {
            if (error != 0) Fail(error);
            return;
        }
        std::optional<std::wstring> status;
        const bool answered = Step(
            handle,
            [&status](HINTERNET h) {
                status = StatusText(h);
                return status ? TRUE : FALSE;
            },
            &error);
        if (!answered) {
            if (error != 0) Fail(error);
            return;
        }
        // The status is compared as text, exactly "200"; the number is kept for the counters.
        const bool delivered = *status == L"200";
        outcome_.store(Packed(
            delivered, static_cast<std::uint32_t>(std::wcstoul(status->c_str(), nullptr, 10)), 0));
        if (!delivered) return;
        // The availability query is still made, but its outcome (a body that never comes, a
        // connection closed after the head, a bound reached while it reads) no longer matters.
        Step(
            handle,
            [](HINTERNET h) {
                DWORD available = 0;
                return InternetQueryDataAvailable(h, &available, 0, 0);
            },
            &error);
    }

    const AttemptRequest request_;
    std::atomic<int> references_{2};
    // Until the attempt says otherwise, it timed out: what the waiting side reads past the bound.
    std::atomic<std::uint64_t> outcome_{Packed(false, 0, ERROR_INTERNET_TIMEOUT)};
    std::atomic<bool> abandoned_{false};
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

// Once the hook has no chore to do, the least pause before it is asked again, whatever it says
// is due: one that said "now" and did nothing (short of memory, say) is not asked in a spin.
constexpr DWORD kLeastChorePauseMs = 10;

// Waits for `done` at most `bound_ms`, or until `stop` is set; true when `done` was set. With a
// hook, the waiting thread handles its messages and does its chores meanwhile, one at a time.
bool WaitForAttempt(HANDLE done, DWORD bound_ms, AttemptWaitHook* hook, HANDLE stop) noexcept {
    const ULONGLONG deadline = GetTickCount64() + bound_ms;
    auto left = [deadline]() -> DWORD {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };
    const HANDLE events[] = {done, stop};
    const DWORD count = stop != nullptr ? 2 : 1;
    const DWORD input = WAIT_OBJECT_0 + count;
    bool messages = true;
    bool chores = true;
    while (hook != nullptr) {
        // With chores to do, only a look; otherwise a wait for the attempt, a message, or the
        // next chore to fall due (a flush of the outbox's marks, say: an attempt may wait for
        // its answer far longer than that may wait).
        DWORD wait = 0;
        if (!chores) {
            const DWORD due = std::max(hook->ChoreDueInMs(), kLeastChorePauseMs);
            if (!messages && due >= left()) break;
            wait = std::min(due, left());
        }
        const DWORD woke = MsgWaitForMultipleObjectsEx(
            count, events, wait, messages ? QS_ALLPOSTMESSAGE : 0, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke == input && messages) {
            messages = hook->OnMessage();
        } else if (woke == WAIT_TIMEOUT && left() > 0) {
            chores = hook->OnChore();
        } else {
            break;  // the bound, the stop event, or a wait that failed
        }
    }
    if (IsSet(stop)) return WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
    return WaitForMultipleObjects(count, events, FALSE, left()) == WAIT_OBJECT_0;
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
                                   AttemptWaitHook* while_waiting, HANDLE stop) noexcept {
    if (IsSet(stop)) return AttemptOutcome{false, 0, ERROR_INTERNET_OPERATION_CANCELLED};
    Attempt* attempt = new (std::nothrow) Attempt(std::move(request));
    if (attempt == nullptr) return AttemptOutcome{false, 0, ERROR_NOT_ENOUGH_MEMORY};
    bool inline_attempt = false;
    if (thread_ == nullptr) {
        auto* thread = new (std::nothrow) Thread;
        AttemptThreadStart started = AttemptThreadStart::kRefused;
        if (thread != nullptr && thread->work && thread->done) {
            // A thread that could not hold the library would run its code after an unload:
            // without a reference the attempt runs here instead.
            thread->module = ReferenceModuleOf(reinterpret_cast<const void*>(&RunAttempts));
            if (thread->module != nullptr) started = StartAttemptThread(RunAttempts, thread);
        }
        if (started == AttemptThreadStart::kStarted) {
            thread_ = thread;
        } else {
            if (thread != nullptr && thread->module != nullptr) FreeLibrary(thread->module);
            delete thread;
            if (started == AttemptThreadStart::kAtBound) {
                // Every thread to spare is held by an attempt given up earlier.
                delete attempt;
                return AttemptOutcome{false, 0, ERROR_TOO_MANY_TCBS};
            }
            inline_attempt = true;
        }
    }
    if (inline_attempt) {
        // The system cannot start a thread: the attempt runs here, bounded only by the
        // time-outs.
        attempt->Run();
        const AttemptOutcome outcome = attempt->outcome();
        delete attempt;
        return outcome;
    }
    const HANDLE done = thread_->done.get();
    thread_->Hand(attempt);
    const bool finished = WaitForAttempt(done, bound_ms, while_waiting, stop);
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
