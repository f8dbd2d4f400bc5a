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
//   delivery_bench outbox [HOST]       the same delivery with the outbox off and on, in two
//                                      library processes (the choice is per process), next to
//                                      the bare loop, the three taking turns round by round
//   delivery_bench outbox-memory KIND [HOST]
//                                      private bytes and heap of a process with the outbox on
//                                      and the collector away, before its start, after it, and
//                                      once KIND (level, purchase) reports have filled the
//                                      outbox to its caps
//
// The bare loop is what one delivered request needs at the least: the library's user agent,
// time-outs, connect and request flags, headers and path (taken from its own headers), one
// InternetConnect and HttpOpenRequest per request over the kept-alive TLS connection, status
// check, handles closed; its bodies are made before the clock starts. The library's side is
// timed from its first SetLevel until the worker has delivered the last: after each batch the
// program queues a second OnStart, whose "duplicate" line on the worker marks the batch done.
// Two batches are kept in flight so the worker never waits for the game.
//
// With the outbox on, the worker only stores a report when it handles the call, and sends it
// afterwards: that side is timed until the library's counter of delivered reports
// (GetDeliveryStats) has reached the round's last, polled every millisecond once the batches'
// markers are in. The outbox side uses a fresh application id each run; its folders are removed
// afterwards.
//
// Memory under Wine: the private bytes are the process's resident anonymous memory as Linux
// counts it, in whole pages; posted thread messages live in the wineserver (on Windows in the
// kernel), so what is measured is the heap the queued records take.
#include <windows.h>

#include <psapi.h>
#include <shlobj.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_folders.h"
#include "mirto/mirto.h"
#include "reports/percent_encode.h"
#include "reports/report_builders.h"
#include "support/debugger_line.h"
#include "support/heap_use.h"
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

// A purchase whose product name and payment are Japanese (9 bytes each once percent-encoded):
// about 1.2 KB of body for each of its two reports.
const wchar_t kOrderId[] = L"ORD-20240611-000184223-EU-WEST-7f3a9c2e1b";
const wchar_t kProduct[] =
    L"\u9650\u5b9a\u30b8\u30a7\u30e0\u30d1\u30c3\u30af\uff08\u5927\uff09\u30fb\u30b7\u30fc"
    L"\u30ba\u30f3\u30d1\u30b9\u4ed8\u304d\u30fb\u521d\u56de\u9650\u5b9a\u7279\u5178\u30bb"
    L"\u30c3\u30c8\u30fb\u671f\u9593\u9650\u5b9a\u30dc\u30fc\u30ca\u30b9\u30b8\u30a7"
    L"\u30e0\u4ed8\u304d";
const wchar_t kPayment[] = L"\u30b3\u30f3\u30d3\u30cb\u6c7a\u6e08";

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

// ---- the outbox ----------------------------------------------------------------------------

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

MirtoDeliveryStats Stats() {
    MirtoDeliveryStats stats = {};
    stats.size = sizeof(stats);
    mirto::GetDeliveryStats(&stats);
    return stats;
}

using mirto_bench::KnownFolder;
using mirto_bench::RemoveTree;

// A fresh application id, and the removal of the folders a session of it leaves: the outbox
// (local application data) and the profile (roaming).
std::wstring FreshAppId(const wchar_t* prefix) {
    return prefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64());
}

bool RemoveAppFolders(const std::wstring& application_id) {
    bool gone = true;
    for (int csidl : {CSIDL_LOCAL_APPDATA, CSIDL_APPDATA}) {
        const std::wstring base = KnownFolder(csidl);
        if (base.empty()) continue;
        const std::wstring folder = base + L"\\mirto\\" + application_id;
        RemoveTree(folder);
        if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) gone = false;
    }
    return gone;
}

// Another process of this program, talking through its standard input and output.
struct Child {
    PROCESS_INFORMATION process = {};
    HANDLE to = nullptr;
    HANDLE from = nullptr;
    std::string buffered;
};

bool Spawn(const std::wstring& arguments, Child& child) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE in_read = nullptr;
    HANDLE out_write = nullptr;
    HANDLE error = nullptr;
    if (!CreatePipe(&in_read, &child.to, &inherit, 0) ||
        !CreatePipe(&child.from, &out_write, &inherit, 0) ||
        !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                         &error, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return false;
    }
    SetHandleInformation(child.to, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child.from, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = error;
    std::wstring command = L"\"" + std::wstring(self) + L"\" " + arguments;
    const BOOL created = CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &child.process);
    CloseHandle(in_read);
    CloseHandle(out_write);
    CloseHandle(error);
    return created != FALSE;
}

bool SendLine(HANDLE to, const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

bool ReadLine(HANDLE from, std::string& buffered, std::string& line) {
    for (;;) {
        const std::size_t end = buffered.find('\n');
        if (end != std::string::npos) {
            line = buffered.substr(0, end);
            buffered.erase(0, end + 1);
            return true;
        }
        char chunk[256];
        DWORD read = 0;
        if (!ReadFile(from, chunk, sizeof(chunk), &read, nullptr) || read == 0) return false;
        buffered.append(chunk, read);
    }
}

// Waits for the child to end; its exit code.
DWORD Reap(Child& child) {
    CloseHandle(child.to);
    WaitForSingleObject(child.process.hProcess, kWaitMs);
    DWORD code = 1;
    GetExitCodeProcess(child.process.hProcess, &code);
    CloseHandle(child.process.hProcess);
    CloseHandle(child.process.hThread);
    CloseHandle(child.from);
    return code;
}

// Waits until the library counts `wanted` delivered reports, polling every millisecond.
bool WaitForDelivered(unsigned long long wanted) {
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (Stats().reports_delivered < wanted) {
        if (GetTickCount64() >= deadline) {
            std::fprintf(stderr, "delivery_bench: timed out waiting for deliveries\n");
            return false;
        }
        Sleep(1);
    }
    return true;
}

// One library side of the outbox run, in a process of its own: "ready" once its start and
// user are delivered, then for each "round FIRST" line the seconds from the round's first
// SetLevel until its last report is delivered, and at "end" its counters.
int Side(bool outbox, const std::wstring& host, const std::wstring& application_id) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    mirto::SetHost(host.c_str());
    if (outbox) mirto::SetOutbox(true);
    mirto::OnStart(application_id.c_str(), L"steam", L"1.4.12.3088");
    mirto::SetUser(kUserId, L"Ryo");
    mirto::OnStart(application_id.c_str(), L"steam", L"1.4.12.3088");
    if (!WaitForCount(duplicate_lines, 1, "the start and the user to be stored or delivered") ||
        !WaitForDelivered(3)) {
        return 1;
    }
    if (!SendLine(out, "ready")) return 1;
    std::string buffered;
    std::string line;
    while (ReadLine(in, buffered, line)) {
        if (line.rfind("round ", 0) == 0) {
            const int first = std::atoi(line.c_str() + 6);
            const unsigned long long target = Stats().reports_delivered + kReportsPerRound;
            const long markers = duplicate_lines.load();
            const double start = Now();
            QueueBatch(first);
            QueueBatch(first + kBatchCalls);
            if (!WaitForCount(duplicate_lines, markers + kBatchesPerRound, "a round's markers") ||
                !WaitForDelivered(target)) {
                return 1;
            }
            char seconds[64];
            std::snprintf(seconds, sizeof(seconds), "%.9f", Now() - start);
            if (!SendLine(out, seconds)) return 1;
        } else if (line == "end") {
            const MirtoDeliveryStats stats = Stats();
            char summary[256];
            std::snprintf(summary, sizeof(summary),
                          "delivered=%llu outbox_state=%u waiting_in_outbox=%llu "
                          "waiting_in_memory=%llu dropped_outbox_full=%llu failed_attempts=%llu",
                          stats.reports_delivered, stats.outbox_state, stats.waiting_in_outbox,
                          stats.waiting_in_memory, stats.dropped_outbox_full,
                          stats.attempts_failed);
            SendLine(out, summary);
            const bool sound = stats.outbox_state == (outbox ? 2u : 0u) &&
                               stats.waiting_in_outbox == 0 && stats.dropped_outbox_full == 0 &&
                               stats.attempts_failed == 0 && queue_full_lines.load() == 0 &&
                               other_lines.load() == 0;
            return sound ? 0 : 1;
        }
    }
    return 1;
}

void PrintRatios(const char* what, double overall, std::vector<double> ratios) {
    std::sort(ratios.begin(), ratios.end());
    std::printf("%s: %.3f overall; per round: median %.3f, quartiles %.3f-%.3f\n", what, overall,
                ratios[ratios.size() / 2], ratios[ratios.size() / 4],
                ratios[ratios.size() * 3 / 4]);
}

int OutboxThroughput(const std::string& host_text) {
    const std::wstring host = Wide(host_text);
    const std::wstring outbox_app = FreshAppId(L"benchoutbox-");
    Child sides[2];  // outbox off, on
    if (!Spawn(L"side off " + host + L" " + kAppId, sides[0]) ||
        !Spawn(L"side on " + host + L" " + outbox_app, sides[1])) {
        std::fprintf(stderr, "delivery_bench: cannot start the library's processes\n");
        return 1;
    }
    int status = 0;
    std::string line;
    for (Child& side : sides) {
        if (!ReadLine(side.from, side.buffered, line) || line != "ready") status = 1;
    }

    std::vector<std::string> bodies;
    for (int level = 0; level < kBareWarmupPosts + kRounds * kReportsPerRound; ++level) {
        bodies.push_back(LevelBody(level));
    }
    HINTERNET session =
        InternetOpenW(mirto::kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) status = 1;
    if (status == 0) SetTimeouts(session);
    if (status == 0 && RunBare(session, host, bodies, 0, kBareWarmupPosts) < 0) status = 1;

    // Every order of the three sides in turn, so that each goes first, second and third alike.
    constexpr int kOrders[6][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1},
                                   {0, 2, 1}, {2, 1, 0}, {1, 0, 2}};
    double seconds[3] = {0, 0, 0};  // bare, off, on
    std::vector<double> on_off;
    std::vector<double> off_bare;
    std::vector<double> on_bare;
    for (int round = 0; round < kRounds && status == 0; ++round) {
        const int first = kBareWarmupPosts + round * kReportsPerRound;
        double taken[3] = {0, 0, 0};
        for (int side : kOrders[round % 6]) {
            if (side == 0) {
                taken[0] = RunBare(session, host, bodies, static_cast<std::size_t>(first),
                                   kReportsPerRound);
            } else {
                Child& child = sides[side - 1];
                if (!SendLine(child.to, "round " + std::to_string(first)) ||
                    !ReadLine(child.from, child.buffered, line)) {
                    taken[side] = -1;
                } else {
                    taken[side] = std::atof(line.c_str());
                }
            }
            if (taken[side] <= 0) {
                std::fprintf(stderr, "delivery_bench: round %d failed\n", round);
                status = 1;
                break;
            }
        }
        if (status != 0) break;
        for (int side = 0; side < 3; ++side) seconds[side] += taken[side];
        on_off.push_back(taken[1] / taken[2]);
        off_bare.push_back(taken[0] / taken[1]);
        on_bare.push_back(taken[0] / taken[2]);
    }
    if (session != nullptr) InternetCloseHandle(session);

    const char* const names[2] = {"outbox off", "outbox on"};
    for (int i = 0; i < 2; ++i) {
        SendLine(sides[i].to, "end");
        if (ReadLine(sides[i].from, sides[i].buffered, line)) {
            std::printf("%s side: %s\n", names[i], line.c_str());
        }
        if (Reap(sides[i]) != 0) {
            std::fprintf(stderr, "delivery_bench: the %s side failed\n", names[i]);
            status = 1;
        }
    }
    if (!RemoveAppFolders(outbox_app)) {
        std::fprintf(stderr, "delivery_bench: could not remove the outbox's folders\n");
        status = 1;
    }
    if (status != 0) return status;

    const double reports = kRounds * kReportsPerRound;
    std::printf("%d rounds of %d reports each way, three sides taking turns\n", kRounds,
                kReportsPerRound);
    std::printf(
        "library, outbox off: %.1f reports/s\nlibrary, outbox on: %.1f reports/s\n"
        "bare loop: %.1f reports/s\n",
        reports / seconds[1], reports / seconds[2], reports / seconds[0]);
    PrintRatios("outbox on/off", seconds[1] / seconds[2], on_off);
    PrintRatios("outbox off/bare", seconds[0] / seconds[1], off_bare);
    PrintRatios("outbox on/bare", seconds[0] / seconds[2], on_bare);
    std::printf("collector should count %d reports (3 + %d each library side, %d + %d bare)\n",
                6 + 3 * kRounds * kReportsPerRound + kBareWarmupPosts, kRounds * kReportsPerRound,
                kBareWarmupPosts, kRounds * kReportsPerRound);
    return 0;
}

// ---- memory with the outbox full -------------------------------------------------------

struct Footprint {
    SIZE_T private_bytes = 0;
    unsigned long long heap_bytes = 0;  // in use in all the process's heaps
    unsigned long long heap_blocks = 0;
};

Footprint Measure() {
    Footprint footprint;
    SIZE_T peak = 0;
    PrivateBytes(footprint.private_bytes, peak);
    const mirto_test::HeapUse heaps = mirto_test::MeasureHeaps();
    footprint.heap_bytes = heaps.bytes;
    footprint.heap_blocks = heaps.blocks;
    return footprint;
}

// The outbox's files on disk: count and bytes.
void OutboxOnDisk(const std::wstring& application_id, unsigned long long& files,
                  unsigned long long& bytes) {
    files = 0;
    bytes = 0;
    const std::wstring folder =
        KnownFolder(CSIDL_LOCAL_APPDATA) + L"\\mirto\\" + application_id + L"\\outbox\\";
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"*.*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name.size() > 4 && (name.compare(name.size() - 4, 4, L".rpt") == 0 ||
                                name.compare(name.size() - 4, 4, L".try") == 0)) {
            ++files;
            bytes +=
                (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    } while (FindNextFileW(search, &data));
    FindClose(search);
}

// In a process of its own, with the collector away: one line of figures, then the process
// ends (its worker still retrying, as a game's exit finds it).
int OutboxMemorySide(const std::string& kind, const std::wstring& host,
                     const std::wstring& application_id) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const Footprint before = Measure();
    mirto::SetHost(host.c_str());
    mirto::SetOutbox(true);
    mirto::OnStart(application_id.c_str(), L"steam", L"1.4.12.3088");
    mirto::SetUser(kUserId, L"Ryo");
    if (!mirto::Flush(kWaitMs)) return 1;
    Sleep(1500);  // the first attempt has failed; the next is 5 s away
    const Footprint started = Measure();
    const unsigned long long stored_at_start = Stats().waiting_in_outbox;

    // Pace: 400 calls at a time (the queue holds 500), each batch stored before the next;
    // until the caps have given reports up, then one batch more.
    constexpr int kBatch = 400;
    constexpr int kMostCalls = 8000;
    int calls = 0;
    int batches_after_full = 0;
    while (calls < kMostCalls && batches_after_full < 2) {
        for (int i = 0; i < kBatch; ++i, ++calls) {
            if (kind == "level") {
                mirto::SetLevel(calls);
            } else {
                mirto::OnCharge(kOrderId, kProduct, 4999, L"USD", 6500, kPayment);
            }
        }
        if (!mirto::Flush(kWaitMs)) {
            std::fprintf(stderr, "delivery_bench: a batch was not stored in time\n");
            return 1;
        }
        if (Stats().dropped_outbox_full > 0) ++batches_after_full;
    }
    const Footprint full = Measure();
    const MirtoDeliveryStats stats = Stats();
    unsigned long long files = 0;
    unsigned long long disk = 0;
    OutboxOnDisk(application_id, files, disk);
    const unsigned long long added = stats.waiting_in_outbox - stored_at_start;
    const auto delta = [](unsigned long long to, unsigned long long from) {
        return static_cast<long long>(to) - static_cast<long long>(from);
    };
    char line[768];
    std::snprintf(
        line, sizeof(line),
        "outbox-memory kind=%s calls=%d stored=%llu disk_files=%llu disk_bytes=%llu "
        "dropped=%llu state=%u private_before=%zu private_started=%zu private_full=%zu "
        "heap_before=%llu heap_started=%llu heap_full=%llu blocks_started=%llu blocks_full=%llu "
        "private_per_report=%.1f heap_per_report=%.1f",
        kind.c_str(), calls, stats.waiting_in_outbox, files, disk, stats.dropped_outbox_full,
        stats.outbox_state, static_cast<std::size_t>(before.private_bytes),
        static_cast<std::size_t>(started.private_bytes),
        static_cast<std::size_t>(full.private_bytes), before.heap_bytes, started.heap_bytes,
        full.heap_bytes, started.heap_blocks, full.heap_blocks,
        static_cast<double>(delta(full.private_bytes, started.private_bytes)) /
            static_cast<double>(added),
        static_cast<double>(delta(full.heap_bytes, started.heap_bytes)) /
            static_cast<double>(added));
    SendLine(out, line);
    // The files are counted while the worker may be renaming the oldest for an attempt, so
    // their count may be one short of the outbox's; it is shown, not checked.
    const bool sound = stats.outbox_state == 2 && stats.dropped_outbox_full > 0 &&
                       queue_full_lines.load() == 0 && other_lines.load() == 0;
    ExitProcess(sound ? 0 : 1);
}

int OutboxMemory(const std::string& kind, const std::string& host) {
    if (kind != "level" && kind != "purchase") {
        std::fprintf(stderr, "delivery_bench: unknown kind %s\n", kind.c_str());
        return 2;
    }
    const std::wstring application_id = FreshAppId(L"benchoutboxmem-");
    Child side;
    if (!Spawn(L"memory-side " + Wide(kind) + L" " + Wide(host) + L" " + application_id, side)) {
        return 1;
    }
    std::string line;
    const bool got = ReadLine(side.from, side.buffered, line);
    const DWORD code = Reap(side);
    const bool removed = RemoveAppFolders(application_id);
    if (!got || code != 0 || !removed) {
        if (got) std::fprintf(stderr, "%s\n", line.c_str());
        std::fprintf(stderr, "delivery_bench: the outbox memory run failed\n");
        return 1;
    }
    std::printf("%s\n", line.c_str());
    return 0;
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
    if (mode == "outbox") {
        const std::string host = argc > 2 ? argv[2] : "collector.test";
        return OutboxThroughput(host);
    }
    if (mode == "side" && argc > 4) {
        return Side(std::string(argv[2]) == "on", Wide(argv[3]), Wide(argv[4]));
    }
    if (mode == "outbox-memory" && argc > 2) {
        const std::string host = argc > 3 ? argv[3] : "collector.test";
        return OutboxMemory(argv[2], host);
    }
    if (mode == "memory-side" && argc > 4) {
        return OutboxMemorySide(argv[2], Wide(argv[3]), Wide(argv[4]));
    }
    if (mode == "memory" && argc > 2) {
        const std::string host = argc > 3 ? argv[3] : "collector.test";
        return Memory(argv[2], std::wstring(host.begin(), host.end()));
    }
    std::fprintf(stderr,
                 "usage: delivery_bench throughput [HOST] | delivery_bench memory "
                 "level|charge|charge-max [HOST] | delivery_bench outbox [HOST] | "
                 "delivery_bench outbox-memory level|purchase [HOST]\n");
    return 2;
}
