// The layout of an outbox file, portable (plain little-endian data).
//
// A file is a header followed by batches, appended one after another: each batch holds the
// reports of one store, each report as its sequence number (8 bytes) followed by the report's own
// layout (outbox/stored_report.h).
//
//   file header, 16 bytes:   "MOBF" | layout (2) | 0 | CRC-32 of the 12 bytes before it
//   batch header, 16 bytes:  "MOBB" | reports | payload bytes | CRC-32 of the 12 bytes before it
//                            and of the payload
//   payload:                 per report: sequence number (8) | the report
//
// A batch counts only when it is whole: its checksum covers its sequence numbers and its
// reports, so a batch cut short by a power loss, or damaged in any byte, is recognised and none
// of it is sent. A file written under a temporary name holds exactly one batch, so whether it
// is whole tells whether its writing finished.
//
// Files of earlier versions are read too: a file that is one report and nothing else (layout 1,
// named after the report's sequence number), and a file of bare parts (sequence number and
// report, one after another) without any header.
#ifndef MIRTO_OUTBOX_FILE_LAYOUT_H
#define MIRTO_OUTBOX_FILE_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mirto {

constexpr std::size_t kFileHeaderBytes = 16;
constexpr std::size_t kBatchHeaderBytes = 16;
constexpr std::size_t kSequenceBytes = 8;

// The header every file of the current layout begins with.
std::string FileHeader();

// Adds one report (its stored layout, `report`) under its sequence number to `payload`.
void AddPart(std::string& payload, std::uint64_t sequence, const std::string& report);

// One batch: its header for `reports` reports in `payload`, then the payload.
std::string Batch(std::size_t reports, const std::string& payload);

// Where one report lies in a file: the bytes of its stored layout, without its sequence number.
struct FilePart {
    std::uint64_t sequence;
    std::size_t at;
    std::size_t size;
};

enum class FileLayout {
    kBatches,       // the current layout
    kSingleReport,  // one report, its sequence number the file's name
    kBareParts,     // parts without headers
};

struct ParsedFile {
    FileLayout layout = FileLayout::kBatches;
    std::vector<FilePart> parts;  // of every whole batch (or whole part, in the older layouts)
    std::size_t batches = 0;      // whole batches (current layout)
    bool damaged = false;         // something other than whole batches or parts was found
};

// The parts of a file's bytes, as far as they are whole: a damaged batch, and everything after
// it, is left out. The reports themselves are not checked here (DecodeStoredReport does).
// `name`: the sequence number the file is named after.
ParsedFile ParseOutboxFile(const std::string& bytes, std::uint64_t name);

}  // namespace mirto

#endif  // MIRTO_OUTBOX_FILE_LAYOUT_H
