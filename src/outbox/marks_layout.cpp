// Writing and reading one slot of the marks file (marks_layout.h).
#include "outbox/marks_layout.h"

#include "outbox/byte_order.h"
#include "outbox/crc32.h"

namespace mirto {
namespace {

constexpr unsigned char kMagic[4] = {'M', 'O', 'B', 'M'};
constexpr std::uint32_t kLayout = 1;
constexpr std::size_t kChecksumOffset = 28;

std::uint32_t Checksum(const unsigned char* data, std::size_t size) {
    return Crc32(data + kMarksHeaderBytes, size - kMarksHeaderBytes, Crc32(data, kChecksumOffset));
}

}  // namespace

std::string EncodeMarks(const Marks& marks) {
    std::string out(reinterpret_cast<const char*>(kMagic), sizeof(kMagic));
    const std::size_t ranges =
        marks.accepted.size() < kMaxAcceptedRanges ? marks.accepted.size() : kMaxAcceptedRanges;
    out.reserve(kMarksHeaderBytes + ranges * kMarksRangeBytes);
    PutLittleEndian(out, kLayout, 4);
    PutLittleEndian(out, marks.generation, 8);
    PutLittleEndian(out, marks.attempted, 8);
    PutLittleEndian(out, ranges, 4);
    PutLittleEndian(out, 0, 4);  // the checksum, filled in below
    for (std::size_t i = 0; i < ranges; ++i) {
        PutLittleEndian(out, marks.accepted[i].file, 8);
        PutLittleEndian(out, marks.accepted[i].first, 8);
        PutLittleEndian(out, marks.accepted[i].last, 8);
    }
    const std::uint32_t checksum =
        Checksum(reinterpret_cast<const unsigned char*>(out.data()), out.size());
    for (std::size_t i = 0; i < 4; ++i) {
        out[kChecksumOffset + i] = static_cast<char>((checksum >> (8 * i)) & 0xFFU);
    }
    return out;
}

std::optional<Marks> DecodeMarks(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size < kMarksHeaderBytes) return std::nullopt;
    if (!HasMagic(data, kMagic)) return std::nullopt;
    if (GetLittleEndian(data + 4, 4) != kLayout) return std::nullopt;
    const std::uint64_t ranges = GetLittleEndian(data + 24, 4);
    if (ranges > kMaxAcceptedRanges) return std::nullopt;
    const std::size_t used =
        kMarksHeaderBytes + static_cast<std::size_t>(ranges) * kMarksRangeBytes;
    if (size < used || GetLittleEndian(data + kChecksumOffset, 4) != Checksum(data, used)) {
        return std::nullopt;
    }
    Marks marks;
    marks.generation = GetLittleEndian(data + 8, 8);
    marks.attempted = GetLittleEndian(data + 16, 8);
    marks.accepted.reserve(static_cast<std::size_t>(ranges));
    for (std::size_t i = 0; i < ranges; ++i) {
        const unsigned char* range = data + kMarksHeaderBytes + i * kMarksRangeBytes;
        marks.accepted.push_back(AcceptedRange{GetLittleEndian(range, 8),
                                               GetLittleEndian(range + 8, 8),
                                               GetLittleEndian(range + 16, 8)});
    }
    return marks;
}

Marks NewestMarks(const std::string& file, std::size_t* slot) {
    const auto* data = reinterpret_cast<const unsigned char*>(file.data());
    std::optional<Marks> newest;
    if (slot != nullptr) *slot = 0;
    for (std::size_t index = 0; index < 2; ++index) {
        const std::size_t at = index * kMarksSlotBytes;
        if (file.size() <= at) break;
        const std::size_t size =
            file.size() - at < kMarksSlotBytes ? file.size() - at : kMarksSlotBytes;
        std::optional<Marks> marks = DecodeMarks(data + at, size);
        if (marks && (!newest || marks->generation > newest->generation)) {
            newest = std::move(marks);
            if (slot != nullptr) *slot = index;
        }
    }
    return newest ? std::move(*newest) : Marks{};
}

}  // namespace mirto
