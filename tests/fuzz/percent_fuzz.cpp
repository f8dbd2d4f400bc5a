// Fuzz target for the report body encoding.
//
// The input is the body. Checks: the encoding holds only ASCII letters, digits and '%', every
// '%' is followed by two lower-case hex digits, its length is the input's plus 2 for each
// byte that is not an ASCII letter or digit, and the collector's decoding (reproduced below)
// gives back the input exactly, with no complaint about the alphabet. A null input and a
// count of 0 or less give the empty string.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "reports/percent_encode.h"

namespace mirto {
namespace {

// By byte value, as the collector classifies them; never by the C locale.
bool IsAlphanumeric(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsLowerHex(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool IsHex(unsigned char c) { return IsLowerHex(c) || (c >= 'A' && c <= 'F'); }

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

struct Decoded {
    std::string bytes;
    bool alphabet_ok = true;
    bool failed = false;
};

// The collector's rules: '%' and two hex digits of either case decode to one byte (upper case
// clears alphabet_ok); a '%' without two hex digits after it is an error; any other byte
// passes through, and one that is not a letter or digit clears alphabet_ok.
Decoded PercentDecode(const std::string& body) {
    Decoded decoded;
    std::size_t i = 0;
    while (i < body.size()) {
        const auto c = static_cast<unsigned char>(body[i]);
        if (c == '%') {
            if (body.size() - i < 3 || !IsHex(static_cast<unsigned char>(body[i + 1])) ||
                !IsHex(static_cast<unsigned char>(body[i + 2]))) {
                decoded.failed = true;
                return decoded;
            }
            const auto high = static_cast<unsigned char>(body[i + 1]);
            const auto low = static_cast<unsigned char>(body[i + 2]);
            if (!IsLowerHex(high) || !IsLowerHex(low)) {
                decoded.alphabet_ok = false;
            }
            decoded.bytes.push_back(static_cast<char>(HexValue(high) * 16 + HexValue(low)));
            i += 3;
            continue;
        }
        if (!IsAlphanumeric(c)) {
            decoded.alphabet_ok = false;
        }
        decoded.bytes.push_back(static_cast<char>(c));
        ++i;
    }
    return decoded;
}

}  // namespace
}  // namespace mirto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mirto;
    if (size > INT32_MAX) {
        return 0;
    }
    const auto count = static_cast<std::int32_t>(size);
    const std::string encoded = PercentEncode(data, count);

    std::size_t escaped = 0;
    for (std::size_t i = 0; i < size; ++i) {
        escaped += IsAlphanumeric(data[i]) ? 0 : 1;
    }
    FUZZ_CHECK(encoded.size() == size + 2 * escaped);

    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const auto c = static_cast<unsigned char>(encoded[i]);
        if (c == '%') {
            FUZZ_CHECK(encoded.size() - i >= 3);
            FUZZ_CHECK(IsLowerHex(static_cast<unsigned char>(encoded[i + 1])));
            FUZZ_CHECK(IsLowerHex(static_cast<unsigned char>(encoded[i + 2])));
            i += 2;
        } else {
            FUZZ_CHECK(IsAlphanumeric(c));
        }
    }

    const Decoded decoded = PercentDecode(encoded);
    FUZZ_CHECK(!decoded.failed);
    FUZZ_CHECK(decoded.alphabet_ok);
    FUZZ_CHECK(decoded.bytes == std::string(reinterpret_cast<const char*>(data), size));

    FUZZ_CHECK(PercentEncode(nullptr, count).empty());
    FUZZ_CHECK(PercentEncode(data, -count).empty());
    FUZZ_CHECK(PercentEncode(data, 0).empty());
    return 0;
}
