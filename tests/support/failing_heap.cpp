// The failing allocator of failing_heap.h.
#include "support/failing_heap.h"

#include <windows.h>

#include <cstdlib>

namespace mirto_test {
namespace {

using Malloc = void*(__cdecl*)(std::size_t);
using Calloc = void*(__cdecl*)(std::size_t, std::size_t);
using Realloc = void*(__cdecl*)(void*, std::size_t);
using Free = void(__cdecl*)(void*);

// The allocator's state while the patches are in place. Blocks allocated then and not yet
// freed are listed in `held`. Guarded by `lock`: the library allocates on more than one thread.
struct FailingHeap {
    SRWLOCK lock = SRWLOCK_INIT;
    Malloc malloc_original = nullptr;
    Calloc calloc_original = nullptr;
    Realloc realloc_original = nullptr;
    Free free_original = nullptr;
    int fail_at = 0;  // the allocation (from 1) that fails
    int count = 0;
    void* held[4096] = {};
    int held_count = 0;

    bool FailNow() {
        AcquireSRWLockExclusive(&lock);
        const bool fail = ++count == fail_at;
        ReleaseSRWLockExclusive(&lock);
        return fail;
    }
    void Hold(void* block) {
        AcquireSRWLockExclusive(&lock);
        if (block != nullptr && held_count < 4096) held[held_count++] = block;
        ReleaseSRWLockExclusive(&lock);
    }
    void Drop(void* block) {
        AcquireSRWLockExclusive(&lock);
        for (int i = 0; i < held_count; ++i) {
            if (held[i] == block) {
                held[i] = held[--held_count];
                break;
            }
        }
        ReleaseSRWLockExclusive(&lock);
    }
} heap;

void* __cdecl FailingMalloc(std::size_t size) {
    if (heap.FailNow()) return nullptr;
    void* block = heap.malloc_original(size);
    heap.Hold(block);
    return block;
}
void* __cdecl FailingCalloc(std::size_t count, std::size_t size) {
    if (heap.FailNow()) return nullptr;
    void* block = heap.calloc_original(count, size);
    heap.Hold(block);
    return block;
}
void* __cdecl FailingRealloc(void* old_block, std::size_t size) {
    if (heap.FailNow()) return nullptr;
    void* block = heap.realloc_original(old_block, size);
    if (block != nullptr) {
        heap.Drop(old_block);
        heap.Hold(block);
    }
    return block;
}
void __cdecl TrackingFree(void* block) {
    heap.Drop(block);
    heap.free_original(block);
}

}  // namespace

FailAllocation::FailAllocation(int n)
    : malloc_("msvcrt.dll", "malloc", reinterpret_cast<void*>(&FailingMalloc)),
      calloc_("msvcrt.dll", "calloc", reinterpret_cast<void*>(&FailingCalloc)),
      realloc_("msvcrt.dll", "realloc", reinterpret_cast<void*>(&FailingRealloc)),
      free_("msvcrt.dll", "free", reinterpret_cast<void*>(&TrackingFree)) {
    heap.malloc_original = malloc_.original<Malloc>();
    heap.calloc_original = calloc_.original<Calloc>();
    heap.realloc_original = realloc_.original<Realloc>();
    heap.free_original = free_.original<Free>();
    AcquireSRWLockExclusive(&heap.lock);
    heap.fail_at = n;
    heap.count = 0;
    heap.held_count = 0;
    ReleaseSRWLockExclusive(&heap.lock);
}

bool FailAllocation::failed() const { return heap.fail_at != 0 && heap.count >= heap.fail_at; }
int FailAllocation::count() const { return heap.count; }
int FailAllocation::held() const { return heap.held_count; }

}  // namespace mirto_test
