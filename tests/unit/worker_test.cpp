// The worker and its queue, with the library's code linked into the test so the worker's
// counts, the host slot and the report context can be read. No start succeeds here (the first
// start is refused), so every handler stops at its precondition and writes its line on the
// worker: those lines show what ran, where and in which order, without any network. Each test
// of the worker runs in a process of its own (RanInFreshProcess), so none depends on what
// another one started or counted.
#include "core/worker.h"

#include <windows.h>

#include <wininet.h>

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

#include "core/consent.h"
#include "core/host_slot.h"
#include "core/operations.h"
#include "mirto/mirto.h"
#include "reports/report_state.h"
#include "support/allocation_count.h"
#include "support/debug_capture.h"
#include "support/import_patch.h"
#include "support/process.h"
#include "support/threads.h"

namespace {

using mirto_test::DebugCapture;
using mirto_test::DebugLine;
using mirto_test::RunOnThreads;
using Lines = std::vector<std::string>;

const std::string kNeedStart = "Mirto: need call OnStart first\r\n";
const std::string kNeedStartAndUser = "Mirto: need call OnStart && SetUser first\r\n";

bool WaitForPending(std::int32_t value, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (mirto::PendingOperations() != value) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(2);
    }
    return true;
}

DWORD WorkerId() { return mirto::WorkerThreadId(); }

// Starts the worker the way a refused first start does; the refusal line is not kept.
void StartWorkerWithRefusedStart() {
    {
        DebugCapture refusal;
        mirto::OnStart(nullptr, nullptr, nullptr);
    }
    ASSERT_NE(WorkerId(), 0u);
}

TEST(Worker, ConcurrentFirstStartsStartExactlyOneWorker) {
    if (mirto_test::RanInFreshProcess()) return;
    DebugCapture capture;
    ASSERT_EQ(WorkerId(), 0u);
    const std::set<DWORD> threads_before = mirto_test::OwnThreadIds();

    constexpr int kCallers = 16;
    std::atomic<int> ready{0};
    RunOnThreads(kCallers, [&ready](int) {
        ++ready;
        while (ready.load() < kCallers) {
        }
        mirto::OnStart(nullptr, nullptr, nullptr);  // starts the worker, then is refused
    });

    ASSERT_NE(WorkerId(), 0u);
    // Exactly one new thread, and it is the worker.
    std::set<DWORD> added;
    for (DWORD id : mirto_test::OwnThreadIds()) {
        if (threads_before.count(id) == 0) added.insert(id);
    }
    EXPECT_EQ(added, std::set<DWORD>{WorkerId()}) << "one worker and nothing else";
    std::size_t refusals = 0;
    for (const auto& line : capture.Lines()) {
        EXPECT_EQ(line.text, "Mirto: OnStart failed, params error\r\n");
        ++refusals;
    }
    EXPECT_EQ(refusals, static_cast<std::size_t>(kCallers));
    EXPECT_EQ(mirto::PendingOperations(), 0);
}

TEST(Worker, RunsOperationsOnOneThreadInPostingOrderAndCountsThemDown) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    DebugCapture capture;
    mirto::SetLevel(1);
    mirto::SetServer(L"s1");
    mirto::SetUser(L"u9", nullptr);
    mirto::OnCharge(nullptr, nullptr, 1, nullptr, 0, nullptr);
    mirto::SetLevel(2);
    mirto::SetUser(L"u10", L"n");
    UnitySetServer("s2");
    ASSERT_TRUE(WaitForPending(0, 10000));
    ASSERT_TRUE(capture.WaitForOtherLines(7, 10000));

    EXPECT_EQ(capture.OwnLines(), Lines{}) << "all seven were accepted";
    EXPECT_EQ(capture.LinesOf(WorkerId()),
              (Lines{kNeedStartAndUser, kNeedStartAndUser, kNeedStart, kNeedStartAndUser,
                     kNeedStartAndUser, kNeedStart, kNeedStartAndUser}));
    // The refused handlers changed nothing.
    EXPECT_TRUE(mirto::CurrentReports().user.empty());
}

TEST(Worker, OtherThreadMessagesLeaveTheCountAlone) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    DebugCapture capture;
    ASSERT_TRUE(PostThreadMessageW(WorkerId(), WM_APP + 7, 1, 2));
    ASSERT_TRUE(PostThreadMessageW(WorkerId(), WM_NULL, 0, 0));
    // Operation ids that another component (or process) posts: a stray address, a record the
    // library never posted, a first parameter that is not 0. None is an operation.
    auto* unposted = new mirto::SetLevelRecord{5};
    for (UINT code = mirto::kOpOnStart; code <= mirto::kOpOnCharge; ++code) {
        ASSERT_TRUE(PostThreadMessageW(WorkerId(), code, 0, 0x10));
        ASSERT_TRUE(PostThreadMessageW(WorkerId(), code, 0, reinterpret_cast<LPARAM>(unposted)));
        ASSERT_TRUE(PostThreadMessageW(WorkerId(), code, 1, reinterpret_cast<LPARAM>(unposted)));
    }
    // Nor does a quit message that the library did not post end the worker, nor a refusal
    // under the decision's id (with parameters of its own, or as the library would post the
    // next serial, refused) turn the player's grant behind it into a refusal.
    ASSERT_TRUE(PostThreadMessageW(WorkerId(), WM_QUIT, 0, 0));
    ASSERT_TRUE(PostThreadMessageW(WorkerId(), mirto::kOpConsent, 1,
                                   static_cast<LPARAM>(mirto::Decision::kRefused)));
    ASSERT_TRUE(PostThreadMessageW(
        WorkerId(), mirto::kOpConsent, 0,
        static_cast<LPARAM>(mirto::DecisionToken(1, mirto::Decision::kRefused))));
    mirto::SetConsent(true);
    mirto::SetLevel(3);  // still served after the foreign messages
    ASSERT_TRUE(capture.WaitForOtherLines(1, 10000));
    EXPECT_TRUE(WaitForPending(0, 10000));
    mirto::SetLevel(4);
    EXPECT_TRUE(mirto::Flush(10000)) << "the operations queued after the quit message were lost";
    EXPECT_EQ(capture.LinesOf(WorkerId()), (Lines{kNeedStartAndUser, kNeedStartAndUser}));
    EXPECT_EQ(mirto::PendingOperations(), 0);
    EXPECT_EQ(mirto::CurrentConsentState(), mirto::ConsentState::kGranted);
    delete unposted;  // the worker never took it
}

TEST(Worker, ManyGameThreadsQueueWithoutLossAndTheCountReturnsToZero) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    DebugCapture capture;
    constexpr int kThreads = 8;
    constexpr int kCallsEach = 50;
    RunOnThreads(kThreads, [](int) {
        for (int i = 0; i < kCallsEach; ++i) mirto::SetLevel(i);
    });
    ASSERT_TRUE(WaitForPending(0, 30000));
    // 400 operations never exceed the limit of 500, so none may be refused or lost.
    EXPECT_EQ(capture.LinesOf(WorkerId()).size(), static_cast<std::size_t>(kThreads * kCallsEach));
    for (const auto& line : capture.Lines()) EXPECT_EQ(line.text, kNeedStartAndUser);
}

TEST(Worker, ADrainedBurstGivesBackEveryAllocation) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    // Every kind of operation, with texts, from several game threads; each is refused on the
    // worker (no start succeeded), which frees its record.
    const auto burst = [] {
        RunOnThreads(4, [](int thread) {
            for (int i = 0; i < 100; ++i) {
                mirto::SetLevel(thread * 1000 + i);
                mirto::SetServer(L"server-with-a-longer-name");
                mirto::SetUser(L"user", L"name");
                mirto::OnCharge(L"order", L"product", 1, L"EUR", 0, L"card");
                UnitySetServer("s");
            }
        });
        return WaitForPending(0, 30000);
    };
    ASSERT_TRUE(burst());  // first use: whatever the worker and the runtime keep for good
    Sleep(100);            // the last record is freed just after the count reached zero
    long seen = 0;
    const long before = mirto_test::LiveAllocations();
    ASSERT_TRUE(burst());
    EXPECT_TRUE(mirto_test::WaitForLiveAllocations(before, 5000, &seen))
        << "live allocations " << before << " before 2000 operations, " << seen << " after";
}

// The callers' allocations take a while, as they may when the heap is busy: every caller that
// got past the check for room is still copying its arguments when the others look.
mirto_test::ImportPatch* malloc_patch = nullptr;
constexpr int kRacers = 8;
std::atomic<DWORD> racers[kRacers];  // the callers' thread ids (no thread_local: it allocates)

void* __cdecl SlowMalloc(std::size_t size) {
    const DWORD self = GetCurrentThreadId();
    for (const auto& racer : racers) {
        if (racer.load() == self) Sleep(20);
    }
    return malloc_patch->original<void*(__cdecl*)(std::size_t)>()(size);
}

TEST(Worker, CallersRacingForTheLastPlacesNeverGetPastFiveHundred) {
    if (mirto_test::RanInFreshProcess()) return;
    DebugCapture capture;
    mirto::SetHost(L"unreachable.invalid");
    mirto::OnStart(mirto_test::FreshAppId(L"race", L"full").c_str(), nullptr, nullptr);
    ASSERT_TRUE(capture.WaitForOtherLines(1, 60000)) << "the start was not handled";
    // The start's report is retried for ever: the start stays pending, with 497 more.
    for (int i = 0; i < 497; ++i) mirto::SetLevel(i);
    ASSERT_EQ(mirto::PendingOperations(), 498);
    capture.Clear();
    constexpr int kCallers = kRacers;
    {
        mirto_test::ImportPatch patch("msvcrt.dll", "malloc", reinterpret_cast<void*>(&SlowMalloc));
        malloc_patch = &patch;
        std::atomic<int> ready{0};
        RunOnThreads(kCallers, [&ready](int index) {
            racers[index] = GetCurrentThreadId();
            ++ready;
            while (ready.load() < kCallers) {
            }
            mirto::SetLevel(1);
            racers[index] = 0;
        });
    }
    const std::vector<DebugLine> refused = capture.Lines();
    EXPECT_EQ(refused.size(), static_cast<std::size_t>(kCallers - 2)) << "two places were left";
    for (const auto& line : refused) {
        EXPECT_EQ(line.text, "Mirto: SetLevel failed, operation queue is full\r\n");
    }
    EXPECT_EQ(mirto::PendingOperations(), 500);
}

// The first report's attempt is held inside its send for a while, as a collector that answers
// slowly holds it; then the real call, to a port where nothing listens, fails at once.
mirto_test::ImportPatch* send_patch = nullptr;
std::atomic<bool> sending{false};

BOOL WINAPI SlowSend(HINTERNET request, LPCWSTR headers, DWORD headers_length, LPVOID body,
                     DWORD body_length) {
    sending = true;
    Sleep(700);
    return send_patch->original<decltype(&HttpSendRequestW)>()(request, headers, headers_length,
                                                               body, body_length);
}

TEST(Worker, ShutdownEndsEveryThreadOfTheLibraryAnAttemptInProgressIncluded) {
    if (mirto_test::RanInFreshProcess()) return;
    DebugCapture capture;
    mirto_test::ImportPatch patch("wininet.dll", "HttpSendRequestW",
                                  reinterpret_cast<void*>(&SlowSend));
    send_patch = &patch;
    mirto::OnStart(mirto_test::FreshAppId(L"end", L"held").c_str(), nullptr, nullptr);
    const ULONGLONG give_up = GetTickCount64() + 30000;
    while (!sending.load()) {
        ASSERT_LT(GetTickCount64(), give_up) << "no attempt was made";
        Sleep(5);
    }
    EXPECT_FALSE(mirto::Shutdown(0));
    // The library's threads start in its code, which is linked into this program.
    std::set<DWORD> left = mirto_test::ThreadsStartedIn(GetModuleHandleW(nullptr));
    left.erase(GetCurrentThreadId());
    EXPECT_EQ(left, std::set<DWORD>{}) << "a thread of the library outlived Shutdown";
    EXPECT_EQ(WorkerId(), 0u);
}

// The first refusal's post waits a while, as a thread that is preempted between taking its
// serial and posting does.
mirto_test::ImportPatch* post_patch = nullptr;
HANDLE refusal_posting = nullptr;

BOOL WINAPI SlowRefusalPost(DWORD thread, UINT message, WPARAM first, LPARAM second) {
    static std::atomic<bool> slowed{false};
    if (message == mirto::kOpConsent &&
        (static_cast<std::uintptr_t>(second) & 0xF) ==
            static_cast<std::uintptr_t>(mirto::Decision::kRefused) &&
        !slowed.exchange(true)) {
        SetEvent(refusal_posting);
        Sleep(300);
    }
    return post_patch->original<decltype(&PostThreadMessageW)>()(thread, message, first, second);
}

DWORD WINAPI Refuse(void*) {
    mirto::SetConsent(false);
    return 0;
}

TEST(Worker, DecisionsFromSeveralThreadsTakeEffectInTheOrderTheyWereMade) {
    if (mirto_test::RanInFreshProcess()) return;
    mirto::SetHost(L"unreachable.invalid");
    mirto::SetConsentRequired(true);
    mirto::OnStart(mirto_test::FreshAppId(L"order", L"decisions").c_str(), nullptr, nullptr);
    MirtoDeliveryStats stats{};
    const ULONGLONG held_by = GetTickCount64() + 10000;
    do {  // the start is held for the player's answer
        Sleep(20);
        stats.size = sizeof stats;
        mirto::GetDeliveryStats(&stats);
    } while (stats.operations_held == 0 && GetTickCount64() < held_by);
    ASSERT_EQ(stats.operations_held, 1u);
    refusal_posting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        mirto_test::ImportPatch patch("user32.dll", "PostThreadMessageW",
                                      reinterpret_cast<void*>(&SlowRefusalPost));
        post_patch = &patch;
        const HANDLE refuser = CreateThread(nullptr, 0, Refuse, nullptr, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(refusal_posting, 10000), WAIT_OBJECT_0);
        mirto::SetConsent(true);  // made after the refusal: it stands
        WaitForSingleObject(refuser, INFINITE);
        CloseHandle(refuser);
    }
    // The refusal kept the session's start, and the grant after it starts the session: its
    // device report is tried (and waits, as nothing answers).
    const ULONGLONG give_up = GetTickCount64() + 10000;
    do {
        Sleep(50);
        stats.size = sizeof stats;
        mirto::GetDeliveryStats(&stats);
    } while ((stats.attempts_failed == 0 ||
              mirto::CurrentConsentState() != mirto::ConsentState::kGranted) &&
             GetTickCount64() < give_up);
    EXPECT_GT(stats.attempts_failed, 0u) << "the granted session never started";
    EXPECT_EQ(mirto::CurrentConsentState(), mirto::ConsentState::kGranted);
}

// The system refuses to post decisions, as it does when the worker's queue is full.
BOOL WINAPI RefuseDecisionPosts(DWORD thread, UINT message, WPARAM first, LPARAM second) {
    if (message == mirto::kOpConsent) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return post_patch->original<decltype(&PostThreadMessageW)>()(thread, message, first, second);
}

void RefuseWithoutAPost() {
    mirto_test::ImportPatch patch("user32.dll", "PostThreadMessageW",
                                  reinterpret_cast<void*>(&RefuseDecisionPosts));
    post_patch = &patch;
    mirto::SetConsent(false);
}

TEST(Worker, ADecisionThatCouldNotBePostedIsTakenBeforeWhatIsMadeAfterIt) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    mirto::NoteStartQueued();  // as after an accepted start, which DeleteLocalData needs
    DebugCapture capture;
    RefuseWithoutAPost();
    mirto::SetLevel(1);  // made while the refusal stands: given up, so it writes nothing
    // A decision posted after it does not pass it by.
    mirto::SetConsent(true);
    EXPECT_TRUE(mirto::Flush(10000));
    EXPECT_EQ(capture.LinesOf(WorkerId()), Lines{});
    EXPECT_EQ(mirto::CurrentConsentState(), mirto::ConsentState::kGranted);
    // Nor does a deletion, which leaves nothing decided.
    RefuseWithoutAPost();
    EXPECT_TRUE(mirto::DeleteLocalData(10000));
    EXPECT_TRUE(mirto::Flush(10000));
    EXPECT_EQ(mirto::CurrentConsentState(), mirto::ConsentState::kNotAsked);
}

// A game's log callback, on the worker for its lines: it calls what waits for the worker.
struct FromTheCallback {
    std::atomic<int> deleted{-1};
    std::atomic<int> shut_down{-1};
};

void MIRTO_CALL CallWaitingFunctions(const char*, void* context) {
    auto* results = static_cast<FromTheCallback*>(context);
    if (GetCurrentThreadId() != WorkerId() || results->deleted.load() != -1) return;
    results->deleted = mirto::DeleteLocalData(60000) ? 1 : 0;
    results->shut_down = mirto::Shutdown(60000) ? 1 : 0;
}

TEST(Worker, FunctionsThatWaitForTheWorkerDoNotWaitWhenCalledOnIt) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    mirto::NoteStartQueued();  // as after an accepted start, which DeleteLocalData needs
    FromTheCallback results;
    mirto::SetLogCallback(CallWaitingFunctions, &results);
    mirto::SetLevel(1);  // its line is written on the worker
    // Neither call held the worker: it goes on at once (the deletion is carried out after the
    // callback returns), and it still runs.
    EXPECT_TRUE(mirto::Flush(10000));
    mirto::SetLogCallback(nullptr, nullptr);
    EXPECT_EQ(results.deleted.load(), 0);
    EXPECT_EQ(results.shut_down.load(), 0);
    EXPECT_NE(WorkerId(), 0u);
}

// A worker line whose callback takes longer than Shutdown waits for the worker to end.
void MIRTO_CALL SlowCallbackOnTheWorker(const char*, void*) {
    if (GetCurrentThreadId() == WorkerId()) Sleep(1500);
}

TEST(Worker, AWorkerThatOutlivedItsShutdownNoLongerCountsAsStartedOnceEnded) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    mirto::SetLogCallback(SlowCallbackOnTheWorker, nullptr);
    mirto::SetLevel(1);
    Sleep(100);  // the worker is inside the callback
    EXPECT_FALSE(mirto::Shutdown(0));
    Sleep(3000);  // it has ended since
    mirto::SetLogCallback(nullptr, nullptr);
    DebugCapture capture;
    mirto::SetConsentRequired(true);
    mirto::SetOutbox(false);
    EXPECT_EQ(capture.OwnLines(), Lines{}) << "both are taken before the next start";
    EXPECT_TRUE(mirto::ConsentRequired());
}

// The worker's last moments, after it has looked at its queue for the last time, widened: its
// final CloseHandle waits a little.
mirto_test::ImportPatch* close_patch = nullptr;
std::atomic<DWORD> ending_worker{0};
HANDLE last_moments = nullptr;

BOOL WINAPI SlowCloseOnTheEndingWorker(HANDLE handle) {
    if (GetCurrentThreadId() == ending_worker.load()) {
        ending_worker = 0;
        SetEvent(last_moments);
        Sleep(300);
    }
    return close_patch->original<decltype(&CloseHandle)>()(handle);
}

DWORD WINAPI ShutdownNow(void*) { return mirto::Shutdown(5000) ? 1 : 0; }

TEST(Worker, ADecisionMadeAsTheWorkerEndsLeavesNothingPending) {
    if (mirto_test::RanInFreshProcess()) return;
    StartWorkerWithRefusedStart();
    last_moments = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        mirto_test::ImportPatch patch("kernel32.dll", "CloseHandle",
                                      reinterpret_cast<void*>(&SlowCloseOnTheEndingWorker));
        close_patch = &patch;
        ending_worker = WorkerId();
        const HANDLE shutdown = CreateThread(nullptr, 0, ShutdownNow, nullptr, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(last_moments, 10000), WAIT_OBJECT_0);
        mirto::SetConsent(false);                    // the player refuses while the worker ends
        EXPECT_FALSE(mirto::DeleteLocalData(2000));  // no worker takes it: false, at once
        WaitForSingleObject(shutdown, INFINITE);
        CloseHandle(shutdown);
    }
    ASSERT_EQ(WorkerId(), 0u);
    // A new session takes the refusal, and the player changes their mind.
    StartWorkerWithRefusedStart();
    EXPECT_EQ(mirto::CurrentConsentState(), mirto::ConsentState::kRefused);
    mirto::SetConsent(true);
    EXPECT_TRUE(mirto::Flush(3000)) << "Flush waits for a decision no worker will take";
    DebugCapture capture;
    mirto::SetLevel(2);
    EXPECT_TRUE(capture.WaitForOtherLines(1, 5000)) << "granted, yet the operation was given up";
}

TEST(Host, ConcurrentWritersAndReadersAlwaysSeeAWholeHost) {
    const std::wstring hosts[] = {std::wstring(128, L'a'), L"b.test", std::wstring(100, L'c')};
    constexpr int kWriters = 3;
    std::atomic<int> writers_done{0};
    std::atomic<int> readers_started{0};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    mirto::SetHost(hosts[1].c_str());  // what the readers may see before the first write
    RunOnThreads(2 * kWriters, [&](int index) {
        if (index < kWriters) {
            // On a busy machine the writers could otherwise be done before a reader has run.
            while (readers_started.load() < kWriters) Sleep(0);
            for (int i = 0; i < 20000; ++i) {
                mirto::SetHost(hosts[static_cast<std::size_t>(index + i) % 3].c_str());
            }
            ++writers_done;
            return;
        }
        ++readers_started;
        while (writers_done.load() < kWriters) {
            const std::wstring seen = mirto::CollectionHost().Get();
            if (seen != hosts[0] && seen != hosts[1] && seen != hosts[2]) ++torn;
            ++reads;
        }
    });
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST(Host, RefusedHostKeepsThePreviousOne) {
    if (mirto_test::RanInFreshProcess()) return;
    DebugCapture capture;
    mirto::SetHost(L"kept.test");
    mirto::SetHost(nullptr);
    mirto::SetHost(L"");
    mirto::SetHost(std::wstring(129, L'x').c_str());
    EXPECT_EQ(mirto::CollectionHost().Get(), L"kept.test");
    EXPECT_EQ(capture.OwnLines().size(), 3u);
}

}  // namespace
