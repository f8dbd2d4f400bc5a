// A post to the worker that fails (the system refuses it: the worker has ended, or its queue is
// at the system's limit) must be refused, not counted and not leaked, or after 500 such calls
// the library would refuse everything for the rest of the process. The system's refusal is made
// here through this program's import table.
#include <windows.h>

#include <gtest/gtest.h>

#include "core/worker.h"
#include "mirto/mirto.h"
#include "support/debug_capture.h"
#include "support/import_patch.h"

namespace {

BOOL WINAPI RefusedPost(DWORD, UINT, WPARAM, LPARAM) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
}

TEST(EndedWorker, PostsThatFailAreRefusedAndUncounted) {
    mirto_test::DebugCapture capture;
    mirto::OnStart(nullptr, nullptr, nullptr);  // starts the worker
    ASSERT_NE(mirto::WorkerThreadId(), 0u);

    capture.Clear();
    {
        mirto_test::ImportPatch refuse("user32.dll", "PostThreadMessageW",
                                       reinterpret_cast<void*>(&RefusedPost));
        for (int i = 0; i < 600; ++i) mirto::SetLevel(1);
    }
    const auto lines = capture.OwnLines();
    ASSERT_EQ(lines.size(), 600u);
    for (const auto& line : lines) {
        EXPECT_EQ(line, "Mirto: SetLevel failed, operation queue init failed\r\n");
    }
    EXPECT_EQ(mirto::PendingOperations(), 0);
    // Nothing stays counted: the queue takes operations again, and Flush waits for none.
    mirto::SetLevel(1);
    EXPECT_TRUE(capture.WaitForOtherLines(1, 10000));
    EXPECT_TRUE(mirto::Flush(10000));
}

}  // namespace
