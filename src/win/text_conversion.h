// Conversions between UTF-16, the process's ANSI code page and UTF-8, with the system's
// code-page services and no flags (so unrepresentable characters get the code page's default
// character and malformed UTF-8 is handled leniently by the platform). Stateless; any thread.
#ifndef MIRTO_WIN_TEXT_CONVERSION_H
#define MIRTO_WIN_TEXT_CONVERSION_H

#include <cstdint>
#include <string>

namespace mirto {

// UTF-16 to the ANSI code page: the form of debugger-output lines.
std::string WideToAnsi(const std::wstring& wide);

// The ANSI code page to UTF-16.
std::wstring AnsiToWide(const std::string& ansi);

// UTF-16 to UTF-8 bytes (no terminator counted); empty for an empty input. Report text is
// built from these bytes, so every character reaches the collector intact.
std::string WideToUtf8Bytes(const std::wstring& wide);

// UTF-8 bytes to UTF-16; a count of 0 or less gives the empty string.
std::wstring Utf8ToWide(const char* bytes, std::int32_t count);

}  // namespace mirto

#endif  // MIRTO_WIN_TEXT_CONVERSION_H
