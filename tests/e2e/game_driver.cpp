// A stand-in game for the end-to-end tests: loads the shipped mirto.dll like a game does and
// calls its exports as told, one command per line on standard input. It prints "ok" after
// each command has returned and every debugger line the library writes, as it is written,
// with the writing thread: "line <caller|other> <hex of the text>".
//
// Commands (texts: "-" for a null pointer, "u" + UTF-16 code units as 4 hex digits each for
// the wide functions, "b" + bytes as 2 hex digits each for the Unity functions):
//   SetHost T | OnStart T T T | SetUser T T | SetLevel N | SetServer T | OnCharge T T N T N T
//   UnitySetHost T | UnityOnStart T T T | UnitySetUser T T | UnitySetLevel N
//   UnitySetServer T | UnityOnCharge T T N T N T
//   burst THREADS CALLS   each of THREADS threads calls SetLevel(thread * 1000 + i) and
//                         OnCharge("t<thread>-<i>", ...) for i below CALLS, at once
//   load THREADS MS       THREADS threads call the functions in a fixed rotation, good and
//                         bad arguments alike, as fast as they can for MS milliseconds, then
//                         print per call kind how many were accepted, refused as full and
//                         refused for their arguments: "load <kind> <calls> <accepted>
//                         <full> <params>"
//   race KIND THREADS CALLS DELAY APPID
//                         THREADS threads wait at a barrier; once released, thread 0 makes
//                         the process's first OnStart(APPID) while every new thread's start
//                         (the worker's too) is slowed by DELAY ms; KIND "setuser": the other
//                         threads call SetUser("r<thread>-<i>") CALLS times each, starting
//                         50 ms later; KIND "onstart": the other threads call OnStart(APPID)
//                         once, 50 ms later
//   flip CALLS            calls SetServer CALLS times with a 300-character text whose 11th
//                         character another thread keeps switching between NUL and "x"
//   memory                print the process's private bytes and the bytes and blocks in use
//                         in all its heaps: "memory <private> <heap bytes> <heap blocks>"
//   facts                 print what Windows itself says about this machine and program, for
//                         tests to compare the reports against: "facts <GetSystemMetrics
//                         width> <height> <GetVersion major>.<minor> <own file version or
//                         -> <GetACP>"
//   SetOutbox N | UnitySetOutbox N
//   Flush MS | UnityFlush MS
//                         print "flush <1|0> <milliseconds the call took>"
//   Shutdown MS | UnityShutdown MS
//                         print "shutdown <1|0> <milliseconds the call took>"
//   stats [SIZE] | UnityGetDeliveryStats [SIZE]
//                         print "stats size=<n> <field>=<value> ..." (SIZE: the size the
//                         caller claims, default the whole struct; "null" passes no struct)
//   SetConsentRequired N | UnitySetConsentRequired N | SetConsent N | UnitySetConsent N
//   DeleteLocalData MS | UnityDeleteLocalData MS
//                         print "deleted <1|0>"
//   lock T | unlock       hold the file at path T open with no sharing (more than one may be
//                         held), or let every one go
//   flush-while MS CALLS  Flush(MS) on a thread of its own; once it has begun, this thread
//                         calls SetLevel(9000 + i) CALLS times; prints what Flush returned as
//                         "flush <1|0> <milliseconds the call took>"
//   terminate CODE        end the process at once with TerminateProcess
//   sleep MS | quit       quit: ExitProcess(0) at once, as a game's exit does
//   log on|unity|off      hand the library's lines to a callback (through SetLogCallback, or
//                         UnitySetLogCallback for "unity"), or remove it; the callback prints
//                         each line it gets as "log <caller|other> <writer|elsewhere>
//                         <context|wrong-context> <hex of the text>", where "writer" says that
//                         it runs on the thread that has just written that line to the debugger
//   return                return from main (the runtime's exit, then the process's)
#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mirto/mirto.h"
#include "support/debugger_line.h"
#include "support/heap_use.h"

namespace {

SRWLOCK output_lock = SRWLOCK_INIT;
DWORD main_thread = 0;
// While a load runs, lines are counted on the writing thread instead of printed.
std::atomic<bool> counting{false};
thread_local const char* last_refusal = nullptr;
// Debugger lines this thread wrote that no log callback has yet received here.
thread_local int lines_for_callback = 0;
int log_context = 0;  // its address is the log callback's context
std::vector<HANDLE> locked_files;

void Print(const std::string& text) {
    AcquireSRWLockExclusive(&output_lock);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ReleaseSRWLockExclusive(&output_lock);
}

std::string Hex(const char* bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

LONG CALLBACK OnDebugLine(EXCEPTION_POINTERS* info) {
    std::string_view line;
    if (!mirto_test::DebuggerLineOf(info, &line)) return EXCEPTION_CONTINUE_SEARCH;
    if (counting.load() && GetCurrentThreadId() != main_thread) {
        if (line.find("operation queue is full") != std::string::npos) {
            last_refusal = "full";
        } else if (line.find("params error") != std::string::npos) {
            last_refusal = "params";
        } else {
            last_refusal = "other";
        }
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    const char* who = GetCurrentThreadId() == main_thread ? "caller" : "other";
    Print(std::string("line ") + who + " " + Hex(line.data(), line.size()));
    ++lines_for_callback;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void MIRTO_CALL OnLogLine(const char* line, void* context) {
    const char* who = GetCurrentThreadId() == main_thread ? "caller" : "other";
    const char* writer = lines_for_callback > 0 ? "writer" : "elsewhere";
    if (lines_for_callback > 0) --lines_for_callback;
    Print(std::string("log ") + who + " " + writer + " " +
          (context == &log_context ? "context" : "wrong-context") + " " +
          Hex(line, std::strlen(line)));
}

unsigned HexValue(char digit) {
    if (digit >= '0' && digit <= '9') return static_cast<unsigned>(digit - '0');
    return static_cast<unsigned>((digit | 0x20) - 'a' + 10);
}

// An argument: null, or the decoded text (kept alive by the vector it lives in).
struct WideArgument {
    bool null = true;
    std::wstring text;
    const wchar_t* get() const { return null ? nullptr : text.c_str(); }
};
struct ByteArgument {
    bool null = true;
    std::string text;
    const char* get() const { return null ? nullptr : text.c_str(); }
};

WideArgument Wide(const std::string& token) {
    WideArgument argument;
    if (token == "-") return argument;
    argument.null = false;
    for (std::size_t i = 1; i + 4 <= token.size(); i += 4) {
        argument.text +=
            static_cast<wchar_t>(HexValue(token[i]) << 12 | HexValue(token[i + 1]) << 8 |
                                 HexValue(token[i + 2]) << 4 | HexValue(token[i + 3]));
    }
    return argument;
}

ByteArgument Bytes(const std::string& token) {
    ByteArgument argument;
    if (token == "-") return argument;
    argument.null = false;
    for (std::size_t i = 1; i + 2 <= token.size(); i += 2) {
        argument.text += static_cast<char>(HexValue(token[i]) << 4 | HexValue(token[i + 1]));
    }
    return argument;
}

int Number(const std::string& token) {
    return static_cast<int>(std::strtol(token.c_str(), nullptr, 10));
}

struct Burst {
    int thread;
    int calls;
};

DWORD WINAPI BurstThread(void* parameter) {
    const auto* burst = static_cast<const Burst*>(parameter);
    for (int i = 0; i < burst->calls; ++i) {
        mirto::SetLevel(burst->thread * 1000 + i);
        const std::wstring order =
            L"t" + std::to_wstring(burst->thread) + L"-" + std::to_wstring(i);
        mirto::OnCharge(order.c_str(), L"gem", 1 + i, L"CNY", i, L"card");
    }
    return 0;
}

void RunBurst(int threads, int calls) {
    std::vector<Burst> bursts;
    bursts.reserve(static_cast<std::size_t>(threads));
    std::vector<HANDLE> handles;
    for (int t = 0; t < threads; ++t) {
        bursts.push_back(Burst{t, calls});
        handles.push_back(CreateThread(nullptr, 0, BurstThread, &bursts.back(), 0, nullptr));
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    for (HANDLE handle : handles) CloseHandle(handle);
}

// One kind of call in the load rotation; `good` says whether its arguments are valid.
struct LoadKind {
    const char* name;
    bool good;
    void (*call)(int);
};

const LoadKind kLoadKinds[] = {
    {"SetLevel", true, [](int i) { mirto::SetLevel(i); }},
    {"SetServer", true, [](int) { mirto::SetServer(L"load-server"); }},
    {"OnCharge", true,
     [](int i) { mirto::OnCharge(L"load-order", L"gem", 1 + i % 100, L"EUR", 0, nullptr); }},
    {"SetUser", true, [](int) { mirto::SetUser(L"load-user", L""); }},
    {"UnitySetLevel", true, [](int i) { UnitySetLevel(i); }},
    {"SetLevelBad", false, [](int) { mirto::SetLevel(-1); }},
    {"UnitySetServerBad", false, [](int) { UnitySetServer(""); }},
    {"OnChargeBad", false, [](int) { mirto::OnCharge(nullptr, nullptr, 0, nullptr, 0, nullptr); }},
};
constexpr std::size_t kKindCount = sizeof(kLoadKinds) / sizeof(kLoadKinds[0]);

struct LoadCounts {
    long long calls[kKindCount] = {};
    long long accepted[kKindCount] = {};
    long long full[kKindCount] = {};
    long long params[kKindCount] = {};
    long long other = 0;
};

struct LoadThread {
    ULONGLONG deadline;
    LoadCounts counts;
};

DWORD WINAPI LoadLoop(void* parameter) {
    auto* load = static_cast<LoadThread*>(parameter);
    for (int i = 0; GetTickCount64() < load->deadline; ++i) {
        const std::size_t kind = static_cast<std::size_t>(i) % kKindCount;
        last_refusal = nullptr;
        kLoadKinds[kind].call(i);
        ++load->counts.calls[kind];
        if (last_refusal == nullptr) {
            ++load->counts.accepted[kind];
        } else if (std::string(last_refusal) == "full") {
            ++load->counts.full[kind];
        } else if (std::string(last_refusal) == "params") {
            ++load->counts.params[kind];
        } else {
            ++load->counts.other;
        }
    }
    return 0;
}

void RunLoad(int threads, int milliseconds) {
    std::vector<LoadThread> loads(static_cast<std::size_t>(threads));
    std::vector<HANDLE> handles;
    counting = true;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    for (LoadThread& load : loads) {
        load.deadline = deadline;
        handles.push_back(CreateThread(nullptr, 0, LoadLoop, &load, 0, nullptr));
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    for (HANDLE handle : handles) CloseHandle(handle);
    counting = false;
    LoadCounts total;
    for (const LoadThread& load : loads) {
        for (std::size_t k = 0; k < kKindCount; ++k) {
            total.calls[k] += load.counts.calls[k];
            total.accepted[k] += load.counts.accepted[k];
            total.full[k] += load.counts.full[k];
            total.params[k] += load.counts.params[k];
        }
        total.other += load.counts.other;
    }
    for (std::size_t k = 0; k < kKindCount; ++k) {
        char line[160];
        std::snprintf(line, sizeof(line), "load %s %s %lld %lld %lld %lld", kLoadKinds[k].name,
                      kLoadKinds[k].good ? "good" : "bad", total.calls[k], total.accepted[k],
                      total.full[k], total.params[k]);
        Print(line);
    }
    Print("load other " + std::to_string(total.other));
}

struct RaceThread {
    int index;
    int calls;
    bool all_start;
    const std::wstring* app_id;
    HANDLE ready;
    HANDLE go;
};

DWORD WINAPI RaceLoop(void* parameter) {
    const auto* race = static_cast<const RaceThread*>(parameter);
    SetEvent(race->ready);
    WaitForSingleObject(race->go, INFINITE);
    if (race->index == 0) {
        mirto::OnStart(race->app_id->c_str(), L"race", L"1.0");
        return 0;
    }
    Sleep(50);
    if (race->all_start) {
        mirto::OnStart(race->app_id->c_str(), L"race", L"1.0");
        return 0;
    }
    for (int i = 0; i < race->calls; ++i) {
        const std::wstring user = L"r" + std::to_wstring(race->index) + L"-" + std::to_wstring(i);
        mirto::SetUser(user.c_str(), L"");
    }
    return 0;
}

void RunRace(bool all_start, int threads, int calls, int delay_ms, const std::wstring& app_id) {
    using SetDelay = void (*)(LONG);
    static HMODULE slow = LoadLibraryW(L"slow_thread_start.dll");
    const auto set_delay = slow == nullptr
                               ? nullptr
                               : reinterpret_cast<SetDelay>(reinterpret_cast<void (*)()>(
                                     GetProcAddress(slow, "SetThreadStartDelay")));
    if (set_delay == nullptr) {
        Print("error slow_thread_start.dll not usable");
        return;
    }
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<RaceThread> races(static_cast<std::size_t>(threads));
    std::vector<HANDLE> handles;
    std::vector<HANDLE> ready;
    for (int t = 0; t < threads; ++t) {
        races[static_cast<std::size_t>(t)] = RaceThread{
            t, calls, all_start, &app_id, CreateEventW(nullptr, TRUE, FALSE, nullptr), go};
        ready.push_back(races[static_cast<std::size_t>(t)].ready);
        handles.push_back(
            CreateThread(nullptr, 0, RaceLoop, &races[static_cast<std::size_t>(t)], 0, nullptr));
    }
    WaitForMultipleObjects(static_cast<DWORD>(ready.size()), ready.data(), TRUE, INFINITE);
    set_delay(delay_ms);  // only threads started from now on: the worker
    SetEvent(go);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    set_delay(0);
    for (HANDLE handle : handles) CloseHandle(handle);
    for (HANDLE event : ready) CloseHandle(event);
    CloseHandle(go);
}

struct FlippingText {
    wchar_t text[301];
    volatile LONG running;
    volatile LONG stop;
};

DWORD WINAPI FlipLoop(void* parameter) {
    auto* flipping = static_cast<FlippingText*>(parameter);
    volatile wchar_t* unit = &flipping->text[10];
    // Each state holds for a moment, so calls see both, and some see the switch between
    // measuring the text and copying it.
    auto hold = [] {
        for (volatile int spin = 0; spin < 300; spin = spin + 1) {
        }
    };
    InterlockedExchange(&flipping->running, 1);
    while (flipping->stop == 0) {
        *unit = L'\0';
        hold();
        *unit = L'x';
        hold();
    }
    return 0;
}

void RunFlip(int calls) {
    FlippingText flipping{};
    for (int i = 0; i < 300; ++i) flipping.text[i] = L'x';
    HANDLE flipper = CreateThread(nullptr, 0, FlipLoop, &flipping, 0, nullptr);
    while (flipping.running == 0) Sleep(0);
    for (int i = 0; i < calls; ++i) {
        mirto::SetServer(flipping.text);
        // Let the other thread run now and then, however busy the machine, so the calls meet
        // the text in both states.
        if (i % 8 == 7) Sleep(1);
    }
    InterlockedExchange(&flipping.stop, 1);
    WaitForSingleObject(flipper, INFINITE);
    CloseHandle(flipper);
}

void PrintMemory() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    // Wine leaves PrivateUsage at 0; its pagefile figure counts the same committed memory.
    const SIZE_T committed =
        counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    const mirto_test::HeapUse heaps = mirto_test::MeasureHeaps();
    Print("memory " + std::to_string(committed) + " " + std::to_string(heaps.bytes) + " " +
          std::to_string(heaps.blocks));
}

std::string OwnFileVersion() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return "-";
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
        info == nullptr) {
        return "-";
    }
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(info->dwFileVersionLS));
}

void PrintFacts() {
    const DWORD version = GetVersion();
    Print("facts " + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " " +
          std::to_string(GetSystemMetrics(SM_CYSCREEN)) + " " +
          std::to_string(LOBYTE(LOWORD(version))) + "." + std::to_string(HIBYTE(LOWORD(version))) +
          " " + OwnFileVersion() + " " + std::to_string(GetACP()));
}

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// Runs one of the waiting calls (Flush, Shutdown) and prints "<label> <1|0> <milliseconds>".
void RunTimed(const char* label, bool (*call)(unsigned int), unsigned int timeout_ms) {
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    const bool done = call(timeout_ms);
    QueryPerformanceCounter(&after);
    char text[64];
    std::snprintf(text, sizeof(text), "%s %d %.1f", label, done ? 1 : 0,
                  Milliseconds(before, after));
    Print(text);
}

struct FlushOnAThread {
    unsigned int timeout_ms;
    bool flushed;
    double milliseconds;
};

DWORD WINAPI FlushThread(void* parameter) {
    auto* flush = static_cast<FlushOnAThread*>(parameter);
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    flush->flushed = mirto::Flush(flush->timeout_ms);
    QueryPerformanceCounter(&after);
    flush->milliseconds = Milliseconds(before, after);
    return 0;
}

// Operations posted after a Flush has begun are not the Flush's to wait for, whatever becomes
// of them.
void RunFlushWhile(unsigned int timeout_ms, int calls) {
    FlushOnAThread flush{timeout_ms, false, 0};
    const HANDLE thread = CreateThread(nullptr, 0, FlushThread, &flush, 0, nullptr);
    Sleep(50);  // the Flush has taken its count of what was posted before it
    for (int i = 0; i < calls; ++i) mirto::SetLevel(9000 + i);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    char text[64];
    std::snprintf(text, sizeof(text), "flush %d %.1f", flush.flushed ? 1 : 0, flush.milliseconds);
    Print(text);
}

const struct {
    const char* command;
    const char* label;
    bool (*call)(unsigned int);
} kTimedCalls[] = {
    {"Flush", "flush", [](unsigned int ms) { return mirto::Flush(ms); }},
    {"UnityFlush", "flush", [](unsigned int ms) { return UnityFlush(ms) != 0; }},
    {"Shutdown", "shutdown", [](unsigned int ms) { return mirto::Shutdown(ms); }},
    {"UnityShutdown", "shutdown", [](unsigned int ms) { return UnityShutdown(ms) != 0; }},
};

// True when `command` is one of the waiting calls, which then ran.
bool RunTimedCommand(const std::vector<std::string>& a) {
    for (const auto& timed : kTimedCalls) {
        if (a[0] == timed.command) {
            RunTimed(timed.label, timed.call, static_cast<unsigned int>(std::stoul(a.at(1))));
            return true;
        }
    }
    return false;
}

void PrintStats(bool unity, const std::vector<std::string>& a) {
    // Room past the struct, filled with a pattern, shows what the library wrote.
    struct {
        MirtoDeliveryStats stats;
        unsigned char beyond[16];
    } buffer;
    std::memset(&buffer, 0xA5, sizeof(buffer));
    MirtoDeliveryStats* target = &buffer.stats;
    if (a.size() > 1 && a[1] == "null") {
        target = nullptr;
    } else {
        buffer.stats.size = a.size() > 1 ? static_cast<unsigned int>(Number(a[1]))
                                         : static_cast<unsigned int>(sizeof(MirtoDeliveryStats));
    }
    if (unity) {
        UnityGetDeliveryStats(target);
    } else {
        mirto::GetDeliveryStats(target);
    }
    const MirtoDeliveryStats& v = buffer.stats;
    std::ostringstream out;
    out << "stats size=" << v.size << " outbox_state=" << v.outbox_state
        << " last_failure_status=" << v.last_failure_status
        << " last_failure_error=" << v.last_failure_error
        << " operations_accepted=" << v.operations_accepted
        << " refused_no_worker=" << v.refused_no_worker
        << " refused_queue_full=" << v.refused_queue_full << " refused_params=" << v.refused_params
        << " reports_delivered=" << v.reports_delivered << " attempts_failed=" << v.attempts_failed
        << " possible_duplicates=" << v.possible_duplicates
        << " reports_restored=" << v.reports_restored
        << " waiting_in_memory=" << v.waiting_in_memory
        << " waiting_in_outbox=" << v.waiting_in_outbox
        << " dropped_outbox_full=" << v.dropped_outbox_full
        << " dropped_damaged=" << v.dropped_damaged << " dropped_at_quit=" << v.dropped_at_quit
        << " oldest_waiting_age_ms=" << v.oldest_waiting_age_ms
        << " operations_waiting=" << v.operations_waiting
        << " dropped_expired=" << v.dropped_expired
        << " dropped_out_of_memory=" << v.dropped_out_of_memory
        << " consent_state=" << v.consent_state << " operations_held=" << v.operations_held
        << " held_dropped_full=" << v.held_dropped_full
        << " operations_dropped_consent=" << v.operations_dropped_consent
        << " reports_dropped_consent=" << v.reports_dropped_consent << " beyond=";
    for (const unsigned char byte : buffer.beyond) out << (byte == 0xA5 ? '.' : 'x');
    Print(out.str());
}

void Run(const std::vector<std::string>& a) {
    const std::string& c = a[0];
    auto W = [&](std::size_t i) { return Wide(a.at(i)); };
    auto B = [&](std::size_t i) { return Bytes(a.at(i)); };
    if (c == "SetHost") {
        mirto::SetHost(W(1).get());
    } else if (c == "OnStart") {
        const auto x = W(1), y = W(2), z = W(3);
        mirto::OnStart(x.get(), y.get(), z.get());
    } else if (c == "SetUser") {
        const auto x = W(1), y = W(2);
        mirto::SetUser(x.get(), y.get());
    } else if (c == "SetLevel") {
        mirto::SetLevel(Number(a.at(1)));
    } else if (c == "SetServer") {
        mirto::SetServer(W(1).get());
    } else if (c == "OnCharge") {
        const auto o = W(1), p = W(2), t = W(4), y = W(6);
        mirto::OnCharge(o.get(), p.get(), Number(a.at(3)), t.get(), Number(a.at(5)), y.get());
    } else if (c == "UnitySetHost") {
        UnitySetHost(B(1).get());
    } else if (c == "UnityOnStart") {
        const auto x = B(1), y = B(2), z = B(3);
        UnityOnStart(x.get(), y.get(), z.get());
    } else if (c == "UnitySetUser") {
        const auto x = B(1), y = B(2);
        UnitySetUser(x.get(), y.get());
    } else if (c == "UnitySetLevel") {
        UnitySetLevel(Number(a.at(1)));
    } else if (c == "UnitySetServer") {
        UnitySetServer(B(1).get());
    } else if (c == "UnityOnCharge") {
        const auto o = B(1), p = B(2), t = B(4), y = B(6);
        UnityOnCharge(o.get(), p.get(), Number(a.at(3)), t.get(), Number(a.at(5)), y.get());
    } else if (c == "SetOutbox") {
        mirto::SetOutbox(Number(a.at(1)) != 0);
    } else if (c == "UnitySetOutbox") {
        UnitySetOutbox(Number(a.at(1)));
    } else if (RunTimedCommand(a)) {
    } else if (c == "stats" || c == "UnityGetDeliveryStats") {
        PrintStats(c != "stats", a);
    } else if (c == "SetConsentRequired") {
        mirto::SetConsentRequired(Number(a.at(1)) != 0);
    } else if (c == "UnitySetConsentRequired") {
        UnitySetConsentRequired(Number(a.at(1)));
    } else if (c == "SetConsent") {
        mirto::SetConsent(Number(a.at(1)) != 0);
    } else if (c == "UnitySetConsent") {
        UnitySetConsent(Number(a.at(1)));
    } else if (c == "DeleteLocalData" || c == "UnityDeleteLocalData") {
        const auto timeout_ms = static_cast<unsigned int>(std::stoul(a.at(1)));
        const bool deleted = c == "DeleteLocalData" ? mirto::DeleteLocalData(timeout_ms)
                                                    : UnityDeleteLocalData(timeout_ms) != 0;
        Print(deleted ? "deleted 1" : "deleted 0");
    } else if (c == "terminate") {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(Number(a.at(1))));
    } else if (c == "burst") {
        RunBurst(Number(a.at(1)), Number(a.at(2)));
    } else if (c == "load") {
        RunLoad(Number(a.at(1)), Number(a.at(2)));
    } else if (c == "race") {
        RunRace(a.at(1) == "onstart", Number(a.at(2)), Number(a.at(3)), Number(a.at(4)), W(5).text);
    } else if (c == "flip") {
        RunFlip(Number(a.at(1)));
    } else if (c == "memory") {
        PrintMemory();
    } else if (c == "facts") {
        PrintFacts();
    } else if (c == "lock") {
        const HANDLE file = CreateFileW(W(1).get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Print("error lock failed " + std::to_string(GetLastError()));
            return;
        }
        locked_files.push_back(file);
    } else if (c == "unlock") {
        for (const HANDLE file : locked_files) CloseHandle(file);
        locked_files.clear();
    } else if (c == "flush-while") {
        RunFlushWhile(static_cast<unsigned int>(std::stoul(a.at(1))), Number(a.at(2)));
    } else if (c == "log") {
        const MirtoLogCallback callback = a.at(1) == "off" ? nullptr : OnLogLine;
        if (a.at(1) == "unity") {
            UnitySetLogCallback(callback, &log_context);
        } else {
            mirto::SetLogCallback(callback, &log_context);
        }
    } else if (c == "sleep") {
        Sleep(static_cast<DWORD>(Number(a.at(1))));
    } else {
        Print("error unknown command " + c);
        return;
    }
    Print("ok " + c);
}

}  // namespace

int main() {
    main_thread = GetCurrentThreadId();
    AddVectoredExceptionHandler(1, OnDebugLine);
    Print("ready");
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::vector<std::string> a;
        for (std::string word; words >> word;) a.push_back(word);
        if (a.empty()) continue;
        if (a[0] == "quit") break;
        if (a[0] == "return") {
            Print("bye");
            return 0;
        }
        Run(a);
    }
    Print("bye");
    // Ends the process at once, as a game's exit does, whatever the worker is doing.
    ExitProcess(0);
}
