// The fuzz targets' assertion: a failed check aborts, which libFuzzer reports as a crash and
// keeps the input that caused it.
#ifndef MIRTO_TESTS_FUZZ_FUZZ_CHECK_H
#define MIRTO_TESTS_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                           \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

#endif  // MIRTO_TESTS_FUZZ_FUZZ_CHECK_H
