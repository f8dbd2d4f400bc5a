// Argument checks shared by the exports. Lengths are UTF-16 code units up to the NUL; the
// scan stops just past the limit, so an enormous (or unterminated-looking) string costs the
// game no more than 129 reads.
#ifndef MIRTO_API_ARGUMENT_RULES_H
#define MIRTO_API_ARGUMENT_RULES_H

#include <cstddef>
#include <string>

namespace mirto {

constexpr std::size_t kMaxArgumentLength = 128;

// Length of a text that may be null (taken as empty), capped at kMaxArgumentLength + 1.
inline std::size_t BoundedLength(const wchar_t* text) noexcept {
    if (text == nullptr) return 0;
    std::size_t length = 0;
    while (length <= kMaxArgumentLength && text[length] != L'\0') ++length;
    return length;
}

inline bool FitsRequired(const wchar_t* text) noexcept {
    const std::size_t length = BoundedLength(text);
    return length >= 1 && length <= kMaxArgumentLength;
}

inline bool FitsOptional(const wchar_t* text) noexcept {
    return BoundedLength(text) <= kMaxArgumentLength;
}

// The heap copy that travels in a record; a null optional text becomes the empty string.
inline std::wstring CopyArgument(const wchar_t* text) {
    return text == nullptr ? std::wstring() : std::wstring(text);
}

}  // namespace mirto

#endif  // MIRTO_API_ARGUMENT_RULES_H
