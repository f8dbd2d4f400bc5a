// Tests of the report body encoding.

#include "reports/percent_encode.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "gtest/gtest.h"

namespace mirto {
namespace {

std::string Encode(const char* text) {
    return PercentEncode(reinterpret_cast<const unsigned char*>(text),
                         static_cast<std::int32_t>(std::strlen(text)));
}

TEST(PercentEncodeTest, KnownTexts) {
    EXPECT_EQ(Encode("{\"a\":1}"), "%7b%22a%22%3a1%7d");
    EXPECT_EQ(Encode("-._~ "), "%2d%2e%5f%7e%20");
    EXPECT_EQ(Encode("AZaz09"), "AZaz09");
    EXPECT_EQ(Encode("\xc3\xa9"), "%c3%a9");
}

TEST(PercentEncodeTest, NothingToEncode) {
    const unsigned char bytes[] = {'a'};
    EXPECT_EQ(PercentEncode(bytes, 0), "");
    EXPECT_EQ(PercentEncode(bytes, -1), "");
    EXPECT_EQ(PercentEncode(bytes, INT32_MIN), "");
    EXPECT_EQ(PercentEncode(nullptr, 5), "");
}

TEST(PercentEncodeTest, EveryByteValue) {
    unsigned char bytes[256];
    std::string expected;
    for (int byte = 0; byte < 256; ++byte) {
        bytes[byte] = static_cast<unsigned char>(byte);
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02x", static_cast<unsigned>(byte));
        expected += std::isalnum(byte) != 0 ? std::string(1, static_cast<char>(byte)) : escaped;
    }
    const std::string encoded = PercentEncode(bytes, 256);
    EXPECT_EQ(encoded, expected);
    // 62 letters and digits stay, the other 194 bytes take three characters each.
    EXPECT_EQ(encoded.size(), 62U + 3U * 194U);
}

TEST(PercentEncodeTest, StopsAtCountNotAtNul) {
    const unsigned char bytes[] = {'a', 0, 'b', 'c'};
    EXPECT_EQ(PercentEncode(bytes, 3), "a%00b");
}

}  // namespace
}  // namespace mirto
