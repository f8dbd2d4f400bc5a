// Encoding and decoding the stored-value byte layout, byte by byte, independent of the host's
// byte order.
#include "platform/stored_value.h"

namespace mirto {

std::uint32_t DecodeStoredLength(const unsigned char (&bytes)[kStoredLengthBytes]) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void EncodeStoredLength(std::uint32_t length, unsigned char (&bytes)[kStoredLengthBytes]) {
    for (std::size_t i = 0; i < kStoredLengthBytes; ++i) {
        bytes[i] = static_cast<unsigned char>(length >> (8 * i));
    }
}

std::u16string DecodeStoredText(const unsigned char* bytes, std::uint32_t count) {
    std::u16string text;
    if (bytes == nullptr) return text;
    for (std::uint32_t at = 0; at + 1 < count; at += 2) {
        const auto unit = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
        if (unit == u'\0') break;
        text.push_back(unit);
    }
    return text;
}

std::vector<unsigned char> EncodeStoredText(const std::u16string& text) {
    std::vector<unsigned char> bytes;
    bytes.reserve(2 * text.size() + 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

}  // namespace mirto
