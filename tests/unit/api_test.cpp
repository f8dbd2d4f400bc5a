// The exported functions of the shipped DLL, seen from a game: which calls are refused, with
// which debugger line, in which order of checks. Each test runs in a process of its own
// (RanInFreshProcess) and sets up what it needs there: nothing at all (before the worker
// exists), or a worker held in its first report (the collection host cannot be reached), so
// every accepted call stays pending and the queue can be filled for real.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "mirto/mirto.h"
#include "support/debug_capture.h"
#include "support/process.h"

namespace {

using Lines = std::vector<std::string>;

mirto_test::DebugCapture capture;

// Runs `call` on this thread and gives the lines it wrote here (refusals are synchronous).
template <typename Call>
Lines LinesOf(Call call) {
    return capture.OwnLinesOf(call);
}

template <typename Call>
void ExpectAccepted(Call call) {
    EXPECT_EQ(LinesOf(call), Lines{});
}

// Starts the worker and holds it in its first delivery: that start is the one pending operation.
void StartHeldWorker() {
    ASSERT_EQ(LinesOf([] { mirto::SetHost(L"unreachable.invalid"); }), Lines{});
    ASSERT_EQ(LinesOf([] { mirto::OnStart(L"held", L"", nullptr); }), Lines{});
    ASSERT_TRUE(capture.WaitForOtherLines(1, 60000)) << "the start handler wrote nothing";
}

std::wstring Text(std::size_t length, wchar_t fill = L'a') { return std::wstring(length, fill); }

const Lines kSetHostError{"Mirto: SetHost failed, params error\r\n"};
Lines Refusal(const char* function, const char* reason) {
    return {std::string("Mirto: ") + function + " failed, " + reason + "\r\n"};
}

TEST(BeforeStart, EveryQueueingCallIsRefusedForWantOfAWorkerWhateverItsArguments) {
    if (mirto_test::RanInFreshProcess()) return;
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(5); }),
              Refusal("SetLevel", "operation queue init failed"));
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(-1); }),
              Refusal("SetLevel", "operation queue init failed"));
    EXPECT_EQ(LinesOf([] { mirto::SetUser(nullptr, nullptr); }),
              Refusal("SetUser", "operation queue init failed"));
    EXPECT_EQ(LinesOf([] { mirto::SetServer(L"s1"); }),
              Refusal("SetServer", "operation queue init failed"));
    EXPECT_EQ(LinesOf([] { mirto::OnCharge(nullptr, nullptr, 0, nullptr, -1, nullptr); }),
              Refusal("OnCharge", "operation queue init failed"));
    EXPECT_EQ(LinesOf([] { UnitySetLevel(3); }),
              Refusal("SetLevel", "operation queue init failed"));
}

unsigned long long RefusedParams() {
    mirto::DeliveryStats stats{};
    stats.size = sizeof(stats);
    mirto::GetDeliveryStats(&stats);
    return stats.refused_params;
}

TEST(BeforeStart, SetHostChecksItsArgumentAndNeedsNoWorker) {
    if (mirto_test::RanInFreshProcess()) return;
    EXPECT_EQ(LinesOf([] { mirto::SetHost(nullptr); }), kSetHostError);
    EXPECT_EQ(LinesOf([] { mirto::SetHost(L""); }), kSetHostError);
    EXPECT_EQ(LinesOf([] { mirto::SetHost(Text(129).c_str()); }), kSetHostError);
    EXPECT_EQ(RefusedParams(), 3u) << "every refusal counts as a params error";
    EXPECT_EQ(LinesOf([] { mirto::SetHost(Text(128).c_str()); }), Lines{});
    EXPECT_EQ(RefusedParams(), 3u);
    // Reports of this process go nowhere: the worker stays in its first delivery.
    EXPECT_EQ(LinesOf([] { mirto::SetHost(L"unreachable.invalid"); }), Lines{});
}

TEST(Start, FirstOnStartStartsTheWorkerEvenWhenItsOwnArgumentsAreRefused) {
    if (mirto_test::RanInFreshProcess()) return;
    EXPECT_EQ(LinesOf([] { mirto::OnStart(nullptr, L"c", L"v"); }),
              Refusal("OnStart", "params error"));
    // The worker runs now: the next call gets past the worker check to its own argument check.
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(-1); }), Refusal("SetLevel", "params error"));
}

TEST(Start, AcceptedStartHoldsTheWorkerInItsFirstDelivery) {
    if (mirto_test::RanInFreshProcess()) return;
    ASSERT_EQ(LinesOf([] { mirto::SetHost(L"unreachable.invalid"); }), Lines{});
    // The application id is also the profile folder's name: 128 characters must be accepted.
    const std::wstring id = Text(128, L'i');
    ExpectAccepted([&] { mirto::OnStart(id.c_str(), L"", nullptr); });
    ASSERT_TRUE(capture.WaitForOtherLines(1, 60000)) << "the start handler wrote nothing";
    const Lines worker = capture.OtherLines();
    EXPECT_EQ(worker.front().rfind("Mirto: init succeed (0.0.3), game version: , appid: iiii", 0),
              0u)
        << worker.front();
}

// Loaded to slow every new thread's start: each thread's attach notification, which the loader
// runs holding its lock, sleeps for the time last given.
void SetThreadStartDelay(LONG milliseconds) {
    static HMODULE slow = LoadLibraryW(L"slow_thread_start.dll");
    ASSERT_NE(slow, nullptr);
    const auto set = reinterpret_cast<void (*)(LONG)>(
        reinterpret_cast<void (*)()>(GetProcAddress(slow, "SetThreadStartDelay")));
    ASSERT_NE(set, nullptr);
    set(milliseconds);
}

ULONGLONG start_called_at = 0;

struct LaterCall {
    HANDLE go;
    DWORD thread_id = 0;
    ULONGLONG returned_at = 0;
};

DWORD WINAPI CallSetLevelOneSecondLater(void* parameter) {
    auto* call = static_cast<LaterCall*>(parameter);
    call->thread_id = GetCurrentThreadId();
    WaitForSingleObject(call->go, INFINITE);
    Sleep(1000);
    mirto::SetLevel(1);
    call->returned_at = GetTickCount64();
    return 0;
}

DWORD WINAPI DoNothing(void*) { return 0; }

// Another thread's start holds the loader's lock for `held_ms` while the first start is made,
// and every thread's start (the worker's too, once it may begin) takes as long.
void StartWhileTheLoadersLockIsHeld(LONG held_ms) {
    ASSERT_EQ(LinesOf([] { mirto::SetHost(L"unreachable.invalid"); }), Lines{});
    LaterCall later{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    const HANDLE caller = CreateThread(nullptr, 0, CallSetLevelOneSecondLater, &later, 0, nullptr);
    ASSERT_NE(caller, nullptr);
    while (later.thread_id == 0) Sleep(1);
    SetThreadStartDelay(held_ms);
    const HANDLE holder = CreateThread(nullptr, 0, DoNothing, nullptr, 0, nullptr);
    Sleep(200);
    start_called_at = GetTickCount64();
    SetEvent(later.go);
    const Lines lines = LinesOf([] { mirto::OnStart(L"deadline", nullptr, nullptr); });
    const ULONGLONG start_returned_at = GetTickCount64();
    SetThreadStartDelay(0);
    WaitForSingleObject(caller, INFINITE);
    // The start, and the call that waited for it, end 5 s after the start was called: refused,
    // as the worker was not up by then.
    EXPECT_EQ(lines, Refusal("OnStart", "operation queue init failed"));
    EXPECT_GE(start_returned_at - start_called_at, 4900u);
    EXPECT_LE(start_returned_at - start_called_at, 5600u);
    EXPECT_EQ(capture.LinesOf(later.thread_id), Refusal("SetLevel", "operation queue init failed"));
    EXPECT_GE(later.returned_at - start_called_at, 4900u);
    EXPECT_LE(later.returned_at - start_called_at, 5600u);
    // Once the lock is free and the game starts again, calls are queued again.
    WaitForSingleObject(holder, INFINITE);
    const ULONGLONG give_up = GetTickCount64() + 10000;
    while (!LinesOf([] { mirto::SetLevel(2); }).empty()) {
        ASSERT_LT(GetTickCount64(), give_up) << "the worker never came up";
        LinesOf([] { mirto::OnStart(L"deadline", nullptr, nullptr); });
        Sleep(100);
    }
    for (HANDLE handle : {caller, holder, later.go}) CloseHandle(handle);
}

TEST(Start, EveryWaitForTheFirstStartEndsByTheStartsOwnDeadline) {
    if (mirto_test::RanInFreshProcess()) return;
    // The worker may start after 4 s, and its own start takes 4 s more.
    StartWhileTheLoadersLockIsHeld(4000);
}

TEST(Start, AStartWhileTheLoadersLockIsHeldPastItsDeadlineEndsByIt) {
    if (mirto_test::RanInFreshProcess()) return;
    // The worker's reference to the library, which takes the lock, cannot be had in time.
    StartWhileTheLoadersLockIsHeld(8000);
}

DWORD WINAPI LongShutdown(void*) { return mirto::Shutdown(3000) ? 1 : 0; }

TEST(Shutdown, ASecondShutdownWaitsNoLongerThanItsOwnTimeoutAndASecond) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    const HANDLE first = CreateThread(nullptr, 0, LongShutdown, nullptr, 0, nullptr);
    Sleep(200);
    const ULONGLONG called_at = GetTickCount64();
    EXPECT_FALSE(mirto::Shutdown(0));
    const ULONGLONG took = GetTickCount64() - called_at;
    EXPECT_GE(took, 900u);
    EXPECT_LE(took, 1300u) << "Shutdown(0) took " << took << " ms";
    WaitForSingleObject(first, INFINITE);
    CloseHandle(first);
}

TEST(Arguments, OnStartBounds) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    const Lines error = Refusal("OnStart", "params error");
    EXPECT_EQ(LinesOf([] { mirto::OnStart(L"", nullptr, nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::OnStart(Text(129).c_str(), nullptr, nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::OnStart(L"A1", Text(129).c_str(), nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::OnStart(L"A1", nullptr, Text(129).c_str()); }), error);
    ExpectAccepted([] { mirto::OnStart(L"A1", Text(128).c_str(), Text(128).c_str()); });
    ExpectAccepted([] { mirto::OnStart(L"A1", L"", L""); });
}

TEST(Arguments, SetUserBounds) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    const Lines error = Refusal("SetUser", "params error");
    EXPECT_EQ(LinesOf([] { mirto::SetUser(nullptr, L"name"); }), error);
    EXPECT_EQ(LinesOf([] { mirto::SetUser(L"", L"name"); }), error);
    EXPECT_EQ(LinesOf([] { mirto::SetUser(Text(129).c_str(), nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::SetUser(L"u9", Text(129).c_str()); }), error);
    ExpectAccepted([] { mirto::SetUser(Text(128).c_str(), Text(128).c_str()); });
    ExpectAccepted([] { mirto::SetUser(L"u", nullptr); });
}

TEST(Arguments, SetLevelAndSetServerBounds) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(-1); }), Refusal("SetLevel", "params error"));
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(INT_MIN); }), Refusal("SetLevel", "params error"));
    ExpectAccepted([] { mirto::SetLevel(0); });
    ExpectAccepted([] { mirto::SetLevel(INT_MAX); });

    const Lines error = Refusal("SetServer", "params error");
    EXPECT_EQ(LinesOf([] { mirto::SetServer(nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::SetServer(L""); }), error);
    EXPECT_EQ(LinesOf([] { mirto::SetServer(Text(129).c_str()); }), error);
    ExpectAccepted([] { mirto::SetServer(Text(128).c_str()); });
}

TEST(Arguments, OnChargeChecksAmountsThenTexts) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    const Lines error = Refusal("OnCharge", "params error");
    EXPECT_EQ(LinesOf([] { mirto::OnCharge(nullptr, nullptr, 0, nullptr, 0, nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::OnCharge(nullptr, nullptr, -5, nullptr, 0, nullptr); }), error);
    EXPECT_EQ(LinesOf([] { mirto::OnCharge(nullptr, nullptr, 1, nullptr, -1, nullptr); }), error);
    const std::wstring long_text = Text(129);
    EXPECT_EQ(LinesOf([&] { mirto::OnCharge(long_text.c_str(), L"", 1, L"", 0, L""); }), error);
    EXPECT_EQ(LinesOf([&] { mirto::OnCharge(L"", long_text.c_str(), 1, L"", 0, L""); }), error);
    EXPECT_EQ(LinesOf([&] { mirto::OnCharge(L"", L"", 1, long_text.c_str(), 0, L""); }), error);
    EXPECT_EQ(LinesOf([&] { mirto::OnCharge(L"", L"", 1, L"", 0, long_text.c_str()); }), error);
    ExpectAccepted([] { mirto::OnCharge(nullptr, nullptr, 1, nullptr, 0, nullptr); });
    const std::wstring full = Text(128);
    ExpectAccepted([&] {
        mirto::OnCharge(full.c_str(), full.c_str(), INT_MAX, full.c_str(), INT_MAX, full.c_str());
    });
}

TEST(Arguments, LengthIsCountedInUtf16CodeUnits) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    // 64 characters outside the Basic Multilingual Plane are 128 code units; one more is 130.
    std::wstring pairs;
    for (int i = 0; i < 64; ++i) pairs += L"\U0001F600";
    ExpectAccepted([&] { mirto::SetServer(pairs.c_str()); });
    pairs += L"\U0001F600";
    EXPECT_EQ(LinesOf([&] { mirto::SetServer(pairs.c_str()); }),
              Refusal("SetServer", "params error"));
}

TEST(FullQueue, FiveHundredPendingOperationsRefuseEveryQueueingCallEvenWithBadArguments) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    // The worker is held in the start's delivery, so that start is pending: exactly 499 more fit.
    for (int i = 1; i < 500; ++i) {
        ASSERT_EQ(LinesOf([] { mirto::SetLevel(1); }), Lines{}) << "refused at " << i;
    }
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(1); }), Refusal("SetLevel", "operation queue is full"));
    EXPECT_EQ(LinesOf([] { mirto::SetLevel(-1); }), Refusal("SetLevel", "operation queue is full"));
    EXPECT_EQ(LinesOf([] { mirto::OnStart(nullptr, nullptr, nullptr); }),
              Refusal("OnStart", "operation queue is full"));
    EXPECT_EQ(LinesOf([] { mirto::SetUser(nullptr, nullptr); }),
              Refusal("SetUser", "operation queue is full"));
    EXPECT_EQ(LinesOf([] { mirto::SetServer(L""); }),
              Refusal("SetServer", "operation queue is full"));
    EXPECT_EQ(LinesOf([] { mirto::OnCharge(nullptr, nullptr, 0, nullptr, 0, nullptr); }),
              Refusal("OnCharge", "operation queue is full"));
    EXPECT_EQ(LinesOf([] { UnitySetServer("s"); }),
              Refusal("SetServer", "operation queue is full"));
    // The host is no queued operation.
    EXPECT_EQ(LinesOf([] { mirto::SetHost(L"still.unreachable.invalid"); }), Lines{});
    EXPECT_EQ(LinesOf([] { mirto::SetHost(L""); }), kSetHostError);
}

}  // namespace
