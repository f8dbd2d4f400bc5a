// Fuzz target for the byte layout of stored ids.
//
// The input is the bytes of a value entry as a damaged or hostile profile file might hold
// them. Checks: decoding never reads past the bytes given (AddressSanitizer sees the exact
// allocation), gives at most one unit per two bytes and no zero unit, and what it gives
// encodes back to the input's leading bytes followed by a zero unit; a length entry made of
// the first four bytes encodes back to them.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "platform/stored_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mirto;
    if (size > 4096) return 0;
    const auto count = static_cast<std::uint32_t>(size);
    // A copy of exactly `size` bytes, so any read past it is caught.
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[size == 0 ? 1 : size]);
    if (size > 0) std::memcpy(bytes.get(), data, size);

    const std::u16string text = DecodeStoredText(bytes.get(), count);
    FUZZ_CHECK(text.size() <= size / 2);
    FUZZ_CHECK(text.find(u'\0') == std::u16string::npos);
    const std::vector<unsigned char> again = EncodeStoredText(text);
    FUZZ_CHECK(again.size() == 2 * text.size() + 2);
    FUZZ_CHECK(std::memcmp(again.data(), data, 2 * text.size()) == 0);
    FUZZ_CHECK(again[again.size() - 1] == 0 && again[again.size() - 2] == 0);
    FUZZ_CHECK(DecodeStoredText(again.data(), static_cast<std::uint32_t>(again.size())) == text);

    if (size >= kStoredLengthBytes) {
        unsigned char length[kStoredLengthBytes];
        std::memcpy(length, data, kStoredLengthBytes);
        unsigned char encoded[kStoredLengthBytes];
        EncodeStoredLength(DecodeStoredLength(length), encoded);
        FUZZ_CHECK(std::memcmp(encoded, length, kStoredLengthBytes) == 0);
    }
    return 0;
}
