// Runs a body on several threads at once and waits for all of them. The toolchain's thread
// model has no std::thread, so this uses the system's threads directly.
#ifndef MIRTO_TESTS_SUPPORT_THREADS_H
#define MIRTO_TESTS_SUPPORT_THREADS_H

#include <windows.h>

#include <tlhelp32.h>

#include <functional>
#include <set>
#include <vector>

namespace mirto_test {

struct ThreadStart {
    const std::function<void(int)>* body;
    int index;
};

// A thread procedure is stdcall on x86, which a lambda cannot be.
inline DWORD WINAPI RunThreadStart(void* parameter) {
    const auto* start = static_cast<const ThreadStart*>(parameter);
    (*start->body)(start->index);
    return 0;
}

// body(i) runs on thread i of `count`; returns when every thread has ended.
inline void RunOnThreads(int count, const std::function<void(int)>& body) {
    using Start = ThreadStart;
    std::vector<Start> starts;
    starts.reserve(static_cast<std::size_t>(count));
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        starts.push_back(Start{&body, i});
        threads.push_back(CreateThread(nullptr, 0, RunThreadStart, &starts.back(), 0, nullptr));
    }
    for (HANDLE thread : threads) {
        if (thread == nullptr) continue;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

// The ids of this process's threads now (a snapshot).
inline std::set<DWORD> OwnThreadIds() {
    std::set<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

// The ids of this process's threads whose start address lies in `module` (the library's own
// threads, as opposed to those of the system or the test), now.
inline std::set<DWORD> ThreadsStartedIn(HMODULE module) {
    using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
    constexpr int kThreadQuerySetWin32StartAddress = 9;
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const unsigned char* end = base + nt->OptionalHeader.SizeOfImage;
    std::set<DWORD> ids;
    for (DWORD id : OwnThreadIds()) {
        const HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
        if (thread == nullptr) continue;
        void* start = nullptr;
        if (query != nullptr &&
            query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof(start), nullptr) == 0) {
            const auto* address = static_cast<const unsigned char*>(start);
            if (address >= base && address < end) ids.insert(id);
        }
        CloseHandle(thread);
    }
    return ids;
}

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_THREADS_H
