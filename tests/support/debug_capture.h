// Captures the library's debugger-output lines inside the test process. OutputDebugStringA
// raises DBG_PRINTEXCEPTION_C; a vectored exception handler sees it on the writing thread,
// records the text and the thread, and lets execution continue.
#ifndef MIRTO_TESTS_SUPPORT_DEBUG_CAPTURE_H
#define MIRTO_TESTS_SUPPORT_DEBUG_CAPTURE_H

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace mirto_test {

struct DebugLine {
    std::string text;
    DWORD thread_id;
};

// Records every line written while an instance lives (one instance at a time). A global one
// serves a whole test program: it is installed before the first test and removed as the
// program ends.
class DebugCapture {
   public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<DebugLine> Lines() const;
    // Lines written by one thread, in order.
    std::vector<std::string> LinesOf(DWORD thread_id) const;
    // Lines written by the calling thread: the synchronous refusals of the exports.
    std::vector<std::string> OwnLines() const { return LinesOf(GetCurrentThreadId()); }
    // Lines written by any other thread (the worker), in order.
    std::vector<std::string> OtherLines() const;
    // Waits until other threads have written at least `count` lines; false on time-out.
    bool WaitForOtherLines(std::size_t count, DWORD timeout_ms) const;
    void Clear();

    // Runs `call` on this thread and gives the lines it wrote there: the exports write their
    // refusals synchronously, on the calling thread.
    template <typename Call>
    std::vector<std::string> OwnLinesOf(Call call) {
        Clear();
        call();
        return OwnLines();
    }

   private:
    void* handler_;
};

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_DEBUG_CAPTURE_H
