// What the process's heaps hand out, to the byte: page-granular private bytes hide small leaks.
// Read by the game driver's "memory" command and by the outbox's memory benchmark.
#ifndef MIRTO_TEST_SUPPORT_HEAP_USE_H
#define MIRTO_TEST_SUPPORT_HEAP_USE_H

#include <windows.h>

#include <vector>

namespace mirto_test {

struct HeapUse {
    unsigned long long bytes = 0;  // in use in all the process's heaps
    unsigned long long blocks = 0;
};

inline HeapUse MeasureHeaps() {
    HeapUse use;
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                use.bytes += entry.cbData;
                ++use.blocks;
            }
        }
        HeapUnlock(heap);
    }
    return use;
}

}  // namespace mirto_test

#endif  // MIRTO_TEST_SUPPORT_HEAP_USE_H
