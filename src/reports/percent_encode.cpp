// Percent-encoding of report bodies.
//
// Invariants: the output is sized exactly before anything is appended, so it is allocated
// once; the input is only read. The classification is by byte value, never by the C locale,
// so the result is the same in every process.

#include "reports/percent_encode.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace mirto {
namespace {

bool IsKept(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

}  // namespace

std::string PercentEncode(const unsigned char* bytes, std::int32_t count) {
    std::string encoded;
    if (bytes == nullptr || count <= 0) {
        return encoded;
    }
    const auto length = static_cast<std::size_t>(count);
    std::size_t escaped = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (!IsKept(bytes[i])) {
            ++escaped;
        }
    }
    encoded.reserve(length + 2 * escaped);
    static constexpr char kHexDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (IsKept(byte)) {
            encoded.push_back(static_cast<char>(byte));
        } else {
            encoded.push_back('%');
            encoded.push_back(kHexDigits[byte >> 4]);
            encoded.push_back(kHexDigits[byte & 0x0F]);
        }
    }
    return encoded;
}

}  // namespace mirto
