// The export that ends the library's work for a bounded time, so that a game can unload the
// DLL (or start afresh): the worker delivers (or, with the outbox, stores) what is queued, the
// caller waits at most the timeout, then every thread of the library stops (core/worker.h,
// EndWorker).
#include <windows.h>

#include "core/worker.h"
#include "mirto/mirto.h"

namespace mirto {

bool MIRTO_CALL Shutdown(unsigned int timeout_ms) noexcept {
    return EndWorker(static_cast<DWORD>(timeout_ms));
}

}  // namespace mirto
