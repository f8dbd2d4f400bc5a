// Every line the library writes goes through WriteLine: to the debugger output, exactly as it
// always was (ANSI text ending in CR LF, OutputDebugStringA), and, when the game has set one, to
// its log callback as UTF-8 without the CR LF, on the writing thread.
//
// Callers hold none of the library's locks when they write a line: the game's callback may
// call back into the library. The callback itself is called with no lock held either.
//
// Callback rules (the public header states them for the game):
// - SetLineCallback returns once no other thread is inside the callback it replaced, so the
//   game may free that callback's context then; called from inside the callback, it does not
//   wait (it cannot wait for its own thread, and two such calls must not wait for each other).
// - A line written on a thread that is inside the callback (the callback called a function
//   that refused) goes to the debugger output only: a callback never re-enters itself.
#ifndef MIRTO_LOG_LOG_LINE_H
#define MIRTO_LOG_LOG_LINE_H

#include <string>

namespace mirto {

// The game's log callback, as the public header declares it (MirtoLogCallback).
using LineCallback = void(__cdecl*)(const char* line, void* context);

// `line`: ANSI text ending in CR LF, such as the constant lines of reports/messages.h.
void WriteLine(const char* line) noexcept;

// A line built from the game's own texts: the debugger gets it in the ANSI code page, the
// callback gets every character of it.
void WriteLine(const std::wstring& line) noexcept;

// Replaces the callback (null: none). See the rules above.
void SetLineCallback(LineCallback callback, void* context) noexcept;

}  // namespace mirto

#endif  // MIRTO_LOG_LOG_LINE_H
