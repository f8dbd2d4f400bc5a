// UTF-16 to UTF-8 in one pass over the input, into a result reserved once for the common case.
#include "reports/report_text.h"

#include <cstdint>
#include <type_traits>

namespace mirto {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

// The code unit at `at`, as the unsigned value it stands for whatever wchar_t's signedness.
std::uint32_t UnitAt(const std::wstring& text, std::size_t at) {
    return static_cast<std::make_unsigned_t<wchar_t>>(text[at]);
}

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void Append(std::string& out, std::uint32_t point) {
    if (point < 0x80) {
        out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | point >> 6));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | point >> 12));
        out.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | point >> 18));
        out.push_back(static_cast<char>(0x80 | (point >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

}  // namespace

std::string ReportText(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    const std::size_t size = wide.size();
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t unit = UnitAt(wide, i);
        if (IsHighSurrogate(unit) && i + 1 < size && IsLowSurrogate(UnitAt(wide, i + 1))) {
            const std::uint32_t low = UnitAt(wide, ++i);
            Append(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit) || unit > 0x10FFFF) {
            Append(out, kReplacement);
        } else {
            Append(out, unit);
        }
    }
    return out;
}

}  // namespace mirto
