// Counts the C++ allocations of a test program that links the library's code: every
// operator new adds one, every operator delete of a non-null pointer takes one away. Linked
// into the programs that link the core (tests/CMakeLists.txt), so the library's own allocations
// are counted, on any thread.
#ifndef MIRTO_TESTS_SUPPORT_ALLOCATION_COUNT_H
#define MIRTO_TESTS_SUPPORT_ALLOCATION_COUNT_H

#include <windows.h>

namespace mirto_test {

// Blocks allocated through operator new and not yet deleted.
long LiveAllocations();

// Waits until the live count is `expected`; false (with the last count in *seen) on time-out.
inline bool WaitForLiveAllocations(long expected, DWORD timeout_ms, long* seen) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        *seen = LiveAllocations();
        if (*seen == expected) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(5);
    }
}

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_ALLOCATION_COUNT_H
