// Capturing debugger lines: one vectored exception handler appends every line, with the id of
// the thread that wrote it, to the capture that is active.
#include "support/debug_capture.h"

#include "support/debugger_line.h"

namespace mirto_test {
namespace {

SRWLOCK lines_lock = SRWLOCK_INIT;
std::vector<DebugLine>* captured = nullptr;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    std::string_view line;
    if (!DebuggerLineOf(info, &line)) return EXCEPTION_CONTINUE_SEARCH;
    AcquireSRWLockExclusive(&lines_lock);
    if (captured != nullptr)
        captured->push_back(DebugLine{std::string(line), GetCurrentThreadId()});
    ReleaseSRWLockExclusive(&lines_lock);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

DebugCapture::DebugCapture() {
    AcquireSRWLockExclusive(&lines_lock);
    captured = new std::vector<DebugLine>();
    ReleaseSRWLockExclusive(&lines_lock);
    handler_ = AddVectoredExceptionHandler(1, OnException);
}

DebugCapture::~DebugCapture() {
    RemoveVectoredExceptionHandler(handler_);
    AcquireSRWLockExclusive(&lines_lock);
    delete captured;
    captured = nullptr;
    ReleaseSRWLockExclusive(&lines_lock);
}

std::vector<DebugLine> DebugCapture::Lines() const {
    AcquireSRWLockShared(&lines_lock);
    std::vector<DebugLine> copy = *captured;
    ReleaseSRWLockShared(&lines_lock);
    return copy;
}

std::vector<std::string> DebugCapture::LinesOf(DWORD thread_id) const {
    std::vector<std::string> texts;
    for (const DebugLine& line : Lines()) {
        if (line.thread_id == thread_id) texts.push_back(line.text);
    }
    return texts;
}

std::vector<std::string> DebugCapture::OtherLines() const {
    std::vector<std::string> texts;
    const DWORD self = GetCurrentThreadId();
    for (const DebugLine& line : Lines()) {
        if (line.thread_id != self) texts.push_back(line.text);
    }
    return texts;
}

bool DebugCapture::WaitForOtherLines(std::size_t count, DWORD timeout_ms) const {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (OtherLines().size() < count) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(5);
    }
    return true;
}

void DebugCapture::Clear() {
    AcquireSRWLockExclusive(&lines_lock);
    captured->clear();
    ReleaseSRWLockExclusive(&lines_lock);
}

}  // namespace mirto_test
