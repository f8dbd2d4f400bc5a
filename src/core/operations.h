// The operation codes: the thread-message ids under which the exports post their records
// (reports/records.h) to the worker, first parameter 0, second the record's address. The
// export allocates the record; once the post succeeds the worker owns it and deletes it after
// the handler has returned.
#ifndef MIRTO_CORE_OPERATIONS_H
#define MIRTO_CORE_OPERATIONS_H

#include <windows.h>

#include <cstdint>

#include "reports/records.h"

namespace mirto {

constexpr UINT kOpOnStart = 2486;
constexpr UINT kOpSetUser = 2487;
constexpr UINT kOpSetLevel = 2488;
constexpr UINT kOpSetServer = 2489;
constexpr UINT kOpOnCharge = 2490;

constexpr std::int32_t kMaxPendingOperations = 500;

}  // namespace mirto

#endif  // MIRTO_CORE_OPERATIONS_H
