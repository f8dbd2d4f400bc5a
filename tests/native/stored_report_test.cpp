// The outbox's file layout: the bytes of a known report, and every way a file can be damaged.
#include "outbox/stored_report.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using mirto::DecodeStoredReport;
using mirto::EncodeStoredReport;
using mirto::OutboxPriority;
using mirto::StoredReport;

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

StoredReport Known() {
    StoredReport report;
    report.priority = OutboxPriority::kDropFirst;
    report.secure = true;
    report.port = 443;
    report.created_ms = 1700000000123ULL;
    report.host = u"collector.test";
    report.path = u"/event";
    report.body = "%7B%22a%22%3A1%7D";
    return report;
}

std::optional<StoredReport> Decode(const std::string& bytes) {
    return DecodeStoredReport(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Written by Python from the documented layout, with zlib's CRC-32:
//   head = b"MOBX" + struct.pack("<IIIIQIII", 1, 0, 1, 443, 1700000000123, 14, 6, 17)
//   rest = host.encode("utf-16-le") + path.encode("utf-16-le") + body
//   head + struct.pack("<I", zlib.crc32(rest, zlib.crc32(head))) + rest
const char* const kKnownFile =
    "4d4f4258010000000000000001000000bb0100007b68e5cf8b0100000e00000006000000110000007ea0eecd63"
    "006f006c006c006500630074006f0072002e0074006500730074002f006500760065006e007400253742253232"
    "6125323225334131253744";

TEST(StoredReport, FileBytesFollowTheDocumentedLayout) {
    EXPECT_EQ(EncodeStoredReport(Known()), FromHex(kKnownFile));

    const std::optional<StoredReport> read = Decode(FromHex(kKnownFile));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->priority, OutboxPriority::kDropFirst);
    EXPECT_TRUE(read->secure);
    EXPECT_EQ(read->port, 443);
    EXPECT_EQ(read->created_ms, 1700000000123ULL);
    EXPECT_EQ(read->host, u"collector.test");
    EXPECT_EQ(read->path, u"/event");
    EXPECT_EQ(read->body, "%7B%22a%22%3A1%7D");
}

TEST(StoredReport, EveryTextAndFieldComesBackAsWritten) {
    StoredReport report;
    report.priority = OutboxPriority::kDropLast;
    report.secure = false;
    report.port = 65535;
    report.created_ms = 0xFEDCBA9876543210ULL;
    report.host = std::u16string(u"h\xD800\xFFFF") + u'\0' + u"x";  // any code units, a NUL too
    report.path = u"/identify";
    report.body = std::string("\0\xFF\x80", 3) + std::string(70000, 'b');
    const std::optional<StoredReport> read = Decode(EncodeStoredReport(report));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->priority, report.priority);
    EXPECT_EQ(read->secure, false);
    EXPECT_EQ(read->port, 65535);
    EXPECT_EQ(read->created_ms, report.created_ms);
    EXPECT_EQ(read->host, report.host);
    EXPECT_EQ(read->path, report.path);
    EXPECT_EQ(read->body, report.body);

    report.body.clear();  // a report without a body is still a report
    EXPECT_TRUE(Decode(EncodeStoredReport(report)).has_value());
}

TEST(StoredReport, AnyChangedCutOrGrownFileIsRefused) {
    const std::string good = FromHex(kKnownFile);
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (const unsigned flip : {0x01U, 0x80U, 0xFFU}) {
            std::string bad = good;
            bad[i] = static_cast<char>(static_cast<unsigned char>(bad[i]) ^ flip);
            EXPECT_FALSE(Decode(bad).has_value()) << "byte " << i << " ^ " << flip;
        }
    }
    for (std::size_t size = 0; size < good.size(); ++size) {
        EXPECT_FALSE(Decode(good.substr(0, size)).has_value()) << "cut to " << size;
    }
    EXPECT_FALSE(Decode(good + '\0').has_value());
    EXPECT_FALSE(DecodeStoredReport(nullptr, 0).has_value());
}

TEST(StoredReport, DeclaredLengthsBeyondTheLimitsAreRefusedBeforeAnythingIsRead) {
    // A header that claims a 4 GiB body, with nothing behind it.
    std::string header = FromHex(kKnownFile).substr(0, mirto::kStoredHeaderBytes);
    header[36] = header[37] = header[38] = header[39] = static_cast<char>(0xFF);
    EXPECT_FALSE(Decode(header).has_value());
    StoredReport big = Known();
    big.body.assign(mirto::kStoredBodyMaxBytes + 1, 'x');
    EXPECT_FALSE(Decode(EncodeStoredReport(big)).has_value());
    big.body.assign(mirto::kStoredBodyMaxBytes, 'x');
    EXPECT_TRUE(Decode(EncodeStoredReport(big)).has_value());
}

}  // namespace
