// The worker and its queue, with the library's code linked into the test so the worker's
// counts, the host slot and the report context can be read. No start succeeds here (the first
// start is refused), so every handler stops at its precondition and writes its line on the
// worker: those lines show what ran, where and in which order, without any network.
#include "core/worker.h"

#include <windows.h>

#include <tlhelp32.h>

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/host_slot.h"
#include "mirto/mirto.h"
#include "reports/report_state.h"
#include "support/debug_capture.h"
#include "support/threads.h"

namespace {

using mirto_test::DebugCapture;
using mirto_test::RunOnThreads;
using Lines = std::vector<std::string>;

const std::string kNeedStart = "Mirto: need call OnStart first\r\n";
const std::string kNeedStartAndUser = "Mirto: need call OnStart && SetUser first\r\n";

std::size_t CountOwnThreads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

bool WaitForPending(std::int32_t value, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (mirto::PendingOperations() != value) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(2);
    }
    return true;
}

DWORD WorkerId() { return mirto::WorkerThreadId(); }

TEST(Worker, ConcurrentFirstStartsStartExactlyOneWorker) {
    DebugCapture capture;
    ASSERT_EQ(WorkerId(), 0u);
    const std::size_t threads_before = CountOwnThreads();

    constexpr int kCallers = 16;
    std::atomic<int> ready{0};
    RunOnThreads(kCallers, [&ready](int) {
        ++ready;
        while (ready.load() < kCallers) {
        }
        mirto::OnStart(nullptr, nullptr, nullptr);  // starts the worker, then is refused
    });

    ASSERT_NE(WorkerId(), 0u);
    EXPECT_EQ(CountOwnThreads(), threads_before + 1) << "one worker and nothing else";
    std::size_t refusals = 0;
    for (const auto& line : capture.Lines()) {
        EXPECT_EQ(line.text, "Mirto: OnStart failed, params error\r\n");
        ++refusals;
    }
    EXPECT_EQ(refusals, static_cast<std::size_t>(kCallers));
    EXPECT_EQ(mirto::PendingOperations(), 0);
}

TEST(Worker, RunsOperationsOnOneThreadInPostingOrderAndCountsThemDown) {
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
    DebugCapture capture;
    ASSERT_TRUE(PostThreadMessageW(WorkerId(), WM_APP + 7, 1, 2));
    ASSERT_TRUE(PostThreadMessageW(WorkerId(), WM_NULL, 0, 0));
    mirto::SetLevel(3);  // still served after the foreign messages
    ASSERT_TRUE(capture.WaitForOtherLines(1, 10000));
    EXPECT_EQ(capture.LinesOf(WorkerId()), Lines{kNeedStartAndUser});
    EXPECT_TRUE(WaitForPending(0, 10000));
}

TEST(Worker, ManyGameThreadsQueueWithoutLossAndTheCountReturnsToZero) {
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

TEST(Host, ConcurrentWritersAndReadersAlwaysSeeAWholeHost) {
    const std::wstring hosts[] = {std::wstring(128, L'a'), L"b.test", std::wstring(100, L'c')};
    constexpr int kWriters = 3;
    std::atomic<int> writers_done{0};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    RunOnThreads(2 * kWriters, [&](int index) {
        if (index < kWriters) {
            for (int i = 0; i < 20000; ++i) {
                mirto::SetHost(hosts[static_cast<std::size_t>(index + i) % 3].c_str());
            }
            ++writers_done;
            return;
        }
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
    DebugCapture capture;
    mirto::SetHost(L"kept.test");
    mirto::SetHost(nullptr);
    mirto::SetHost(L"");
    mirto::SetHost(std::wstring(129, L'x').c_str());
    EXPECT_EQ(mirto::CollectionHost().Get(), L"kept.test");
    EXPECT_EQ(capture.OwnLines().size(), 3u);
}

}  // namespace
