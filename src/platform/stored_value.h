// The byte layout of a value in the profile file, apart from how the platform stores the
// bytes: the length entry is 4 bytes, little-endian; the value entry is the text's UTF-16 code
// units, little-endian, followed by one zero unit. Portable: no Windows header.
#ifndef MIRTO_PLATFORM_STORED_VALUE_H
#define MIRTO_PLATFORM_STORED_VALUE_H

#include <cstdint>
#include <string>
#include <vector>

namespace mirto {

constexpr std::size_t kStoredLengthBytes = 4;

std::uint32_t DecodeStoredLength(const unsigned char (&bytes)[kStoredLengthBytes]);
void EncodeStoredLength(std::uint32_t length, unsigned char (&bytes)[kStoredLengthBytes]);

// The text in `count` bytes: code units up to the first zero unit, never past the bytes given
// (a trailing odd byte is ignored).
std::u16string DecodeStoredText(const unsigned char* bytes, std::uint32_t count);

// The value entry's bytes for a text: its code units and the zero unit.
std::vector<unsigned char> EncodeStoredText(const std::u16string& text);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_STORED_VALUE_H
