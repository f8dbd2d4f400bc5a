// Fuzz target for the outbox's file layouts.
//
// The input is a file as a damaged or hostile outbox might hold it. Checks: reading never goes
// past the bytes given (AddressSanitizer sees the exact allocation); a report that is accepted
// is exactly the bytes its report encodes to, so nothing but whole, undamaged reports written by
// the library is ever sent; every part an outbox file is split into lies within the file; and a
// slot of the marks file that is accepted is exactly what its marks encode to.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "outbox/file_layout.h"
#include "outbox/marks_layout.h"
#include "outbox/stored_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mirto;
    if (size > 64 * 1024) return 0;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[size == 0 ? 1 : size]);
    if (size > 0) std::memcpy(bytes.get(), data, size);

    if (const std::optional<StoredReport> report = DecodeStoredReport(bytes.get(), size)) {
        const std::string again = EncodeStoredReport(*report);
        FUZZ_CHECK(again.size() == size);
        FUZZ_CHECK(std::memcmp(again.data(), data, size) == 0);
    }

    const std::string file(reinterpret_cast<const char*>(data), size);
    const ParsedFile parsed = ParseOutboxFile(file, 1);
    for (const FilePart& part : parsed.parts) {
        FUZZ_CHECK(part.at <= size && part.size <= size - part.at);
    }

    if (const std::optional<Marks> marks = DecodeMarks(bytes.get(), size)) {
        const std::string again = EncodeMarks(*marks);
        FUZZ_CHECK(again.size() <= size);
        FUZZ_CHECK(std::memcmp(again.data(), data, again.size()) == 0);
    }
    static_cast<void>(NewestMarks(file));
    return 0;
}
