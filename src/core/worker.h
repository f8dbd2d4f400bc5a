// The single worker thread and the queue that feeds it.
//
// Game threads call EnsureWorkerStarted (first OnStart only) and PostOperation; the worker
// thread runs WorkerMain, which takes the records in posting order, runs their handlers one
// at a time and deletes them.
#ifndef MIRTO_CORE_WORKER_H
#define MIRTO_CORE_WORKER_H

#include <windows.h>

namespace mirto {

constexpr DWORD kWorkerStartWaitMs = 5000;

// Starts the worker unless one runs. Concurrent first calls are serialised: exactly one
// worker is ever started. Waits at most kWorkerStartWaitMs for its message queue.
void EnsureWorkerStarted() noexcept;

// Counts the operation and posts it. On failure the count is restored and the caller keeps
// ownership of the record.
[[nodiscard]] bool PostOperation(UINT code, void* record) noexcept;

// The worker's thread procedure.
DWORD WINAPI WorkerMain(void* unused);

// Asks the worker to end after the operations already queued; does not wait.
void PostWorkerQuit() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_WORKER_H
