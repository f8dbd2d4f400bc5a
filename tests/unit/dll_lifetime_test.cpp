// The library's lifetime in a game that loads it at run time. Without Shutdown the worker keeps
// its own reference to the module, so unloading while it runs keeps the code mapped; Shutdown
// ends the worker and every thread of the library, and the game's FreeLibrary then really
// unloads it, after which the game may load it again and start afresh.
#include <windows.h>

#include <gtest/gtest.h>
#include <set>
#include <string>

#include "support/process.h"
#include "support/threads.h"

namespace {

using mirto_test::OwnThreadIds;

// The Unity entry points a test uses, from the module loaded now.
struct Library {
    explicit Library(HMODULE handle) : module(handle) {
        set_host = Find<void(__cdecl*)(const char*)>("UnitySetHost");
        on_start = Find<void(__cdecl*)(const char*, const char*, const char*)>("UnityOnStart");
        set_user = Find<void(__cdecl*)(const char*, const char*)>("UnitySetUser");
        shutdown = Find<int(__cdecl*)(unsigned int)>("UnityShutdown");
    }
    template <typename Function>
    Function Find(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    bool complete() const { return set_host && on_start && set_user && shutdown; }

    HMODULE module;
    void(__cdecl* set_host)(const char*) = nullptr;
    void(__cdecl* on_start)(const char*, const char*, const char*) = nullptr;
    void(__cdecl* set_user)(const char*, const char*) = nullptr;
    int(__cdecl* shutdown)(unsigned int) = nullptr;
};

std::set<DWORD> Added(const std::set<DWORD>& before) {
    std::set<DWORD> added;
    for (DWORD id : OwnThreadIds()) {
        if (before.count(id) == 0) added.insert(id);
    }
    return added;
}

TEST(Lifetime, UnloadWhileTheWorkerRunsKeepsTheCodeMappedUntilItEnds) {
    if (mirto_test::RanInFreshProcess()) return;
    HMODULE library = LoadLibraryW(L"mirto.dll");
    ASSERT_NE(library, nullptr);
    const Library mirto(library);
    ASSERT_TRUE(mirto.complete());

    const std::set<DWORD> before = OwnThreadIds();
    mirto.set_host("unreachable.invalid");
    mirto.on_start("", "", "");  // refused, but the worker runs from now on
    const std::set<DWORD> added = Added(before);
    ASSERT_EQ(added.size(), 1u) << "exactly one new thread: the worker";

    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_NE(GetModuleHandleW(L"mirto.dll"), nullptr) << "unmapped under a running worker";

    // Shutdown is called with a reference of the game's own, as any call must be.
    ASSERT_EQ(LoadLibraryW(L"mirto.dll"), library);
    EXPECT_EQ(mirto.shutdown(5000), 1) << "nothing was queued";
    ASSERT_TRUE(FreeLibrary(library));
    EXPECT_EQ(GetModuleHandleW(L"mirto.dll"), nullptr) << "the worker's reference was not dropped";
}

TEST(Lifetime, AfterShutdownFreeLibraryUnloadsTheLibraryAndNoThreadOfItRemains) {
    if (mirto_test::RanInFreshProcess()) return;
    const std::set<DWORD> before = OwnThreadIds();
    for (int round = 1; round <= 2; ++round) {
        HMODULE library = LoadLibraryW(L"mirto.dll");
        ASSERT_NE(library, nullptr);
        const Library mirto(library);
        ASSERT_TRUE(mirto.complete());
        // A session whose reports cannot be delivered: the worker, its attempt thread and the
        // internet session are all in use when Shutdown comes.
        mirto.set_host("unreachable.invalid");
        const std::string app = "lifetime-" + std::to_string(GetCurrentProcessId());
        mirto.on_start(app.c_str(), "", "1.0");
        mirto.set_user("u1", "");
        EXPECT_GE(Added(before).size(), 1u);
        EXPECT_EQ(mirto.shutdown(300), 0) << "round " << round << ": nothing can be delivered";
        EXPECT_EQ(Added(before), std::set<DWORD>{}) << "round " << round;
        ASSERT_TRUE(FreeLibrary(library));
        EXPECT_EQ(GetModuleHandleW(L"mirto.dll"), nullptr) << "round " << round;
    }
    // The process goes on, with no thread of the library in it.
    EXPECT_EQ(Added(before), std::set<DWORD>{});
}

}  // namespace
