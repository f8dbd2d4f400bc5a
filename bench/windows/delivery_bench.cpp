// Delivery through the library against a bare WinINet loop, and the memory the queue holds.
//
//   delivery_bench throughput [HOST]   reports per second to a collector that answers 200 at
//                                      once: level events through the library after a start
//                                      and SetUser, next to a bare loop posting the same bodies
//                                      the same way, in alternating rounds of one run
//   delivery_bench memory KIND [HOST]  private bytes before and after queuing 499 operations
//                                      of KIND (level, charge, charge-max) behind a start that
//                                      a collector answering 500 holds on the worker: 500
//                                      pending, the most the library allows
//
// The bare loop is what one delivered request needs at the least: the library's user agent,
// time-outs, connect and request flags, headers and path (taken from its own headers), one
// InternetConnect and HttpOpenRequest per request over the kept-alive TLS connection, status
// check, handles closed; its bodies are made before the clock starts. The library's side is
// timed from its first SetLevel until the worker has delivered the last: after each batch the
// program queues a second OnStart, whose "duplicate" line on the worker marks the batch done.
// Two batches are kept in flight so the worker never waits for the game.
//
// Memory under Wine: the private bytes are the process's resident anonymous memory as Linux
// counts it, in whole pages; posted thread messages live in the wineserver (on Windows in the
// kernel), so what is measured is the heap the queued records take.
#include <windows.h>

#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mirto/mirto.h"
#include "reports/percent_encode.h"
#include "reports/report_builders.h"
#include "support/debugger_line.h"
#include "transport/protocol.h"

namespace {

// Short rounds, taken in turn, so that the machine's load changing during the run weighs on
// both sides alike; two batches and their markers stay far below 500 pending.
constexpr int kBatchCalls = 20;
constexpr int kRounds = 48;
constexpr int kBatchesPerRound = 2;
constexpr int kReportsPerRound = kBatchCalls * kBatchesPerRound;
constexpr int kBareWarmupPosts = 3;
constexpr DWORD kWaitMs = 60000;

const wchar_t kAppId[] = L"benchdelivery";
const wchar_t kUserId[] = L"steam_76561198042231856";

// ---- what the library says -----------------------------------------------------------------

std::atomic<long> start_lines{0};      // "init succeed"
std::atomic<long> duplicate_lines{0};  // the batch markers
std::atomic<long> queue_full_lines{0};
std::atomic<long> other_lines{0};
HANDLE line_event = nullptr;  // auto-reset, set on every line

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

LONG CALLBACK OnDebugLine(EXCEPTION_POINTERS* info) {
    std::string_view line;
    if (!mirto_test::DebuggerLineOf(info, &line)) return EXCEPTION_CONTINUE_SEARCH;
    if (StartsWith(line, "Mirto: init succeed")) {
        start_lines.fetch_add(1);
    } else if (StartsWith(line, "Mirto: duplicate call OnStart")) {
        duplicate_lines.fetch_add(1);
    } else if (line.find("operation queue is full") != std::string_view::npos) {
        queue_full_lines.fetch_add(1);
    } else {
        other_lines.fetch_add(1);
        std::fprintf(stderr, "delivery_bench: unexpected line: %.*s", static_cast<int>(line.size()),
                     line.data());
    }
    SetEvent(line_event);
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool WaitForCount(const std::atomic<long>& counter, long wanted, const char* what) {
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (counter.load() < wanted) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            std::fprintf(stderr, "delivery_bench: timed out waiting for %s\n", what);
            return false;
        }
        WaitForSingleObject(line_event, static_cast<DWORD>(deadline - now));
    }
    return true;
}

double Now() {
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// ---- the bare loop -------------------------------------------------------------------------

// The level event of user kUserId, built and encoded by the library's own code, so that the
// bare loop posts byte for byte what the worker posts.
std::string LevelBody(int level) {
    mirto::ReportContext context;
    context.index = std::wstring(mirto::kIndexPrefix) + kAppId;
    context.user = kUserId;
    const std::string json = mirto::LevelEventJson(context, mirto::SetLevelRecord{level});
    return mirto::PercentEncode(reinterpret_cast<const unsigned char*>(json.data()),
                                static_cast<std::int32_t>(json.size()));
}

void SetTimeouts(HINTERNET handle) {
    DWORD timeout = mirto::kTimeoutMs;
    constexpr DWORD kOptions[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                                  INTERNET_OPTION_SEND_TIMEOUT};
    for (DWORD option : kOptions) {
        InternetSetOptionW(handle, option, &timeout, sizeof(timeout));
    }
}

constexpr DWORD kRequestFlags = mirto::kSecureRequestFlags;

// One request, as one delivery attempt of the library makes it; true when accepted.
bool BarePost(HINTERNET session, const std::wstring& host, const std::string& body) {
    HINTERNET connection =
        InternetConnectW(session, host.c_str(), mirto::kReportPort, nullptr, nullptr,
                         INTERNET_SERVICE_HTTP, mirto::kFirstAttemptConnectFlags, 0);
    if (connection == nullptr) return false;
    HINTERNET request = HttpOpenRequestW(connection, L"POST", mirto::kEventPath, nullptr, nullptr,
                                         nullptr, kRequestFlags, 0);
    bool accepted = false;
    if (request != nullptr) {
        SetTimeouts(request);
        const std::wstring headers = mirto::kReportHeaders;
        if (HttpSendRequestW(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                             const_cast<char*>(body.data()), static_cast<DWORD>(body.size()))) {
            wchar_t status[16] = {};
            DWORD size = sizeof(status);
            DWORD available = 0;
            accepted = HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, status, &size, nullptr) &&
                       std::wcscmp(status, L"200") == 0 &&
                       InternetQueryDataAvailable(request, &available, 0, 0);
        }
    }
    InternetCloseHandle(connection);
    if (request != nullptr) InternetCloseHandle(request);
    return accepted;
}

// Seconds for posting `bodies[first, first + count)`; negative when one is not accepted.
double RunBare(HINTERNET session, const std::wstring& host, const std::vector<std::string>& bodies,
               std::size_t first, std::size_t count) {
    const double start = Now();
    for (std::size_t i = first; i < first + count; ++i) {
        if (!BarePost(session, host, bodies[i])) {
            std::fprintf(stderr, "delivery_bench: bare post %zu not accepted\n", i);
            return -1;
        }
    }
    return Now() - start;
}

// ---- the library ---------------------------------------------------------------------------

void QueueBatch(int first_level) {
    for (int i = 0; i < kBatchCalls; ++i) mirto::SetLevel(first_level + i);
    mirto::OnStart(kAppId, L"steam", L"1.4.12.3088");  // the marker
}

// Seconds from the first SetLevel to the last delivered; negative on a time-out.
double RunLibrary(int first_level) {
    const long markers = duplicate_lines.load();
    const double start = Now();
    QueueBatch(first_level);
    QueueBatch(first_level + kBatchCalls);
    for (int batch = 0; batch < kBatchesPerRound; ++batch) {
        if (!WaitForCount(duplicate_lines, markers + batch + 1, "a batch to be delivered")) {
            return -1;
        }
        if (batch + 2 < kBatchesPerRound) QueueBatch(first_level + (batch + 2) * kBatchCalls);
    }
    return Now() - start;
}

int Throughput(const std::wstring& host) {
    mirto::SetHost(host.c_str());
    mirto::OnStart(kAppId, L"steam", L"1.4.12.3088");
    mirto::SetUser(kUserId, L"Ryo");
    mirto::OnStart(kAppId, L"steam", L"1.4.12.3088");
    // Start, user and user-count reports delivered, the library's connection warm.
    if (!WaitForCount(duplicate_lines, 1, "the start and the user to be delivered")) return 1;

    std::vector<std::string> bodies;
    for (int level = 0; level < kBareWarmupPosts + kRounds * kReportsPerRound; ++level) {
        bodies.push_back(LevelBody(level));
    }
    HINTERNET session =
        InternetOpenW(mirto::kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) return 1;
    SetTimeouts(session);
    if (RunBare(session, host, bodies, 0, kBareWarmupPosts) < 0) return 1;

    double library_seconds = 0;
    double bare_seconds = 0;
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
        const int first = kBareWarmupPosts + round * kReportsPerRound;
        double bare = 0;
        double library = 0;
        // Which side goes first alternates, so neither always follows the other.
        if (round % 2 == 0) {
            bare =
                RunBare(session, host, bodies, static_cast<std::size_t>(first), kReportsPerRound);
            library = RunLibrary(first);
        } else {
            library = RunLibrary(first);
            bare =
                RunBare(session, host, bodies, static_cast<std::size_t>(first), kReportsPerRound);
        }
        if (bare < 0 || library < 0) return 1;
        bare_seconds += bare;
        library_seconds += library;
        ratios.push_back(bare / library);
    }
    InternetCloseHandle(session);

    const double reports = kRounds * kReportsPerRound;
    std::sort(ratios.begin(), ratios.end());
    std::printf("%d rounds of %d reports each way, taking turns\n", kRounds, kReportsPerRound);
    std::printf("library: %.1f reports/s\nbare loop: %.1f reports/s\n", reports / library_seconds,
                reports / bare_seconds);
    std::printf("library/bare: %.3f overall; per round: median %.3f, quartiles %.3f-%.3f\n",
                bare_seconds / library_seconds, ratios[ratios.size() / 2],
                ratios[ratios.size() / 4], ratios[ratios.size() * 3 / 4]);
    std::printf("collector should count %d reports (3 + %d library, %d + %d bare)\n",
                3 + 2 * kRounds * kReportsPerRound, kRounds * kReportsPerRound, kBareWarmupPosts,
                kRounds * kReportsPerRound);
    if (queue_full_lines.load() != 0 || other_lines.load() != 0) return 1;
    return 0;
}

// ---- memory --------------------------------------------------------------------------------

// The process's private commit. Wine 8 leaves PrivateUsage at 0 and fills PagefileUsage,
// which Windows defines as the same value, with the resident anonymous memory.
bool PrivateBytes(SIZE_T& private_bytes, SIZE_T& peak) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
        return false;
    }
    private_bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    peak = counters.PeakPagefileUsage;
    return true;
}

const std::wstring kLongText(128, L'x');  // the longest text a call accepts

void QueueOne(const std::string& kind, int i) {
    if (kind == "level") {
        mirto::SetLevel(i);
    } else if (kind == "charge") {
        mirto::OnCharge(L"ORD-20240611-000184223", L"gem_pack_large", 4999, L"USD", 6500,
                        L"steam_wallet");
    } else {
        mirto::OnCharge(kLongText.c_str(), kLongText.c_str(), 4999, kLongText.c_str(), 6500,
                        kLongText.c_str());
    }
}

int Memory(const std::string& kind, const std::wstring& host) {
    if (kind != "level" && kind != "charge" && kind != "charge-max") {
        std::fprintf(stderr, "delivery_bench: unknown kind %s\n", kind.c_str());
        return 2;
    }
    mirto::SetHost(host.c_str());
    mirto::OnStart(kAppId, L"steam", L"1.4.12.3088");
    // The worker is in the start's delivery now, and the collector answers 500: it stays
    // there, retrying every 5 seconds. Let the first attempt finish, so its connection's
    // memory is not counted, and measure well before the next one.
    if (!WaitForCount(start_lines, 1, "the start")) return 1;
    Sleep(1500);

    constexpr int kQueued = 499;  // behind the start, which is still pending
    SIZE_T before = 0;
    SIZE_T after = 0;
    SIZE_T peak = 0;
    if (!PrivateBytes(before, peak)) return 1;
    for (int i = 0; i < kQueued; ++i) QueueOne(kind, i);
    if (!PrivateBytes(after, peak)) return 1;

    // The 501st is refused: the count really stood at 500.
    QueueOne(kind, kQueued);
    const bool full = queue_full_lines.load() == 1;

    std::printf(
        "memory kind=%s queued=%d before=%zu after=%zu delta=%lld per_op=%.1f "
        "peak=%zu queue_full_after=%s\n",
        kind.c_str(), kQueued, static_cast<std::size_t>(before), static_cast<std::size_t>(after),
        static_cast<long long>(after) - static_cast<long long>(before),
        (static_cast<double>(after) - static_cast<double>(before)) / kQueued,
        static_cast<std::size_t>(peak), full ? "yes" : "no");
    std::fflush(stdout);
    if (!full || other_lines.load() != 0) return 1;
    // The worker is still held; ending the process is what a game's exit does.
    ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
    line_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    AddVectoredExceptionHandler(1, OnDebugLine);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "throughput") {
        const std::string host = argc > 2 ? argv[2] : "collector.test";
        return Throughput(std::wstring(host.begin(), host.end()));
    }
    if (mode == "memory" && argc > 2) {
        const std::string host = argc > 3 ? argv[3] : "collector.test";
        return Memory(argv[2], std::wstring(host.begin(), host.end()));
    }
    std::fprintf(stderr,
                 "usage: delivery_bench throughput [HOST] | delivery_bench memory "
                 "level|charge|charge-max [HOST]\n");
    return 2;
}
