// Fixed-size unsigned fields, least significant byte first, as every layout the outbox writes
// stores them; and the check of a layout's four-byte magic. Portable.
#ifndef MIRTO_OUTBOX_BYTE_ORDER_H
#define MIRTO_OUTBOX_BYTE_ORDER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace mirto {

// Appends the low `bytes` bytes of `value`.
inline void PutLittleEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The field of `bytes` bytes at `data`.
inline std::uint64_t GetLittleEndian(const unsigned char* data, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | data[i];
    return value;
}

// Whether the four bytes at `data` are `magic`.
inline bool HasMagic(const unsigned char* data, const unsigned char (&magic)[4]) {
    for (std::size_t i = 0; i < sizeof(magic); ++i) {
        if (data[i] != magic[i]) return false;
    }
    return true;
}

}  // namespace mirto

#endif  // MIRTO_OUTBOX_BYTE_ORDER_H
