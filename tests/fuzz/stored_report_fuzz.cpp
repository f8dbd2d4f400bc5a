// Fuzz target for the outbox's file layout.
//
// The input is a file as a damaged or hostile outbox might hold it. Checks: decoding never
// reads past the bytes given (AddressSanitizer sees the exact allocation), and a file that is
// accepted is exactly the file its report encodes to, so nothing but whole, undamaged files
// written by the library is ever sent.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "outbox/stored_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mirto;
    if (size > 64 * 1024) return 0;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[size == 0 ? 1 : size]);
    if (size > 0) std::memcpy(bytes.get(), data, size);

    const std::optional<StoredReport> report = DecodeStoredReport(bytes.get(), size);
    if (!report) return 0;
    const std::string again = EncodeStoredReport(*report);
    FUZZ_CHECK(again.size() == size);
    FUZZ_CHECK(std::memcmp(again.data(), data, size) == 0);
    return 0;
}
