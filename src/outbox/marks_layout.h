// The layout of the outbox's "marks" file, portable: what the sending side must remember across
// processes, each record self-checking.
//
// The file holds two slots of kMarksSlotBytes; each write goes to the slot the previous write did
// not use and is flushed, so a write cut short by a power loss damages at most the slot it was
// writing, and the other still holds the state before it. Reading takes the whole slot with the
// higher generation.
//
//   slot:  "MOBM" | layout (1) | generation (8) | attempted (8) | ranges (4) |
//          CRC-32 of the 28 bytes before it and of the ranges | ranges, 24 bytes each:
//          file (8) | first (8) | last (8)
//
// "attempted": the sequence number of the report whose attempt began last (0: none), so that the
// next process knows an attempt may have been cut off after the report reached the collector.
// A range: the reports of the file named `file` with sequence numbers from `first` to `last`
// have been accepted by the collector (or given up); they are never sent again. A file's range
// goes when the file does.
#ifndef MIRTO_OUTBOX_MARKS_LAYOUT_H
#define MIRTO_OUTBOX_MARKS_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirto {

constexpr std::size_t kMarksSlotBytes = 4096;
constexpr std::size_t kMarksHeaderBytes = 32;
constexpr std::size_t kMarksRangeBytes = 24;
constexpr std::size_t kMaxAcceptedRanges = (kMarksSlotBytes - kMarksHeaderBytes) / kMarksRangeBytes;

struct AcceptedRange {
    std::uint64_t file = 0;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

struct Marks {
    std::uint64_t generation = 0;
    std::uint64_t attempted = 0;
    std::vector<AcceptedRange> accepted;  // at most kMaxAcceptedRanges
};

// One slot's bytes (no more than kMarksSlotBytes).
std::string EncodeMarks(const Marks& marks);

// The marks one slot's bytes hold, or nothing when they are not a whole slot of this layout.
std::optional<Marks> DecodeMarks(const unsigned char* data, std::size_t size);

// The newest whole slot of a marks file's bytes; empty marks when neither is whole. `slot`, when
// given, is set to the slot it was found in (0 when neither is whole).
Marks NewestMarks(const std::string& file, std::size_t* slot = nullptr);

}  // namespace mirto

#endif  // MIRTO_OUTBOX_MARKS_LAYOUT_H
