// The text of a line written with OutputDebugStringA, as a vectored exception handler sees it:
// with no debugger attached the line arrives as DBG_PRINTEXCEPTION_C, its first parameter the
// length including the NUL, its second the text. Shared by the test programs and benchmarks.
#ifndef MIRTO_TESTS_SUPPORT_DEBUGGER_LINE_H
#define MIRTO_TESTS_SUPPORT_DEBUGGER_LINE_H

#include <windows.h>

#include <string_view>

namespace mirto_test {

// False for any other exception; then the handler should return EXCEPTION_CONTINUE_SEARCH.
inline bool DebuggerLineOf(const EXCEPTION_POINTERS* info, std::string_view* text) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
        return false;
    }
    const auto length = static_cast<std::size_t>(record->ExceptionInformation[0]);
    const auto* start = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    *text =
        start == nullptr || length == 0 ? std::string_view() : std::string_view(start, length - 1);
    return true;
}

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_DEBUGGER_LINE_H
