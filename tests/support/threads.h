// Runs a body on several threads at once and waits for all of them. The toolchain's thread
// model has no std::thread, so this uses the system's threads directly.
#ifndef MIRTO_TESTS_SUPPORT_THREADS_H
#define MIRTO_TESTS_SUPPORT_THREADS_H

#include <windows.h>

#include <functional>
#include <vector>

namespace mirto_test {

// body(i) runs on thread i of `count`; returns when every thread has ended.
inline void RunOnThreads(int count, const std::function<void(int)>& body) {
    struct Start {
        const std::function<void(int)>* body;
        int index;
    };
    std::vector<Start> starts;
    starts.reserve(static_cast<std::size_t>(count));
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        starts.push_back(Start{&body, i});
        threads.push_back(CreateThread(
            nullptr, 0,
            [](void* parameter) -> DWORD {
                const auto* start = static_cast<const Start*>(parameter);
                (*start->body)(start->index);
                return 0;
            },
            &starts.back(), 0, nullptr));
    }
    for (HANDLE thread : threads) {
        if (thread == nullptr) continue;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_THREADS_H
