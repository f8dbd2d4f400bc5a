// Argument checks shared by the exports. Lengths are UTF-16 code units up to the NUL; the
// scan stops just past the limit, so an enormous (or unterminated-looking) string costs the
// game no more than 129 reads. A text is measured once and the copy takes exactly the measured
// units: a text that another thread changes meanwhile can never be copied longer than the
// check allowed.
#ifndef MIRTO_API_ARGUMENT_RULES_H
#define MIRTO_API_ARGUMENT_RULES_H

#include <cstddef>
#include <string>

#include "transport/protocol.h"

namespace mirto {

constexpr std::size_t kMaxArgumentLength = 128;

// Length of a text that may be null (taken as empty), capped at kMaxArgumentLength + 1.
inline std::size_t BoundedLength(const wchar_t* text) noexcept {
    if (text == nullptr) return 0;
    std::size_t length = 0;
    while (length <= kMaxArgumentLength && text[length] != L'\0') ++length;
    return length;
}

// One text argument, measured when constructed.
class TextArgument {
   public:
    explicit TextArgument(const wchar_t* text) noexcept
        : text_(text), length_(BoundedLength(text)) {}

    [[nodiscard]] bool FitsRequired() const noexcept {
        return length_ >= 1 && length_ <= kMaxArgumentLength;
    }
    [[nodiscard]] bool FitsOptional() const noexcept { return length_ <= kMaxArgumentLength; }

    // A collection host must also be one that can be reached (transport/protocol.h).
    [[nodiscard]] bool FitsHost() const noexcept {
        return FitsRequired() && IsCollectionHost(text_, length_);
    }

    // The heap copy that travels in a record; a null optional text becomes the empty string.
    [[nodiscard]] std::wstring Copy() const {
        return text_ == nullptr ? std::wstring() : std::wstring(text_, length_);
    }

   private:
    const wchar_t* text_;
    std::size_t length_;
};

}  // namespace mirto

#endif  // MIRTO_API_ARGUMENT_RULES_H
