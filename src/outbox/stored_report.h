// A report kept in the outbox, and its file: everything needed to send it again exactly as it
// was built (the host and path it was made for, the encoded body) plus what the outbox needs to
// keep it in order and within its caps. Portable: the file layout is plain little-endian data.
//
// A file holds a fixed header followed by the host and path (UTF-16LE) and the body; the header
// carries a magic, a format number, the lengths and a checksum over everything else, so a file
// cut short, grown, or damaged in any byte is recognised and never sent.
#ifndef MIRTO_OUTBOX_STORED_REPORT_H
#define MIRTO_OUTBOX_STORED_REPORT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace mirto {

// Which reports a full outbox gives up first.
enum class OutboxPriority : std::uint32_t {
    kDropFirst = 0,  // level and server events
    kDropLast = 1,   // purchases and identifies
};

struct StoredReport {
    OutboxPriority priority = OutboxPriority::kDropLast;
    std::uint16_t port = 0;
    bool secure = true;
    std::uint64_t created_ms = 0;  // wall clock, milliseconds since 1970 (UTC)
    std::u16string host;
    std::u16string path;
    std::string body;
};

// The longest host, path and body a stored file may declare; anything longer is damage.
constexpr std::size_t kStoredHostMaxUnits = 1024;
constexpr std::size_t kStoredPathMaxUnits = 256;
constexpr std::size_t kStoredBodyMaxBytes = std::size_t{1024} * 1024;
constexpr std::size_t kStoredHeaderBytes = 44;

// The file's bytes for `report`. Host, path and body must be within the limits above.
std::string EncodeStoredReport(const StoredReport& report);

// The size a report's header declares for the report, when at least its header lies in the
// `available` bytes at `data` and its lengths are within the limits above; nothing otherwise.
// Says where the next report begins, not whether this one is whole.
std::optional<std::size_t> DeclaredStoredReportSize(const unsigned char* data,
                                                    std::size_t available);

// The report a file's bytes hold, or nothing when they are not exactly one whole, undamaged
// report of this format.
std::optional<StoredReport> DecodeStoredReport(const unsigned char* data, std::size_t size);

// Whether a report may be sent as it stands: to one of the collector's two paths, on port 443
// over TLS, to a host that SetHost would take. A report read back from the disk that is not is
// damaged, whatever its checksum says.
bool IsSendable(const StoredReport& report);

}  // namespace mirto

#endif  // MIRTO_OUTBOX_STORED_REPORT_H
