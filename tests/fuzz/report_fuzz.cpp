// The seven real reports, built by the library's builders from a report context and records
// taken from the input, and checked as the collector reads them.
//
// Input: the bytes are read as little-endian UTF-16 code units (any unit, unpaired surrogates
// included) and cut into text fields at every unit 0xFFFF, in this order: index, identify,
// user, channel, system version, game version, installation id, user name, server, order id,
// product, currency type, payment. Missing fields are empty. The first units of the input also
// give the integers (level, screen size, amounts), so they vary with it.
//
// Checks, for every report: the text is not empty; it is strict JSON made of objects, strings
// and integers only, with no raw control byte and only valid UTF-8; its envelope starts with
// "name" (events) or "module" (identifies); and its percent-encoded body decodes to the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "reports/percent_encode.h"
#include "reports/report_builders.h"

namespace {

using namespace mirto;

// ---- a strict reader for what reports may hold --------------------------------------------

struct Reader {
    const std::string& text;
    std::size_t at = 0;

    bool Peek(char c) const { return at < text.size() && text[at] == c; }
    bool Take(char c) {
        if (!Peek(c)) return false;
        ++at;
        return true;
    }

    // One UTF-8 sequence (shortest form, no surrogates, at most U+10FFFF) starting at `at`.
    bool Utf8() {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t extra = 0;
        std::uint32_t point = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, point = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, point = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, point = lead & 0x07u;
        } else {
            return false;
        }
        if (at + extra >= text.size()) return false;
        for (std::size_t i = 1; i <= extra; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) return false;
            point = point << 6 | (next & 0x3Fu);
        }
        const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (point < smallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        at += extra + 1;
        return true;
    }

    bool String() {
        if (!Take('"')) return false;
        while (at < text.size()) {
            const auto byte = static_cast<unsigned char>(text[at]);
            if (byte == '"') {
                ++at;
                return true;
            }
            if (byte < 0x20) return false;
            if (byte == '\\') {
                ++at;
                if (at >= text.size()) return false;
                const char escape = text[at++];
                if (escape == 'u') {
                    for (int i = 0; i < 4; ++i, ++at) {
                        if (at >= text.size() ||
                            std::string("0123456789abcdef").find(text[at]) == std::string::npos) {
                            return false;
                        }
                    }
                } else if (std::string("\"\\/bfnrt").find(escape) == std::string::npos) {
                    return false;
                }
            } else if (byte < 0x80) {
                ++at;
            } else if (!Utf8()) {
                return false;
            }
        }
        return false;
    }

    bool Integer() {
        Take('-');
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == first) return false;
        return text[first] != '0' || at == first + 1;
    }

    bool Value(int depth) {
        if (Peek('{')) return depth < 3 && Object(depth + 1);
        if (Peek('"')) return String();
        return Integer();
    }

    bool Object(int depth) {
        if (!Take('{')) return false;
        if (Take('}')) return true;
        do {
            if (!String() || !Take(':') || !Value(depth)) return false;
        } while (Take(','));
        return Take('}');
    }
};

bool IsStrictReport(const std::string& text) {
    Reader reader{text};
    return reader.Object(0) && reader.at == text.size();
}

// The collector's decoding of a body.
std::string PercentDecode(const std::string& body) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '%' && i + 2 < body.size()) {
            out.push_back(static_cast<char>(std::stoi(body.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(body[i]);
        }
    }
    return out;
}

void Check(const std::string& text, const char* first_member) {
    FUZZ_CHECK(!text.empty());
    FUZZ_CHECK(IsStrictReport(text));
    FUZZ_CHECK(text.compare(0, std::string(first_member).size() + 3,
                            std::string("{\"") + first_member + "\"") == 0);
    const std::string body = PercentEncode(reinterpret_cast<const unsigned char*>(text.data()),
                                           static_cast<std::int32_t>(text.size()));
    FUZZ_CHECK(PercentDecode(body) == text);
}

// ---- the input ----------------------------------------------------------------------------

std::vector<std::wstring> Fields(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> fields(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<unsigned>(data[i] | data[i + 1] << 8);
        if (unit == 0xFFFF) {
            fields.emplace_back();
        } else {
            fields.back().push_back(static_cast<wchar_t>(unit));
        }
    }
    fields.resize(13);
    return fields;
}

std::int32_t Number(const std::uint8_t* data, std::size_t size, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = value << 8 | (at + i < size ? data[at + i] : 0u);
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::wstring> f = Fields(data, size);
    ReportContext context;
    context.index = f[0];
    context.identify = f[1];
    context.user = f[2];
    context.channel = f[3];
    context.facts.system_version = f[4];
    context.facts.game_version = f[5];
    context.facts.install_uuid = f[6];
    context.facts.persist_uuid = f[6];
    context.facts.screen_width = Number(data, size, 0);
    context.facts.screen_height = Number(data, size, 4);
    const SetUserRecord user{f[2], f[7]};
    const SetLevelRecord level{Number(data, size, 8)};
    const SetServerRecord server{f[8]};
    const OnChargeRecord charge{
        f[9], f[10], f[11], f[12], Number(data, size, 12), Number(data, size, 16)};

    Check(DeviceIdentifyJson(context), "module");
    Check(UserIdentifyJson(context, user), "module");
    Check(UserCountJson(context), "module");
    Check(LevelEventJson(context, level), "name");
    Check(ServerEventJson(context, server), "name");
    Check(DeviceChargeJson(context, charge), "name");
    Check(UserChargeJson(context, charge), "name");
    return 0;
}
