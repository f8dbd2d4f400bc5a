// Measuring and writing JSON trees in the three layouts.
//
// Invariants and ownership:
// - MeasureJson and WriteJson share one walker, parameterised by a sink that either counts or
//   stores characters, so the two can never disagree about what is emitted.
// - The walker keeps its place in each container's `cursor` and climbs back through `parent`;
//   it allocates nothing and leaves every cursor at 0 once it leaves the node it was given.
// - The writer trusts the caller's buffer to hold MeasureJson bytes and never checks it. The
//   measure may only over-count: doubles get room for ".0", indented line breaks an extra
//   `indent` each.
// - The tree is borrowed for the pass; nothing here frees or keeps any part of it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "json/json.h"

namespace mirto {
namespace {

// The two-character escapes JSON has letters for; other control bytes are written as
// "\u00XX" (JSON forbids them raw in a string), every other byte stands for itself. 0x7F
// is not a control character to JSON and stays raw.
char EscapeLetter(char c) {
    switch (c) {
        case '\b':
            return 'b';
        case '\t':
            return 't';
        case '\n':
            return 'n';
        case '\f':
            return 'f';
        case '\r':
            return 'r';
        case '"':
            return '"';
        case '\\':
            return '\\';
        default:
            return '\0';
    }
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20; }

// Bytes `c` takes in the output: 1 as it is, 2 for a letter escape, 6 for "\u00XX".
std::size_t EscapedLength(char c) {
    if (EscapeLetter(c) != '\0') return 2;
    return IsControl(c) ? 6 : 1;
}

// Decimal digits of the magnitude, least significant first; returns how many.
std::size_t MagnitudeDigits(std::int64_t value, char (&digits)[20]) {
    // Negating in unsigned arithmetic keeps INT64_MIN representable.
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    return count;
}

// The "%g" text of `value`; returns its length. 32 bytes hold any "%g" result.
std::size_t FormatDouble(double value, char (&text)[32]) {
    const int length = std::snprintf(text, sizeof text, "%g", value);
    if (length <= 0) {
        text[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(length) < sizeof text ? static_cast<std::size_t>(length)
                                                          : sizeof text - 1;
}

class MeasureSink {
   public:
    void Put(char /*c*/) { total_ += 1; }
    void Put(const char* /*text*/, std::size_t length) { total_ += length; }

    void PutEscaped(const char* text, std::uint32_t length) {
        for (std::uint32_t i = 0; i < length; ++i) {
            total_ += EscapedLength(text[i]);
        }
    }

    void PutInteger(std::int64_t value) {
        char digits[20];
        total_ += MagnitudeDigits(value, digits) + (value < 0 ? 1 : 0);
    }

    // Counted before any locale fix-up, with room for a ".0" that may be appended.
    void PutDouble(double value) {
        char text[32];
        total_ += FormatDouble(value, text) + 2;
    }

    // Reserves a full extra `indent` per break on top of the indentation itself.
    void PutLineBreak(bool crlf, std::uint64_t level, std::uint32_t indent, bool /*tabs*/) {
        total_ += std::uint64_t{crlf ? 2U : 1U} + indent + level * indent;
    }

    // Text whose size does not fit the 32-bit result cannot be written at all; saturating
    // makes the caller's allocation fail instead of coming out too small.
    std::uint32_t Result() const {
        const std::uint64_t with_terminator = total_ + 1;
        return with_terminator > UINT32_MAX ? UINT32_MAX
                                            : static_cast<std::uint32_t>(with_terminator);
    }

   private:
    std::uint64_t total_ = 0;
};

class WriteSink {
   public:
    explicit WriteSink(char* out) : out_(out) {}

    void Put(char c) { *out_++ = c; }

    void Put(const char* text, std::size_t length) {
        std::memcpy(out_, text, length);
        out_ += length;
    }

    void PutEscaped(const char* text, std::uint32_t length) {
        static constexpr char kHexDigits[] = "0123456789abcdef";
        for (std::uint32_t i = 0; i < length; ++i) {
            const char c = text[i];
            const char letter = EscapeLetter(c);
            if (letter != '\0') {
                *out_++ = '\\';
                *out_++ = letter;
            } else if (IsControl(c)) {
                const auto byte = static_cast<unsigned char>(c);
                std::memcpy(out_, "\\u00", 4);
                out_[4] = kHexDigits[byte >> 4];
                out_[5] = kHexDigits[byte & 0x0F];
                out_ += 6;
            } else {
                *out_++ = c;
            }
        }
    }

    void PutInteger(std::int64_t value) {
        char digits[20];
        std::size_t count = MagnitudeDigits(value, digits);
        if (value < 0) {
            *out_++ = '-';
        }
        while (count > 0) {
            *out_++ = digits[--count];
        }
    }

    void PutDouble(double value) {
        char text[32];
        const std::size_t length = FormatDouble(value, text);
        // A comma can only be the locale's decimal separator; JSON wants a full stop.
        char* comma = std::strchr(text, ',');
        if (comma != nullptr) {
            *comma = '.';
            Put(text, length);
        } else if (std::strchr(text, '.') == nullptr && std::strchr(text, 'e') == nullptr) {
            // Keeps the value a double for readers that type numbers by their text.
            Put(text, length);
            Put(".0", 2);
        } else {
            Put(text, length);
        }
    }

    void PutLineBreak(bool crlf, std::uint64_t level, std::uint32_t indent, bool tabs) {
        if (crlf) {
            *out_++ = '\r';
        }
        *out_++ = '\n';
        const auto width = static_cast<std::size_t>(level * indent);
        std::memset(out_, tabs ? '\t' : ' ', width);
        out_ += width;
    }

    void Finish() { *out_ = '\0'; }

   private:
    char* out_;
};

// What the layout adds around brackets, commas and colons. `level` is the nesting level of
// the line that follows a break: the root's members stand at 1.
template <typename Sink>
class LayoutEmitter {
   public:
    LayoutEmitter(Sink& sink, JsonWriteOptions options)
        : sink_(sink),
          indented_(options.mode == kJsonIndented),
          one_line_(options.mode != kJsonIndented && options.mode != kJsonCompact),
          crlf_((options.flags & kJsonCrLf) != 0),
          tabs_((options.flags & kJsonTabs) != 0),
          bracket_space_((options.flags & kJsonTightBrackets) == 0),
          comma_space_((options.flags & kJsonNoCommaSpace) == 0),
          colon_space_((options.flags & kJsonNoColonSpace) == 0),
          indent_(options.indent) {}

    void AfterOpen(std::uint64_t level) {
        if (indented_) {
            sink_.PutLineBreak(crlf_, level, indent_, tabs_);
        } else if (one_line_ && bracket_space_) {
            sink_.Put(' ');
        }
    }

    void BeforeClose(std::uint64_t level) { AfterOpen(level); }

    void AfterComma(std::uint64_t level) {
        if (indented_) {
            sink_.PutLineBreak(crlf_, level, indent_, tabs_);
        } else if (one_line_ && comma_space_) {
            sink_.Put(' ');
        }
    }

    void AfterColon() {
        if ((indented_ || one_line_) && colon_space_) {
            sink_.Put(' ');
        }
    }

   private:
    Sink& sink_;
    bool indented_;
    bool one_line_;
    bool crlf_;
    bool tabs_;
    bool bracket_space_;
    bool comma_space_;
    bool colon_space_;
    std::uint32_t indent_;
};

// Visits `root` depth first, children in insertion order. A container is entered once per
// child and once more to close; its cursor counts the children already entered.
template <typename Sink>
void WalkJson(JsonNode* root, JsonWriteOptions options, Sink& sink) {
    LayoutEmitter<Sink> layout(sink, options);
    JsonNode* node = root;
    std::uint64_t depth = 0;  // Containers between `node` and `root`.
    while (node != nullptr) {
        const bool is_object = node->type == kJsonObject;
        if (is_object || node->type == kJsonArray) {
            const std::uint32_t count = is_object ? node->object.count : node->array.count;
            if (node->cursor == 0 && count == 0) {
                sink.Put(is_object ? "{}" : "[]", 2);
            } else if (node->cursor == count) {
                layout.BeforeClose(depth);
                sink.Put(is_object ? '}' : ']');
                node->cursor = 0;
            } else {
                if (node->cursor == 0) {
                    sink.Put(is_object ? '{' : '[');
                    layout.AfterOpen(depth + 1);
                } else {
                    sink.Put(',');
                    layout.AfterComma(depth + 1);
                }
                const std::uint32_t position = node->cursor++;
                ++depth;
                if (is_object) {
                    const JsonMember& member = node->object.members[position];
                    sink.Put('"');
                    sink.PutEscaped(member.name, member.name_length);
                    sink.Put("\":", 2);
                    layout.AfterColon();
                    node = member.value;
                } else {
                    node = node->array.items[position];
                }
                continue;
            }
        } else {
            switch (node->type) {
                case kJsonInteger:
                    sink.PutInteger(node->integer);
                    break;
                case kJsonDouble:
                    sink.PutDouble(node->real);
                    break;
                case kJsonString:
                    sink.Put('"');
                    sink.PutEscaped(node->string.text, node->string.length);
                    sink.Put('"');
                    break;
                case kJsonBoolean:
                    if (node->boolean != 0) {
                        sink.Put("true", 4);
                    } else {
                        sink.Put("false", 5);
                    }
                    break;
                default:
                    sink.Put("null", 4);
                    break;
            }
        }
        // Finished with `node`: climb, but never above the node the pass was given.
        if (node == root) {
            break;
        }
        --depth;
        node = node->parent;
    }
}

}  // namespace

std::uint32_t MeasureJson(JsonNode* root, JsonWriteOptions options) {
    MeasureSink sink;
    if (root != nullptr) {
        WalkJson(root, options, sink);
    }
    return sink.Result();
}

void WriteJson(char* out, JsonNode* root, JsonWriteOptions options) {
    if (out == nullptr) {
        return;
    }
    WriteSink sink(out);
    if (root != nullptr) {
        WalkJson(root, options, sink);
    }
    sink.Finish();
}

}  // namespace mirto
