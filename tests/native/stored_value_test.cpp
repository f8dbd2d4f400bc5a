// The byte layout of stored ids: what a profile file holds must decode to the text written,
// and damaged or odd-sized bytes must never be read past.
#include "platform/stored_value.h"

#include <gtest/gtest.h>
#include <vector>

namespace mirto {
namespace {

TEST(StoredValueTest, LengthIsFourLittleEndianBytes) {
    unsigned char bytes[kStoredLengthBytes] = {};
    EncodeStoredLength(66, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 4),
              (std::vector<unsigned char>{66, 0, 0, 0}));
    EncodeStoredLength(0x7FFFFFFFu, bytes);
    EXPECT_EQ(DecodeStoredLength(bytes), 0x7FFFFFFFu);
    const unsigned char high[kStoredLengthBytes] = {0x01, 0x02, 0x03, 0xFF};
    EXPECT_EQ(DecodeStoredLength(high), 0xFF030201u);
}

TEST(StoredValueTest, TextIsUtf16UnitsAndAZeroUnit) {
    const std::vector<unsigned char> bytes = EncodeStoredText(u"Ab\u8868");
    EXPECT_EQ(bytes, (std::vector<unsigned char>{'A', 0, 'b', 0, 0x68, 0x88, 0, 0}));
    EXPECT_EQ(EncodeStoredText(std::u16string(32, u'x')).size(), 66u);
    EXPECT_EQ(DecodeStoredText(bytes.data(), static_cast<std::uint32_t>(bytes.size())),
              u"Ab\u8868");
}

TEST(StoredValueTest, DecodingStopsAtTheFirstZeroUnitOrTheLastWholeUnit) {
    const unsigned char early_zero[] = {'a', 0, 0, 0, 'b', 0};
    EXPECT_EQ(DecodeStoredText(early_zero, sizeof(early_zero)), u"a");
    const unsigned char no_zero[] = {'a', 0, 'b', 0, 'c'};  // odd count, no terminator
    EXPECT_EQ(DecodeStoredText(no_zero, sizeof(no_zero)), u"ab");
    EXPECT_EQ(DecodeStoredText(no_zero, 1), u"");
    EXPECT_EQ(DecodeStoredText(nullptr, 8), u"");
}

}  // namespace
}  // namespace mirto
