// Memory that runs out on purpose: while a FailAllocation lives, the C runtime's allocator that
// this program (and the library's code linked into it) imports is replaced, through the
// program's import table, by one that fails the n-th allocation from then on and keeps track
// of the blocks still held. Allocations of every thread count.
#ifndef MIRTO_TESTS_SUPPORT_FAILING_HEAP_H
#define MIRTO_TESTS_SUPPORT_FAILING_HEAP_H

#include "support/import_patch.h"

namespace mirto_test {

class FailAllocation {
   public:
    // `n` from 1; 0 fails none (and only counts).
    explicit FailAllocation(int n);
    ~FailAllocation() = default;
    FailAllocation(const FailAllocation&) = delete;
    FailAllocation& operator=(const FailAllocation&) = delete;

    // The n-th allocation was reached (and failed).
    [[nodiscard]] bool failed() const;
    // Allocations made since, and blocks allocated since and not freed.
    [[nodiscard]] int count() const;
    [[nodiscard]] int held() const;

   private:
    ImportPatch malloc_, calloc_, realloc_, free_;
};

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_FAILING_HEAP_H
