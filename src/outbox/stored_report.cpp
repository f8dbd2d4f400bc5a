// The stored-report file layout: header, then host, path and body.
//
//   offset  size  field
//        0     4  magic "MOBX"
//        4     4  format (1)
//        8     4  priority (0 drop first, 1 drop last)
//       12     4  flags (bit 0: secure)
//       16     4  port
//       20     8  created, milliseconds since 1970 (UTC)
//       28     4  host length, UTF-16 code units
//       32     4  path length, UTF-16 code units
//       36     4  body length, bytes
//       40     4  checksum: CRC-32 (the zlib/PNG one) over bytes 0-39 and everything after
//                  the header
#include "outbox/stored_report.h"

#include "outbox/byte_order.h"
#include "outbox/crc32.h"
#include "transport/protocol.h"

namespace mirto {
namespace {

constexpr unsigned char kMagic[4] = {'M', 'O', 'B', 'X'};
constexpr std::uint32_t kFormat = 1;
constexpr std::uint32_t kSecureFlag = 1;
constexpr std::size_t kChecksumOffset = 40;

void PutUnits(std::string& out, const std::u16string& text) {
    for (const char16_t unit : text) PutLittleEndian(out, unit, 2);
}

std::u16string GetUnits(const unsigned char* data, std::size_t units) {
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
        text[i] = static_cast<char16_t>(GetLittleEndian(data + 2 * i, 2));
    }
    return text;
}

// Over the header without its checksum field, then the rest.
std::uint32_t Checksum(const unsigned char* data, std::size_t size) {
    const std::uint32_t head = Crc32(data, kChecksumOffset, 0);
    return Crc32(data + kStoredHeaderBytes, size - kStoredHeaderBytes, head);
}

}  // namespace

std::string EncodeStoredReport(const StoredReport& report) {
    std::string out;
    out.reserve(kStoredHeaderBytes + 2 * (report.host.size() + report.path.size()) +
                report.body.size());
    out.append(reinterpret_cast<const char*>(kMagic), sizeof(kMagic));
    PutLittleEndian(out, kFormat, 4);
    PutLittleEndian(out, static_cast<std::uint32_t>(report.priority), 4);
    PutLittleEndian(out, report.secure ? kSecureFlag : 0, 4);
    PutLittleEndian(out, report.port, 4);
    PutLittleEndian(out, report.created_ms, 8);
    PutLittleEndian(out, report.host.size(), 4);
    PutLittleEndian(out, report.path.size(), 4);
    PutLittleEndian(out, report.body.size(), 4);
    PutLittleEndian(out, 0U, 4);  // the checksum, filled in below
    PutUnits(out, report.host);
    PutUnits(out, report.path);
    out += report.body;
    const std::uint32_t checksum =
        Checksum(reinterpret_cast<const unsigned char*>(out.data()), out.size());
    for (std::size_t i = 0; i < 4; ++i) {
        out[kChecksumOffset + i] = static_cast<char>((checksum >> (8 * i)) & 0xFFU);
    }
    return out;
}

std::optional<std::size_t> DeclaredStoredReportSize(const unsigned char* data,
                                                    std::size_t available) {
    if (data == nullptr || available < kStoredHeaderBytes) return std::nullopt;
    const std::uint64_t host_units = GetLittleEndian(data + 28, 4);
    const std::uint64_t path_units = GetLittleEndian(data + 32, 4);
    const std::uint64_t body_bytes = GetLittleEndian(data + 36, 4);
    if (host_units > kStoredHostMaxUnits || path_units > kStoredPathMaxUnits ||
        body_bytes > kStoredBodyMaxBytes) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(kStoredHeaderBytes + 2 * (host_units + path_units) +
                                    body_bytes);
}

std::optional<StoredReport> DecodeStoredReport(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size < kStoredHeaderBytes) return std::nullopt;
    if (!HasMagic(data, kMagic)) return std::nullopt;
    if (GetLittleEndian(data + 4, 4) != kFormat) return std::nullopt;
    const std::uint64_t priority = GetLittleEndian(data + 8, 4);
    const std::uint64_t flags = GetLittleEndian(data + 12, 4);
    const std::uint64_t port = GetLittleEndian(data + 16, 4);
    // Four-byte fields: each fits a size_t.
    const auto host_units = static_cast<std::size_t>(GetLittleEndian(data + 28, 4));
    const auto path_units = static_cast<std::size_t>(GetLittleEndian(data + 32, 4));
    const auto body_bytes = static_cast<std::size_t>(GetLittleEndian(data + 36, 4));
    if (priority > 1 || (flags & ~static_cast<std::uint64_t>(kSecureFlag)) != 0 || port == 0 ||
        port > 0xFFFF || host_units == 0 || host_units > kStoredHostMaxUnits || path_units == 0 ||
        path_units > kStoredPathMaxUnits || body_bytes > kStoredBodyMaxBytes) {
        return std::nullopt;
    }
    if (size != kStoredHeaderBytes + 2 * (host_units + path_units) + body_bytes) {
        return std::nullopt;
    }
    if (GetLittleEndian(data + kChecksumOffset, 4) != Checksum(data, size)) return std::nullopt;

    StoredReport report;
    report.priority = static_cast<OutboxPriority>(priority);
    report.secure = (flags & kSecureFlag) != 0;
    report.port = static_cast<std::uint16_t>(port);
    report.created_ms = GetLittleEndian(data + 20, 8);
    const unsigned char* text = data + kStoredHeaderBytes;
    report.host = GetUnits(text, host_units);
    text += 2 * host_units;
    report.path = GetUnits(text, path_units);
    text += 2 * path_units;
    report.body.assign(reinterpret_cast<const char*>(text), body_bytes);
    return report;
}

bool IsSendable(const StoredReport& report) {
    const auto is_path = [&report](const wchar_t* path) {
        std::size_t i = 0;
        for (; path[i] != L'\0'; ++i) {
            if (i >= report.path.size() || report.path[i] != static_cast<char16_t>(path[i])) {
                return false;
            }
        }
        return i == report.path.size();
    };
    return report.secure && report.port == kReportPort &&
           IsCollectionHost(report.host.data(), report.host.size()) &&
           (is_path(kIdentifyPath) || is_path(kEventPath));
}

}  // namespace mirto
