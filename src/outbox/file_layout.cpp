// Writing and splitting outbox files (file_layout.h).
#include "outbox/file_layout.h"

#include <optional>

#include "outbox/byte_order.h"
#include "outbox/crc32.h"
#include "outbox/stored_report.h"

namespace mirto {
namespace {

constexpr char kFileMagic[4] = {'M', 'O', 'B', 'F'};
constexpr char kBatchMagic[4] = {'M', 'O', 'B', 'B'};
constexpr char kReportMagic[4] = {'M', 'O', 'B', 'X'};
constexpr std::uint32_t kLayout = 2;

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

bool StartsWith(const unsigned char* data, std::size_t size, const char (&magic)[4]) {
    if (size < 4) return false;
    for (std::size_t i = 0; i < 4; ++i) {
        if (data[i] != static_cast<unsigned char>(magic[i])) return false;
    }
    return true;
}

// A header's 12 bytes followed by their CRC-32.
void SealHeader(std::string& header, const unsigned char* more = nullptr, std::size_t size = 0) {
    std::uint32_t crc = Crc32(Bytes(header), header.size());
    if (more != nullptr) crc = Crc32(more, size, crc);
    PutLittleEndian(header, crc, 4);
}

// Splits `size` bytes at `data` (offset `base` in the file) into parts of sequence number and
// report; false when they are not exactly whole parts. At most `limit` parts.
bool SplitParts(const unsigned char* data, std::size_t size, std::size_t base, std::size_t limit,
                std::vector<FilePart>& parts) {
    std::size_t at = 0;
    while (at < size) {
        if (parts.size() >= limit || size - at < kSequenceBytes) return false;
        const std::optional<std::size_t> report =
            DeclaredStoredReportSize(data + at + kSequenceBytes, size - at - kSequenceBytes);
        if (!report || *report > size - at - kSequenceBytes) return false;
        parts.push_back(
            FilePart{GetLittleEndian(data + at, 8), base + at + kSequenceBytes, *report});
        at += kSequenceBytes + *report;
    }
    return true;
}

// One whole batch at `at`, its parts added to `file`; the size it takes, or 0 when no whole
// batch is there. `declared` is set to the size its header claims, when it has a header.
std::size_t ParseBatch(const unsigned char* data, std::size_t size, std::size_t at,
                       ParsedFile& file, std::size_t& declared) {
    const unsigned char* batch = data + at;
    const std::size_t left = size - at;
    declared = 0;
    if (left < kBatchHeaderBytes || !StartsWith(batch, left, kBatchMagic)) return 0;
    const std::uint64_t reports = GetLittleEndian(batch + 4, 4);
    const std::uint64_t payload = GetLittleEndian(batch + 8, 4);
    if (payload > left - kBatchHeaderBytes) return 0;
    declared = kBatchHeaderBytes + static_cast<std::size_t>(payload);
    if (reports == 0 ||
        GetLittleEndian(batch + 12, 4) !=
            Crc32(batch + kBatchHeaderBytes, static_cast<std::size_t>(payload), Crc32(batch, 12))) {
        return 0;
    }
    std::vector<FilePart> parts;
    if (!SplitParts(batch + kBatchHeaderBytes, static_cast<std::size_t>(payload),
                    at + kBatchHeaderBytes, static_cast<std::size_t>(reports), parts) ||
        parts.size() != reports) {
        return 0;
    }
    file.parts.insert(file.parts.end(), parts.begin(), parts.end());
    ++file.batches;
    return declared;
}

void ParseBatches(const unsigned char* data, std::size_t size, ParsedFile& file) {
    if (size < kFileHeaderBytes || GetLittleEndian(data + 4, 4) != kLayout ||
        GetLittleEndian(data + 8, 4) != 0 || GetLittleEndian(data + 12, 4) != Crc32(data, 12)) {
        file.damaged = true;
        return;
    }
    std::size_t at = kFileHeaderBytes;
    while (at < size) {
        std::size_t declared = 0;
        const std::size_t taken = ParseBatch(data, size, at, file, declared);
        if (taken != 0) {
            at += taken;
            continue;
        }
        file.damaged = true;
        // A damaged batch whose length still leads to a whole batch is passed over: what
        // follows it is kept. Anything else ends the file here.
        std::size_t ignored = 0;
        if (declared == 0 || at + declared >= size) return;
        ParsedFile probe;
        if (ParseBatch(data, size, at + declared, probe, ignored) == 0) return;
        at += declared;
    }
}

}  // namespace

std::string FileHeader() {
    std::string header(kFileMagic, sizeof(kFileMagic));
    PutLittleEndian(header, kLayout, 4);
    PutLittleEndian(header, 0, 4);
    SealHeader(header);
    return header;
}

void AddPart(std::string& payload, std::uint64_t sequence, const std::string& report) {
    PutLittleEndian(payload, sequence, 8);
    payload += report;
}

std::string Batch(std::size_t reports, const std::string& payload) {
    std::string batch(kBatchMagic, sizeof(kBatchMagic));
    batch.reserve(kBatchHeaderBytes + payload.size());
    PutLittleEndian(batch, reports, 4);
    PutLittleEndian(batch, payload.size(), 4);
    SealHeader(batch, Bytes(payload), payload.size());
    batch += payload;
    return batch;
}

ParsedFile ParseOutboxFile(const std::string& bytes, std::uint64_t name) {
    ParsedFile file;
    const unsigned char* data = Bytes(bytes);
    if (StartsWith(data, bytes.size(), kFileMagic)) {
        ParseBatches(data, bytes.size(), file);
        return file;
    }
    if (StartsWith(data, bytes.size(), kReportMagic)) {
        file.layout = FileLayout::kSingleReport;
        const std::optional<std::size_t> report = DeclaredStoredReportSize(data, bytes.size());
        if (report && *report == bytes.size()) {
            file.parts.push_back(FilePart{name, 0, bytes.size()});
        } else {
            file.damaged = true;
        }
        return file;
    }
    file.layout = FileLayout::kBareParts;
    file.damaged = !SplitParts(data, bytes.size(), 0, bytes.size(), file.parts);
    return file;
}

}  // namespace mirto
