// What an exported call costs the game's thread, next to the least any hand-off to another
// thread can cost: a bare PostThreadMessageW to a thread that drains its queue. Both are
// timed call by call in the same run, from 1 and from 8 calling threads, and reported as the
// median and the 99th percentile with their ratio to the floor.
//
// The library is linked through its import library, as a game links it. So that no call
// does network or disk work on the worker, the host is set to a name that cannot resolve and
// the worker is started by a refused OnStart: no session ever starts, and every accepted
// operation ends on the worker as a cheap precondition refusal (one debugger line each).
// The timed OnStart calls are accepted too: their application id holds a character no folder
// name may hold, so the worker's start fails at its first step and the session stays
// unstarted.
//
// The library refuses calls once 500 operations are pending, and a refused call costs
// something else. Calls are therefore made in batches of 400; after each batch the program
// waits until the worker (or the floor's drain thread) has taken every message of it, which
// it sees from the debugger lines (or the drain count), before the next batch starts. The
// floor and the calls take turns batch by batch, so the machine's load changing during the
// run weighs on all of them alike.
//
// Threads: the main thread only steers. A pool of calling threads, each woken by its own
// event, makes the calls and keeps its own samples; the library's worker and the floor's
// drain thread run alongside, as they would in a game.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

#include "mirto/mirto.h"
#include "support/debugger_line.h"

namespace {

constexpr int kBatchCalls = 400;  // stays below the library's 500 pending operations
constexpr int kTimedBatches = 25;
constexpr int kWarmupBatches = 1;
constexpr DWORD kDrainTimeoutMs = 60000;
constexpr int kThreadCounts[] = {1, 8};

// ---- what the worker says ------------------------------------------------------------------

std::atomic<long> worker_refusals{0};   // the lines that end accepted operations
std::atomic<long> unexpected_lines{0};  // anything else, after the setup
std::atomic<bool> setup_done{false};

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

LONG CALLBACK OnDebugLine(EXCEPTION_POINTERS* info) {
    std::string_view line;
    if (!mirto_test::DebuggerLineOf(info, &line)) return EXCEPTION_CONTINUE_SEARCH;
    if (StartsWith(line, "Mirto: need call OnStart") ||
        StartsWith(line, "Mirto: init failed, can not create save path")) {
        worker_refusals.fetch_add(1);
    } else if (setup_done.load()) {
        unexpected_lines.fetch_add(1);
        std::fprintf(stderr, "call_cost_bench: unexpected line: %.*s",
                     static_cast<int>(line.size()), line.data());
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

// ---- the floor: a thread that only drains its queue ----------------------------------------

std::atomic<long> floor_drained{0};
DWORD floor_thread_id = 0;

DWORD WINAPI FloorDrain(void* ready) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
    SetEvent(static_cast<HANDLE>(ready));
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_APP) floor_drained.fetch_add(1);
    }
    return 0;
}

// ---- the calls -----------------------------------------------------------------------------

// Realistic arguments. The application id's '|' makes the worker's folder creation fail.
const wchar_t kAppId[] = L"ag7xq2m4c9|bench";
const char kAppIdUtf8[] = "ag7xq2m4c9|bench";
const wchar_t kUserName[] = L"\u5c0f\u660e_Ryo";
const char kUserNameUtf8[] = "\xe5\xb0\x8f\xe6\x98\x8e_Ryo";

void Floor() { PostThreadMessageW(floor_thread_id, WM_APP, 0, 0); }
void SetHost() { mirto::SetHost(L"unreachable.invalid"); }
void OnStart() { mirto::OnStart(kAppId, L"steam", L"1.4.12.3088"); }
void SetUser() { mirto::SetUser(L"steam_76561198042231856", kUserName); }
void SetLevel() { mirto::SetLevel(37); }
void SetServer() { mirto::SetServer(L"asia-east-3"); }
void OnCharge() {
    mirto::OnCharge(L"ORD-20240611-000184223", L"gem_pack_large", 4999, L"USD", 6500,
                    L"steam_wallet");
}
void UnitySetHostCall() { UnitySetHost("unreachable.invalid"); }
void UnityOnStartCall() { UnityOnStart(kAppIdUtf8, "steam", "1.4.12.3088"); }
void UnitySetUserCall() { UnitySetUser("steam_76561198042231856", kUserNameUtf8); }
void UnitySetLevelCall() { UnitySetLevel(37); }
void UnitySetServerCall() { UnitySetServer("asia-east-3"); }
void UnityOnChargeCall() {
    UnityOnCharge("ORD-20240611-000184223", "gem_pack_large", 4999, "USD", 6500, "steam_wallet");
}

struct Call {
    const char* name;
    void (*make)();
    std::atomic<long>* completions;  // what rises once the other side has taken a call
    long completions_per_call;       // 0: nothing is queued (SetHost)
};

const Call kFloor{"PostThreadMessageW (floor)", Floor, &floor_drained, 1};

// Each function of namespace mirto and its Unity counterpart, measured alike.
struct CallPair {
    const char* name;
    const char* unity_name;
    void (*mirto)();
    void (*unity)();
    long completions_per_call;
};

const CallPair kCallPairs[] = {
    {"SetHost", "UnitySetHost", SetHost, UnitySetHostCall, 0},
    {"OnStart", "UnityOnStart", OnStart, UnityOnStartCall, 1},
    {"SetUser", "UnitySetUser", SetUser, UnitySetUserCall, 1},
    {"SetLevel", "UnitySetLevel", SetLevel, UnitySetLevelCall, 1},
    {"SetServer", "UnitySetServer", SetServer, UnitySetServerCall, 1},
    {"OnCharge", "UnityOnCharge", OnCharge, UnityOnChargeCall, 1},
};

// The calls in the order they are reported: the functions of namespace mirto, then the Unity
// ones.
std::vector<Call> AllCalls() {
    std::vector<Call> calls;
    for (const CallPair& pair : kCallPairs) {
        calls.push_back({pair.name, pair.mirto, &worker_refusals, pair.completions_per_call});
    }
    for (const CallPair& pair : kCallPairs) {
        calls.push_back({pair.unity_name, pair.unity, &worker_refusals, pair.completions_per_call});
    }
    return calls;
}

// ---- the calling threads -------------------------------------------------------------------

struct Slot {
    HANDLE go = nullptr;  // auto-reset: one batch share per signal
    HANDLE thread = nullptr;
    std::vector<std::int64_t> samples;  // ticks of each timed call
};

struct Pool {
    std::vector<Slot> slots;
    const Call* call = nullptr;
    int calls_per_thread = 0;
    bool keep_samples = false;
    bool stop = false;
    std::atomic<int> remaining{0};
    HANDLE done = nullptr;
};

Pool pool;

DWORD WINAPI CallingThread(void* parameter) {
    Slot& slot = *static_cast<Slot*>(parameter);
    for (;;) {
        WaitForSingleObject(slot.go, INFINITE);
        if (pool.stop) return 0;
        void (*make)() = pool.call->make;
        const int calls = pool.calls_per_thread;
        const bool keep = pool.keep_samples;
        for (int i = 0; i < calls; ++i) {
            LARGE_INTEGER before;
            LARGE_INTEGER after;
            QueryPerformanceCounter(&before);
            make();
            QueryPerformanceCounter(&after);
            if (keep) slot.samples.push_back(after.QuadPart - before.QuadPart);
        }
        if (pool.remaining.fetch_sub(1) == 1) SetEvent(pool.done);
    }
}

bool StartPool(int threads) {
    pool.slots = std::vector<Slot>(static_cast<std::size_t>(threads));
    pool.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (pool.done == nullptr) return false;
    for (Slot& slot : pool.slots) {
        slot.samples.reserve(static_cast<std::size_t>(kBatchCalls));
        slot.go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        slot.thread = CreateThread(nullptr, 0, CallingThread, &slot, 0, nullptr);
        if (slot.go == nullptr || slot.thread == nullptr) return false;
    }
    return true;
}

void StopPool() {
    pool.stop = true;
    for (Slot& slot : pool.slots) SetEvent(slot.go);
    for (Slot& slot : pool.slots) {
        WaitForSingleObject(slot.thread, INFINITE);
        CloseHandle(slot.thread);
        CloseHandle(slot.go);
    }
    CloseHandle(pool.done);
    pool.slots.clear();
    pool.done = nullptr;
    pool.stop = false;
}

// One batch: every thread makes its share, then the other side takes all of it.
bool RunBatch(const Call& call, bool keep_samples) {
    const int threads = static_cast<int>(pool.slots.size());
    pool.call = &call;
    pool.calls_per_thread = kBatchCalls / threads;
    const long expected =
        call.completions->load() + pool.calls_per_thread * threads * call.completions_per_call;
    pool.keep_samples = keep_samples;
    pool.remaining.store(threads);
    for (Slot& slot : pool.slots) SetEvent(slot.go);
    WaitForSingleObject(pool.done, INFINITE);

    const ULONGLONG deadline = GetTickCount64() + kDrainTimeoutMs;
    while (call.completions->load() < expected) {
        if (GetTickCount64() > deadline) {
            std::fprintf(stderr, "call_cost_bench: %s: the queue did not drain (%ld of %ld)\n",
                         call.name, call.completions->load(), expected);
            return false;
        }
        Sleep(1);
    }
    return true;
}

struct Stats {
    std::size_t calls = 0;
    double median_ns = 0;
    double p99_ns = 0;
};

double frequency = 0;

Stats Summarise(std::vector<std::int64_t> ticks) {
    Stats stats;
    if (ticks.empty()) return stats;
    std::sort(ticks.begin(), ticks.end());
    const std::size_t n = ticks.size();
    const std::size_t p99_rank = (n * 99 + 99) / 100;  // nearest rank, 1-based
    stats.calls = n;
    stats.median_ns = static_cast<double>(ticks[(n - 1) / 2]) * 1e9 / frequency;
    stats.p99_ns = static_cast<double>(ticks[p99_rank - 1]) * 1e9 / frequency;
    return stats;
}

// Every subject, batch by batch in turn, so that a change in the machine's load during the
// run falls on the floor and on each call alike. `ticks[i]` receives subject i's samples.
bool MeasureInTurn(const std::vector<const Call*>& subjects,
                   std::vector<std::vector<std::int64_t>>& ticks) {
    ticks.assign(subjects.size(), {});
    for (int batch = 0; batch < kWarmupBatches + kTimedBatches; ++batch) {
        for (std::size_t i = 0; i < subjects.size(); ++i) {
            for (Slot& slot : pool.slots) slot.samples.clear();
            if (!RunBatch(*subjects[i], batch >= kWarmupBatches)) return false;
            for (const Slot& slot : pool.slots) {
                ticks[i].insert(ticks[i].end(), slot.samples.begin(), slot.samples.end());
            }
        }
    }
    return true;
}

void PrintRow(int threads, const char* name, const Stats& stats, const Stats& floor) {
    std::printf("%7d  %-28s %7zu %11.0f %9.0f %9.2f %9.2f\n", threads, name, stats.calls,
                stats.median_ns, stats.p99_ns, stats.median_ns / floor.median_ns,
                stats.p99_ns / floor.p99_ns);
}

double TimerOverheadNs() {
    std::vector<std::int64_t> ticks;
    ticks.reserve(10000);
    for (int i = 0; i < 10000; ++i) {
        LARGE_INTEGER before;
        LARGE_INTEGER after;
        QueryPerformanceCounter(&before);
        QueryPerformanceCounter(&after);
        ticks.push_back(after.QuadPart - before.QuadPart);
    }
    return Summarise(ticks).median_ns;
}

}  // namespace

int main() {
    LARGE_INTEGER qpf;
    QueryPerformanceFrequency(&qpf);
    frequency = static_cast<double>(qpf.QuadPart);
    AddVectoredExceptionHandler(1, OnDebugLine);

    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE floor_thread = CreateThread(nullptr, 0, FloorDrain, ready, 0, &floor_thread_id);
    if (ready == nullptr || floor_thread == nullptr) return 1;
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);

    // The worker runs, no session: a refused OnStart starts it.
    mirto::SetHost(L"unreachable.invalid");
    mirto::OnStart(L"", nullptr, nullptr);
    setup_done.store(true);

    std::printf(
        "timer: QueryPerformanceCounter at %.0f Hz, an empty timed region %.0f ns "
        "(median)\n",
        frequency, TimerOverheadNs());
    std::printf("%d timed calls per row, in batches of %d with the queue drained between\n",
                kTimedBatches * kBatchCalls, kBatchCalls);
    std::printf("%7s  %-28s %7s %11s %9s %9s %9s\n", "threads", "call", "calls", "median_ns",
                "p99_ns", "med/floor", "p99/floor");

    const std::vector<Call> calls = AllCalls();
    std::vector<const Call*> subjects{&kFloor};
    for (const Call& call : calls) subjects.push_back(&call);

    bool ok = true;
    for (int threads : kThreadCounts) {
        if (!StartPool(threads)) {
            std::fprintf(stderr, "call_cost_bench: could not start %d threads\n", threads);
            return 1;
        }
        std::vector<std::vector<std::int64_t>> ticks;
        ok = MeasureInTurn(subjects, ticks);
        StopPool();
        if (!ok) break;

        const Stats floor = Summarise(ticks[0]);
        for (std::size_t i = 0; i < subjects.size(); ++i) {
            PrintRow(threads, subjects[i]->name, Summarise(ticks[i]), floor);
        }
        std::fflush(stdout);
    }

    PostThreadMessageW(floor_thread_id, WM_QUIT, 0, 0);
    WaitForSingleObject(floor_thread, INFINITE);
    CloseHandle(floor_thread);

    if (unexpected_lines.load() != 0) {
        std::fprintf(stderr, "call_cost_bench: %ld unexpected debugger lines\n",
                     unexpected_lines.load());
        ok = false;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
