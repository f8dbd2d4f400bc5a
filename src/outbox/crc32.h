// CRC-32, the zlib/PNG one (reflected polynomial 0xEDB88320), over byte ranges that can be
// chained: the checksum of every layout the outbox writes. Portable.
#ifndef MIRTO_OUTBOX_CRC32_H
#define MIRTO_OUTBOX_CRC32_H

#include <cstddef>
#include <cstdint>

namespace mirto {

// The CRC-32 of `size` bytes at `data`, continued from `crc` (0 to begin).
std::uint32_t Crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0) noexcept;

}  // namespace mirto

#endif  // MIRTO_OUTBOX_CRC32_H
