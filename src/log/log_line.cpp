// The debugger line, the callback's slot and the calls of it in progress.
//
// State (constant-initialised, never destroyed, behind `slot_lock`): the callback and its
// context, the epoch that each waiting replacement raises, and the calls in progress, as nodes
// on the calling threads' own stacks, each marked with the epoch it began in. A caller links
// its node before it lets go of the lock and calls the callback with no lock held; a waiting
// replacement sleeps (the lock released) until no node of an earlier epoch is left. Calls that
// begin after the replacement carry the new epoch, so a steady stream of lines cannot keep it
// waiting. No thread and no allocation of its own: nothing to undo at unload or at exit.
#include "log/log_line.h"

#include <windows.h>

#include <atomic>

#include "win/text_conversion.h"

namespace mirto {
namespace {

struct Call {
    DWORD thread;
    unsigned long long epoch;
    Call* next;
};

SRWLOCK slot_lock = SRWLOCK_INIT;
CONDITION_VARIABLE call_ended = CONDITION_VARIABLE_INIT;
LineCallback slot_callback = nullptr;  // guarded by slot_lock
void* slot_context = nullptr;          // guarded by slot_lock
unsigned long long slot_epoch = 0;     // guarded by slot_lock
Call* calls_in_progress = nullptr;     // guarded by slot_lock
// Read without the lock, so that a game without a callback pays nothing beyond today's line.
std::atomic<bool> callback_set{false};

bool InsideCallback(DWORD thread) {
    for (const Call* call = calls_in_progress; call != nullptr; call = call->next) {
        if (call->thread == thread) return true;
    }
    return false;
}

bool CallsBegunBefore(unsigned long long epoch) {
    for (const Call* call = calls_in_progress; call != nullptr; call = call->next) {
        if (call->epoch < epoch) return true;
    }
    return false;
}

void Unlink(const Call* ended) {
    Call** link = &calls_in_progress;
    while (*link != ended) link = &(*link)->next;
    *link = ended->next;
}

bool IsAscii(const char* text) {
    for (; *text != '\0'; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    }
    return true;
}

// One line for the game's log: without the CR LF, and a CR or LF from the game's own texts
// (a channel, a game version) cannot make it two.
std::string WithoutLineEnd(std::string text) {
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
        text.resize(text.size() - 2);
    }
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

// Hands `text` to the callback, unless none is set or this thread is inside it already.
void Deliver(const std::string& text) noexcept {
    Call call{GetCurrentThreadId(), 0, nullptr};
    AcquireSRWLockExclusive(&slot_lock);
    const LineCallback callback = slot_callback;
    void* const context = slot_context;
    const bool deliver = callback != nullptr && !InsideCallback(call.thread);
    if (deliver) {
        call.epoch = slot_epoch;
        call.next = calls_in_progress;
        calls_in_progress = &call;
    }
    ReleaseSRWLockExclusive(&slot_lock);
    if (!deliver) return;
    try {
        callback(text.c_str(), context);
    } catch (...) {
        // A callback that throws loses its line; the library goes on.
    }
    AcquireSRWLockExclusive(&slot_lock);
    Unlink(&call);
    ReleaseSRWLockExclusive(&slot_lock);
    WakeAllConditionVariable(&call_ended);
}

}  // namespace

void WriteLine(const char* line) noexcept {
    OutputDebugStringA(line);
    if (line == nullptr || !callback_set.load()) return;
    try {
        // The constant lines are ASCII, the same bytes in every ANSI code page and in UTF-8.
        Deliver(
            WithoutLineEnd(IsAscii(line) ? std::string(line) : WideToUtf8Bytes(AnsiToWide(line))));
    } catch (...) {
        // Out of memory: the line reached the debugger output only.
    }
}

void WriteLine(const std::wstring& line) noexcept {
    try {
        OutputDebugStringA(WideToAnsi(line).c_str());
        if (!callback_set.load()) return;
        Deliver(WithoutLineEnd(WideToUtf8Bytes(line)));
    } catch (...) {
        // Out of memory: the line is lost, as any other step of the worker's would be.
    }
}

void SetLineCallback(LineCallback callback, void* context) noexcept {
    const DWORD thread = GetCurrentThreadId();
    AcquireSRWLockExclusive(&slot_lock);
    slot_callback = callback;
    slot_context = context;
    callback_set.store(callback != nullptr);
    if (!InsideCallback(thread)) {
        const unsigned long long replaced_before = ++slot_epoch;
        while (CallsBegunBefore(replaced_before)) {
            SleepConditionVariableSRW(&call_ended, &slot_lock, INFINITE, 0);
        }
    }
    ReleaseSRWLockExclusive(&slot_lock);
}

}  // namespace mirto
