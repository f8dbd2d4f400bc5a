// A game may unload the library while its worker still runs. The worker keeps its own
// reference to the module, so the code it runs stays mapped until it has ended, and the
// module goes away only then.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>
#include <set>

#include "support/threads.h"

namespace {

using mirto_test::OwnThreadIds;

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

    const std::set<DWORD> before = OwnThreadIds();
    set_host("unreachable.invalid");
    on_start("", "", "");  // refused, but the worker runs from now on
    std::set<DWORD> added;
    for (DWORD id : OwnThreadIds()) {
        if (before.count(id) == 0) added.insert(id);
    }
    ASSERT_EQ(added.size(), 1u) << "exactly one new thread: the worker";
    const DWORD worker = *added.begin();

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
