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
//   sleep MS | quit
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mirto/mirto.h"

namespace {

SRWLOCK output_lock = SRWLOCK_INIT;
DWORD main_thread = 0;

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
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto length = static_cast<std::size_t>(record->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    const char* who = GetCurrentThreadId() == main_thread ? "caller" : "other";
    Print(std::string("line ") + who + " " + Hex(text, length > 0 ? length - 1 : 0));
    return EXCEPTION_CONTINUE_EXECUTION;
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
        argument.text += static_cast<wchar_t>(HexValue(token[i]) << 12 | HexValue(token[i + 1]) << 8 |
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

int Number(const std::string& token) { return static_cast<int>(std::strtol(token.c_str(), nullptr, 10)); }

struct Burst {
    int thread;
    int calls;
};

DWORD WINAPI BurstThread(void* parameter) {
    const auto* burst = static_cast<const Burst*>(parameter);
    for (int i = 0; i < burst->calls; ++i) {
        mirto::SetLevel(burst->thread * 1000 + i);
        const std::wstring order = L"t" + std::to_wstring(burst->thread) + L"-" + std::to_wstring(i);
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
    } else if (c == "burst") {
        RunBurst(Number(a.at(1)), Number(a.at(2)));
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
        Run(a);
    }
    Print("bye");
    // Ends the process at once, as a game's exit does, whatever the worker is doing.
    ExitProcess(0);
}
