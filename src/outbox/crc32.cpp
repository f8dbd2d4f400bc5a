// CRC-32 a byte at a time through a table made at compile time: stores checksum every report
// twice (its own layout and its batch), so the bit-by-bit form would cost a store more than
// its file calls.
#include "outbox/crc32.h"

#include <array>

namespace mirto {
namespace {

constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();

}  // namespace

std::uint32_t Crc32(const unsigned char* data, std::size_t size, std::uint32_t crc) noexcept {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = (crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFFU];
    return ~crc;
}

}  // namespace mirto
