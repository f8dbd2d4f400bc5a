// A worker that has ended (it took its quit message) can take no more operations. A post to
// it fails; the call must then be refused, not counted and not leaked, or after 500 such calls
// the library would refuse everything for the rest of the process.
#include <windows.h>

#include <gtest/gtest.h>

#include "core/worker.h"
#include "mirto/mirto.h"
#include "support/debug_capture.h"

namespace {

TEST(EndedWorker, PostsThatFailAreRefusedAndUncounted) {
    mirto_test::DebugCapture capture;
    mirto::OnStart(nullptr, nullptr, nullptr);  // starts the worker
    const DWORD worker = mirto::WorkerThreadId();
    ASSERT_NE(worker, 0u);

    const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, worker);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(PostThreadMessageW(worker, WM_QUIT, 0, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);

    capture.Clear();
    for (int i = 0; i < 600; ++i) mirto::SetLevel(1);
    const auto lines = capture.OwnLines();
    ASSERT_EQ(lines.size(), 600u);
    for (const auto& line : lines) {
        EXPECT_EQ(line, "Mirto: SetLevel failed, operation queue init failed\r\n");
    }
    EXPECT_EQ(mirto::PendingOperations(), 0);
}

}  // namespace
