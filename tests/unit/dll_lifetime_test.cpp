// A game may unload the library while its worker still runs. The worker keeps its own
// reference to the module, so the code it runs stays mapped until it has ended, and the
// module goes away only then.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>
#include <set>

namespace {

std::set<DWORD> OwnThreads() {
    std::set<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
    }
    CloseHandle(snapshot);
    return ids;
}

TEST(Lifetime, UnloadWhileTheWorkerRunsKeepsTheCodeMappedUntilItEnds) {
    HMODULE library = LoadLibraryW(L"mirto.dll");
    ASSERT_NE(library, nullptr);
    using SetHostFn = void(__cdecl*)(const char*);
    using OnStartFn = void(__cdecl*)(const char*, const char*, const char*);
    auto set_host = reinterpret_cast<SetHostFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "UnitySetHost")));
    auto on_start = reinterpret_cast<OnStartFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "UnityOnStart")));
    ASSERT_NE(set_host, nullptr);
    ASSERT_NE(on_start, nullptr);

    const std::set<DWORD> before = OwnThreads();
    set_host("unreachable.invalid");
    on_start("", "", "");  // refused, but the worker runs from now on
    DWORD worker = 0;
    for (DWORD id : OwnThreads()) {
        if (before.count(id) == 0) worker = id;
    }
    ASSERT_NE(worker, 0u);

    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_NE(GetModuleHandleW(L"mirto.dll"), nullptr) << "unmapped under a running worker";

    const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, worker);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(PostThreadMessageW(worker, WM_QUIT, 0, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(GetModuleHandleW(L"mirto.dll"), nullptr) << "the worker's reference was not dropped";
}

}  // namespace
