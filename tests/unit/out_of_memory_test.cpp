// Memory running out at every step of building a report envelope and of a start: nothing may
// leak and no half-started session may keep its internet handle. The C runtime's allocator is
// replaced, through this program's import table, by one that fails the n-th allocation and
// keeps track of the blocks still held.
#include <windows.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <utility>

#include "core/delivery.h"
#include "core/host_slot.h"
#include "json/json.h"
#include "mirto/mirto.h"
#include "reports/envelope.h"
#include "reports/handlers.h"
#include "reports/report_state.h"
#include "support/import_patch.h"
#include "support/process.h"

namespace {

using mirto_test::ImportPatch;

using Malloc = void*(__cdecl*)(std::size_t);
using Calloc = void*(__cdecl*)(std::size_t, std::size_t);
using Realloc = void*(__cdecl*)(void*, std::size_t);
using Free = void(__cdecl*)(void*);

// The allocator's state while the patches are in place. Blocks allocated then and not yet
// freed are listed in `held`.
struct FailingHeap {
    Malloc malloc_original = nullptr;
    Calloc calloc_original = nullptr;
    Realloc realloc_original = nullptr;
    Free free_original = nullptr;
    int fail_at = 0;  // the allocation (from 1) that fails
    int count = 0;
    void* held[4096] = {};
    int held_count = 0;

    bool FailNow() { return ++count == fail_at; }
    void Hold(void* block) {
        if (block != nullptr && held_count < 4096) held[held_count++] = block;
    }
    void Drop(void* block) {
        for (int i = 0; i < held_count; ++i) {
            if (held[i] == block) {
                held[i] = held[--held_count];
                return;
            }
        }
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

// Replaces the allocator for its lifetime; the n-th allocation from now fails.
class FailAllocation {
   public:
    explicit FailAllocation(int n)
        : malloc_("msvcrt.dll", "malloc", reinterpret_cast<void*>(&FailingMalloc)),
          calloc_("msvcrt.dll", "calloc", reinterpret_cast<void*>(&FailingCalloc)),
          realloc_("msvcrt.dll", "realloc", reinterpret_cast<void*>(&FailingRealloc)),
          free_("msvcrt.dll", "free", reinterpret_cast<void*>(&TrackingFree)) {
        heap.malloc_original = malloc_.original<Malloc>();
        heap.calloc_original = calloc_.original<Calloc>();
        heap.realloc_original = realloc_.original<Realloc>();
        heap.free_original = free_.original<Free>();
        heap.fail_at = n;
        heap.count = 0;
        heap.held_count = 0;
    }
    bool failed() const { return heap.count >= heap.fail_at; }

   private:
    ImportPatch malloc_, calloc_, realloc_, free_;
};

TEST(OutOfMemory, AnEnvelopeLeaksNothingWhicheverAllocationFails) {
    const std::string index = "game_analysis-app";
    const std::string identify = "u9";
    for (int n = 1;; ++n) {
        int held = 0;
        bool failed = false;
        {
            FailAllocation fail(n);
            mirto::JsonTree properties(mirto::NewJsonObject());
            mirto::AddText(properties.get(), "identifyType", "user");
            mirto::AddInteger(properties.get(), "level", 7);
            mirto::JsonTree envelope =
                mirto::NewEventEnvelope("level", index, identify, std::move(properties));
            envelope.reset();
            failed = fail.failed();
            held = heap.held_count;
        }
        EXPECT_EQ(held, 0) << "blocks left when allocation " << n << " failed";
        if (!failed) break;  // every allocation of the envelope has now failed once
        ASSERT_LT(n, 200);
    }
}

TEST(OutOfMemory, AStartThatFailsLeavesNoInternetSessionBehind) {
    const std::wstring id = L"oom" + std::to_wstring(GetCurrentProcessId());
    const std::wstring channel(40, L'c');  // long enough to need the heap
    const mirto::OnStartRecord record{id, channel, L"1.0.0-with-a-long-version-text"};
    // The delivery is told to stop, as a stopping worker's is: the device identify of a start
    // that succeeds is given up at once.
    const HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(stop, nullptr);
    mirto::Delivery delivery(false, nullptr, stop);
    mirto::CollectionHost().Set(L"unreachable.invalid");
    for (int n = 1;; ++n) {
        bool started = false;
        bool failed = false;
        {
            FailAllocation fail(n);
            try {
                mirto::HandleOnStart(record, delivery);
            } catch (const std::bad_alloc&) {
            }
            failed = fail.failed();
            started = !mirto::CurrentReports().index.empty();
        }
        if (!started) {
            EXPECT_EQ(delivery.connected(), false)
                << "allocation " << n << " failed and the session handle stayed open";
        }
        if (started || !failed) break;
        ASSERT_LT(n, 2000);
    }
    EXPECT_FALSE(mirto::CurrentReports().index.empty()) << "the start never succeeded";
    CloseHandle(stop);
}

TEST(OutOfMemory, TheFirstUseOfTheHostSlotNeedsNoMemory) {
    if (mirto_test::RanInFreshProcess()) return;
    // The built-in host ("localhost") is longer than a string holds without the heap.
    {
        FailAllocation fail(1);
        mirto::SetHost(L"x");  // a host short enough to need no heap either
    }
    EXPECT_EQ(mirto::CollectionHost().Get(), L"x");
}

}  // namespace
