// Each conversion asks the platform for the result's length first, then converts into a
// result of exactly that size. A length of 0 or less (failure or empty input) gives an empty
// result.
#include "win/text_conversion.h"

#include <windows.h>

#include <climits>

namespace mirto {
namespace {

std::string FromWide(UINT code_page, const std::wstring& wide) {
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int wide_length = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(code_page, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string result(static_cast<std::size_t>(length), '\0');
    const int written = WideCharToMultiByte(code_page, 0, wide.data(), wide_length, result.data(),
                                            length, nullptr, nullptr);
    if (written <= 0) return {};
    result.resize(static_cast<std::size_t>(written));
    return result;
}

std::wstring ToWide(UINT code_page, const char* bytes, std::int32_t count) {
    if (bytes == nullptr || count <= 0) return {};
    const int length = MultiByteToWideChar(code_page, 0, bytes, count, nullptr, 0);
    if (length <= 0) return {};
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    const int written = MultiByteToWideChar(code_page, 0, bytes, count, result.data(), length);
    if (written <= 0) return {};
    result.resize(static_cast<std::size_t>(written));
    return result;
}

}  // namespace

std::string WideToAnsi(const std::wstring& wide) { return FromWide(CP_ACP, wide); }

std::wstring AnsiToWide(const std::string& ansi) {
    if (ansi.size() > static_cast<std::size_t>(INT_MAX)) return {};
    return ToWide(CP_ACP, ansi.data(), static_cast<std::int32_t>(ansi.size()));
}

std::string WideToUtf8Bytes(const std::wstring& wide) { return FromWide(CP_UTF8, wide); }

std::wstring Utf8ToWide(const char* bytes, std::int32_t count) {
    return ToWide(CP_UTF8, bytes, count);
}

}  // namespace mirto
