// One delivery attempt's handles and threads, also when it outlives its bound: which handles it
// closes and in which order, that no call runs on a closed handle, that the session outlives the
// attempts under it, how many threads attempts hold, and that an outcome is read whole. The
// WinINet calls an attempt makes are replaced, through this program's import table, by
// stand-ins that record them or hold the attempt's thread where a real call could be held (a
// collector that answers slowly, a thread preempted at the wrong moment), so the moment the
// waiting side gives up can be placed exactly: between the check that lets a call start and the
// call itself, or while the status "200" is being read. Nothing listens on port 1, so every real
// call that gets through fails at once.
#include <windows.h>

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <gtest/gtest.h>
#include <set>
#include <utility>
#include <vector>

#include "support/import_patch.h"
#include "support/threads.h"
#include "transport/attempt.h"
#include "transport/attempt_threads.h"
#include "transport/protocol.h"

namespace {

using mirto_test::ImportPatch;

DWORD test_thread = 0;

bool OnAttemptThread() { return GetCurrentThreadId() != test_thread; }

// The attempts' threads: those that start in this program's own code (the library's code is
// linked in), other than the test's.
std::set<DWORD> AttemptThreads() {
    std::set<DWORD> threads = mirto_test::ThreadsStartedIn(GetModuleHandleW(nullptr));
    threads.erase(test_thread);
    return threads;
}

// Waits until every attempt thread has ended; false when some still run after `timeout_ms`.
bool WaitForAttemptThreadsToEnd(DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!AttemptThreads().empty()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
    return true;
}

mirto::SharedSession OpenSession() {
    return mirto::SharedSession::Adopt(InternetOpenW(
        L"abandoned-attempt-test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
}

// An attempt at port 1 of this machine, where nothing listens.
mirto::AttemptRequest RequestTo(const mirto::SharedSession& session) {
    return mirto::AttemptRequest{session, L"localhost", 1, L"/event",
                                 L"",     "x",          0, mirto::kSecureRequestFlags};
}

// One attempt on a runner of its own, bounded to `bound_ms`.
mirto::AttemptOutcome AttemptOnce(const mirto::SharedSession& session, DWORD bound_ms) {
    mirto::AttemptRunner runner;
    return runner.Make(RequestTo(session), bound_ms);
}

// Handles closed so far (and their kinds), and calls that started on one of them.
SRWLOCK record_lock = SRWLOCK_INIT;
std::vector<HINTERNET> closed;
std::vector<DWORD> closed_types;
std::atomic<int> calls_on_closed{0};
ImportPatch* close_patch = nullptr;
ImportPatch* send_patch = nullptr;
std::atomic<DWORD> send_pause_ms{0};

bool WasClosed(HINTERNET handle) {
    AcquireSRWLockShared(&record_lock);
    const bool was = std::find(closed.begin(), closed.end(), handle) != closed.end();
    ReleaseSRWLockShared(&record_lock);
    return was;
}

BOOL WINAPI RecordedClose(HINTERNET handle) {
    DWORD type = 0;
    DWORD size = sizeof(type);
    InternetQueryOptionW(handle, INTERNET_OPTION_HANDLE_TYPE, &type, &size);
    AcquireSRWLockExclusive(&record_lock);
    closed.push_back(handle);
    closed_types.push_back(type);
    ReleaseSRWLockExclusive(&record_lock);
    return close_patch->original<decltype(&InternetCloseHandle)>()(handle);
}

std::atomic<int> sends{0};

// The attempt's thread is held for send_pause_ms just before the real call starts, as a thread
// preempted between the check that let the call start and the call itself would be.
BOOL WINAPI SendAfterAPause(HINTERNET request, LPCWSTR headers, DWORD headers_length, LPVOID body,
                            DWORD body_length) {
    ++sends;
    Sleep(send_pause_ms.load());
    if (WasClosed(request)) ++calls_on_closed;
    return send_patch->original<decltype(&HttpSendRequestW)>()(request, headers, headers_length,
                                                               body, body_length);
}

class HeldSends {
   public:
    explicit HeldSends(DWORD pause_ms)
        : close_("wininet.dll", "InternetCloseHandle", reinterpret_cast<void*>(&RecordedClose)),
          send_("wininet.dll", "HttpSendRequestW", reinterpret_cast<void*>(&SendAfterAPause)) {
        test_thread = GetCurrentThreadId();
        closed.clear();
        closed_types.clear();
        calls_on_closed = 0;
        sends = 0;
        send_pause_ms = pause_ms;
        close_patch = &close_;
        send_patch = &send_;
    }

   private:
    ImportPatch close_;
    ImportPatch send_;
};

TEST(AttemptHandles, TheRequestIsClosedBeforeItsConnection) {
    const mirto::SharedSession session = OpenSession();
    ASSERT_TRUE(session);
    const HeldSends recorded(0);
    // Nothing listens on port 1: the attempt fails at once, after opening both handles.
    mirto::AttemptRequest request = RequestTo(session);
    request.connect_flags = mirto::kFirstAttemptConnectFlags;
    request.request_flags = mirto::kSecureRequestFlags;
    EXPECT_FALSE(mirto::MakeBoundedAttempt(std::move(request), mirto::kAttemptBoundMs));
    EXPECT_EQ(closed_types, (std::vector<DWORD>{INTERNET_HANDLE_TYPE_HTTP_REQUEST,
                                                INTERNET_HANDLE_TYPE_CONNECT_HTTP}));
}

TEST(AbandonedAttempt, NoCallEverStartsOnAHandleThatWasClosed) {
    const mirto::SharedSession session = OpenSession();
    {
        const HeldSends held(300);
        // Given up after 100 ms, while its thread is about to send.
        const mirto::AttemptOutcome outcome = AttemptOnce(session, 100);
        EXPECT_FALSE(outcome.delivered);
        EXPECT_EQ(outcome.error, static_cast<std::uint32_t>(ERROR_INTERNET_TIMEOUT));
        ASSERT_TRUE(WaitForAttemptThreadsToEnd(15000));
        EXPECT_EQ(sends.load(), 1);
        EXPECT_EQ(calls_on_closed.load(), 0) << "a call ran on a handle closed under it";
        // The attempt closed both of its handles, each once.
        const std::set<HINTERNET> distinct(closed.begin(), closed.end());
        EXPECT_EQ(closed.size(), 2u);
        EXPECT_EQ(distinct.size(), closed.size());
    }
}

TEST(AbandonedAttempt, TheSessionIsClosedOnlyAfterTheHandlesOfAnAttemptUnderIt) {
    const HeldSends held(300);
    {
        // The client's hold, let go as the worker's delivery ends while the attempt it gave up
        // still runs.
        const mirto::SharedSession session = OpenSession();
        EXPECT_FALSE(AttemptOnce(session, 100).delivered);
    }
    ASSERT_TRUE(WaitForAttemptThreadsToEnd(15000));
    EXPECT_EQ(closed_types, (std::vector<DWORD>{INTERNET_HANDLE_TYPE_HTTP_REQUEST,
                                                INTERNET_HANDLE_TYPE_CONNECT_HTTP,
                                                INTERNET_HANDLE_TYPE_INTERNET}));
    EXPECT_EQ(calls_on_closed.load(), 0);
}

TEST(AbandonedAttempt, AtMostFourAttemptThreadsLiveAndFurtherAttemptsFailAtOnce) {
    const mirto::SharedSession session = OpenSession();
    {
        const HeldSends held(2000);
        mirto::AttemptRunner runner;
        std::size_t most = 0;
        int refused = 0;
        for (int i = 0; i < 8; ++i) {
            const mirto::AttemptOutcome outcome = runner.Make(RequestTo(session), 50);
            EXPECT_FALSE(outcome.delivered);
            if (outcome.error == ERROR_TOO_MANY_TCBS) ++refused;
            most = std::max(most, AttemptThreads().size());
        }
        EXPECT_LE(most, mirto::kMaxAttemptThreads)
            << "threads of abandoned attempts are not bounded";
        EXPECT_EQ(refused, 4) << "four attempts had a thread, the other four none";
        EXPECT_EQ(sends.load(), 4) << "an attempt without a thread reached the network";
    }
    // Each held thread ends once its call returns.
    EXPECT_TRUE(WaitForAttemptThreadsToEnd(15000));
}

// Stand-ins for an answer "200" that arrives without a network, and a comparison of the status
// text that takes longer than the bound (the only thing between reading the status and
// publishing it).
ImportPatch* length_patch = nullptr;

std::atomic<int> lengths_of_200{0};

// The first length taken of the status text copies it; the second compares it with "200".
std::size_t __cdecl SlowLengthOf200(const wchar_t* text) {
    if (OnAttemptThread() && std::wcsncmp(text, L"200", 4) == 0 && ++lengths_of_200 == 2) {
        Sleep(300);
    }
    return length_patch->original<std::size_t(__cdecl*)(const wchar_t*)>()(text);
}

BOOL WINAPI SentWithoutNetwork(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD) { return TRUE; }

BOOL WINAPI Status200(HINTERNET, DWORD, LPVOID buffer, LPDWORD size, LPDWORD) {
    std::wcscpy(static_cast<wchar_t*>(buffer), L"200");
    *size = 3 * sizeof(wchar_t);
    return TRUE;
}

BOOL WINAPI NothingMoreToRead(HINTERNET, LPDWORD available, DWORD, DWORD_PTR) {
    *available = 0;
    return TRUE;
}

TEST(AbandonedAttempt, AStatusReadAsTheBoundPassesIsNeverA200CountedAsAFailure) {
    const mirto::SharedSession session = OpenSession();
    test_thread = GetCurrentThreadId();
    lengths_of_200 = 0;
    ImportPatch send("wininet.dll", "HttpSendRequestW",
                     reinterpret_cast<void*>(&SentWithoutNetwork));
    ImportPatch status("wininet.dll", "HttpQueryInfoW", reinterpret_cast<void*>(&Status200));
    ImportPatch available("wininet.dll", "InternetQueryDataAvailable",
                          reinterpret_cast<void*>(&NothingMoreToRead));
    ImportPatch length("msvcrt.dll", "wcslen", reinterpret_cast<void*>(&SlowLengthOf200));
    length_patch = &length;
    const mirto::AttemptOutcome outcome = AttemptOnce(session, 100);
    // Either the whole answer ("200": delivered) or none of it (an attempt cut off): a status
    // of 200 that is not delivered would be sent again as if no answer had come, uncounted.
    EXPECT_TRUE(outcome.delivered || outcome.status == 0)
        << "status " << outcome.status << ", delivered " << outcome.delivered;
    EXPECT_TRUE(WaitForAttemptThreadsToEnd(15000));
}

}  // namespace
