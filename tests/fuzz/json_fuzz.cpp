// Fuzz target for the JSON tree builder and writer.
//
// The input is a small program that builds a tree. Bytes 0 to 3 choose the layouts and the
// root: byte 0 the one-line mode value, byte 1 the one-line flags, byte 2 the indented flags,
// byte 3 the indent (low 5 bits: 0 to 16, or one of the large indents below) and whether the
// root is an object, an array or a single value. Bit 0x80 of byte 1, which means nothing to
// the writer, also switches the numeric locale to one with a decimal comma for the input, when
// one is installed. Each following instruction starts with one byte whose low 4 bits are the
// operation and whose high bits choose variants:
//
//   0 open object   1 open array   2 close        3, 14, 15 string   4 integer   5 double
//   6 boolean       7 null          8 many copies of one value (wide) 9 a chain of nested
//   containers (deep)   10 back to the root   11 spare member slots   12 refused additions
//   13 close several levels
//
// Wide and deep take a count: a byte (1 to 16, or to 256 with the operation's bit 0x80) or, with
// bits 0x80 and 0x40, two bytes (wide still stops at 256), so that most inputs stay small and
// fast while a few reach the node limit.
//
// Every value added to an object first reads its name. Names and strings are a length byte
// (0xF0 and above take a second byte, up to 4095) followed by that many bytes; a NUL among them
// ends the text, as it does for the builder.
//
// While building, the target records the events a reader of the text must see (names,
// values, open and close) in document order. Then, for the compact layout, the one-line layout
// and the indented layout it checks that:
// - the text equals an independent rendering of those events;
// - the measure is the text length + 1, plus 2 for each double whose "%g" text needs no ".0",
//   plus (indented) `indent` for each line break of the text; a measure that does not fit 32
//   bits saturates;
// - every container cursor is 0 after the measure and after each write;
// - a second write gives the same text;
// - when no double is NaN or infinite, a strict reader parses the text back into the same
//   events, names and strings byte for byte.
// The tree is then freed; LeakSanitizer reports anything FreeJson left behind.

#include <algorithm>
#include <cinttypes>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "json/json.h"

namespace mirto {
namespace {

// Bounds that keep one input fast and small. Texts larger than kMaxWrittenSize are measured
// and compared with the expected size, but not written.
constexpr std::size_t kMaxNodes = 4096;
// Containers grow by one entry per addition and AddressSanitizer makes every growth a copy.
constexpr std::uint32_t kMaxChildren = 512;
constexpr std::size_t kMaxTextBytes = std::size_t{64} << 10;  // names and strings together
constexpr std::uint32_t kMaxWrittenSize = std::uint32_t{1} << 20;

// Indents beyond 16, up to the largest, so that an indented measure reaches the 32-bit limit.
constexpr std::uint32_t kLargeIndents[] = {
    24,       100,        1000,       4096,       65535,      65536,      1U << 20,   1U << 24,
    1U << 28, 0x7FFFFFFF, 0x80000000, 0xC0000000, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF,
};

// ---------------------------------------------------------------------------------------------
// Events of a document, as built and as read back.

enum class Event : std::uint8_t {
    kBeginObject,
    kBeginArray,
    kEnd,
    kName,
    kString,
    kNumber,  // text: the number exactly as it must be written
    kTrue,
    kFalse,
    kNull,
};

struct Token {
    Event event;
    std::string text;

    bool operator==(const Token& other) const { return event == other.event && text == other.text; }
};

bool IsBegin(Event event) { return event == Event::kBeginObject || event == Event::kBeginArray; }

// ---------------------------------------------------------------------------------------------
// The input, read as a program.

class Program {
   public:
    Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Done() const { return position_ >= size_; }

    // 0 once the input is used up.
    std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }

    // Little-endian.
    std::uint64_t Word(unsigned bytes) {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
        }
        return value;
    }

    std::string Text() {
        std::size_t length = Byte();
        if (length >= 0xF0) {
            length = ((length - 0xF0) << 8) | Byte();
        }
        if (length > size_ - position_) {
            length = size_ - position_;
        }
        std::string text(reinterpret_cast<const char*>(data_ + position_), length);
        position_ += length;
        return text;
    }

   private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Values.

constexpr std::int64_t kIntegers[] = {
    0,
    1,
    -1,
    9,
    10,
    -10,
    99,
    100,
    INT32_MIN,
    INT32_MAX,
    std::numeric_limits<std::int64_t>::min(),
    std::numeric_limits<std::int64_t>::min() + 1,
    std::numeric_limits<std::int64_t>::max(),
    999999999999999999,
    1000000000000000000,
    -1000000000000000000,
};

const double kDoubles[] = {
    0.0,
    -0.0,
    2.0,
    0.5,
    0.1,
    -2.5,
    1e20,
    1e-5,
    1e-4,
    123456.0,
    1234567.0,
    1e15,
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
};

template <typename T, std::size_t N>
const T& Pick(const T (&table)[N], std::uint8_t byte) {
    return table[byte % N];
}

// One leaf value, read once and made as often as needed.
struct LeafSpec {
    JsonType type = kJsonNull;
    std::string text;
    std::int64_t integer = 0;
    double real = 0;
    std::int32_t boolean = 0;
};

LeafSpec ReadLeaf(std::uint8_t op, Program& program) {
    LeafSpec spec;
    switch (op & 0x0F) {
        case 4:
            spec.type = kJsonInteger;
            if ((op & 0x20) != 0) {
                spec.integer = Pick(kIntegers, program.Byte());
            } else if ((op & 0x40) != 0) {
                spec.integer = std::int64_t{program.Byte()} - 128;  // near 0
            } else {
                spec.integer = static_cast<std::int64_t>(program.Word(8));
            }
            break;
        case 5:
            spec.type = kJsonDouble;
            if ((op & 0x20) != 0) {
                spec.real = Pick(kDoubles, program.Byte());
            } else {
                const std::uint64_t bits = program.Word(8);
                std::memcpy(&spec.real, &bits, sizeof spec.real);
            }
            break;
        case 6:
            spec.type = kJsonBoolean;
            // Any value other than 0 is true, not only the 1 that NewJsonBoolean stores.
            spec.boolean =
                (op & 0x20) != 0 ? static_cast<std::int32_t>(program.Word(4)) : program.Byte() & 1;
            break;
        case 7:
            spec.type = kJsonNull;
            break;
        default:
            spec.type = kJsonString;
            spec.text = program.Text();
            break;
    }
    return spec;
}

// What the writer must print for a double, and by how much the measure exceeds it.
// A numeric locale whose decimal separator is a comma, or null when none is installed.
const char* CommaLocale() {
    static const char* const found = [] {
        const char* result = nullptr;
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR"}) {
            char probe[8] = {};
            if (std::setlocale(LC_NUMERIC, name) != nullptr &&
                std::snprintf(probe, sizeof probe, "%g", 0.5) > 0 &&
                std::strcmp(probe, "0,5") == 0) {
                result = name;
                break;
            }
        }
        std::setlocale(LC_NUMERIC, "C");
        return result;
    }();
    return found;
}

std::string DoubleText(double value, std::uint64_t* slack) {
    char formatted[64];
    const int length = std::snprintf(formatted, sizeof formatted, "%g", value);
    FUZZ_CHECK(length > 0 && static_cast<std::size_t>(length) < sizeof formatted);
    std::string text(formatted, static_cast<std::size_t>(length));
    const std::size_t counted = text.size() + 2;
    const std::size_t comma = text.find(',');  // the decimal separator of the numeric locale
    if (comma != std::string::npos) {
        text[comma] = '.';
    } else if (text.find('.') == std::string::npos && text.find('e') == std::string::npos) {
        text += ".0";
    }
    *slack += counted - text.size();
    return text;
}

// What the builder keeps of a text: the bytes before the first NUL.
std::string UpToNul(const std::string& text) { return text.substr(0, text.find('\0')); }

std::string IntegerText(std::int64_t value) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%" PRId64, value);
    return std::string(text, static_cast<std::size_t>(length));
}

// ---------------------------------------------------------------------------------------------
// Building the tree and its expected events together.

std::size_t Count(std::uint8_t op, Program& program) {
    if ((op & 0xC0) == 0xC0) {
        return 1 + program.Word(2);
    }
    return 1 + ((op & 0x80) != 0 ? program.Byte() : program.Byte() % 16U);
}

class Builder {
   public:
    ~Builder() { FreeJson(root_); }

    JsonNode* root() const { return root_; }
    const std::vector<Token>& tokens() const { return tokens_; }
    std::uint64_t double_slack() const { return double_slack_; }
    bool has_doubles() const { return has_doubles_; }
    bool all_doubles_finite() const { return all_doubles_finite_; }

    void Run(std::uint8_t root_choice, Program& program) {
        const std::uint8_t kind = root_choice % 8;
        if (kind < 6) {
            root_ = kind < 4 ? NewJsonObject() : NewJsonArray();
            FUZZ_CHECK(root_ != nullptr);
            tokens_.push_back({kind < 4 ? Event::kBeginObject : Event::kBeginArray, {}});
        } else {
            const std::uint8_t op = program.Byte();
            root_ = Make(ReadLeaf(op, program));
            FUZZ_CHECK(root_ != nullptr);
            return;
        }
        ++nodes_;
        current_ = root_;
        while (!program.Done() && nodes_ < kMaxNodes && text_bytes_ < kMaxTextBytes) {
            Step(program);
        }
        while (current_ != nullptr) {
            Close();
        }
    }

   private:
    void Step(Program& program) {
        const std::uint8_t op = program.Byte();
        switch (op & 0x0F) {
            case 0:
            case 1: {
                const std::string name = ReadName(program);
                OpenChild((op & 0x0F) == 1, name, (op & 0x10) != 0);
                break;
            }
            case 2:
                if (current_ != root_) {
                    Close();
                }
                break;
            case 8: {  // Wide: one value many times.
                const std::size_t wanted = std::min<std::size_t>(Count(op, program), 256);
                const std::uint8_t leaf_op = program.Byte();
                const LeafSpec spec = ReadLeaf(leaf_op, program);
                const std::string name = ReadName(program).substr(0, 15);
                for (std::size_t i = 0; i < wanted && Fits(spec.text.size()); ++i) {
                    Attach(Make(spec), name, (i & 1) != 0);
                }
                break;
            }
            case 9: {  // Deep: nested containers, object or array by the bits of `kinds`.
                const std::size_t wanted = Count(op, program);
                const std::uint8_t kinds = program.Byte();
                const std::string name = ReadName(program).substr(0, 15);
                for (std::size_t i = 0; i < wanted && Fits(0); ++i) {
                    OpenChild(((kinds >> (i % 8)) & 1) != 0, name, (i & 2) != 0);
                }
                break;
            }
            case 10:
                while (current_ != root_) {
                    Close();
                }
                break;
            case 11:
                AddSpareSlots(1 + program.Byte() % 8);
                break;
            case 12:
                CheckRefusals();
                break;
            case 13:
                for (int levels = program.Byte() % 16; levels > 0 && current_ != root_; --levels) {
                    Close();
                }
                break;
            default: {
                const LeafSpec spec = ReadLeaf(op, program);
                const std::string name = ReadName(program);
                if (Fits(spec.text.size())) {
                    Attach(Make(spec), name, (op & 0x10) != 0);
                }
                break;
            }
        }
    }

    // Arrays take no names, so none is read for them.
    std::string ReadName(Program& program) {
        return current_->type == kJsonObject ? program.Text() : std::string();
    }

    bool Fits(std::size_t text_bytes) const {
        const std::uint32_t children =
            current_->type == kJsonObject ? current_->object.count : current_->array.count;
        return nodes_ < kMaxNodes && text_bytes_ + text_bytes < kMaxTextBytes &&
               children < kMaxChildren;
    }

    JsonNode* Make(const LeafSpec& spec) {
        JsonNode* node = nullptr;
        switch (spec.type) {
            case kJsonInteger:
                node = NewJsonInteger(spec.integer);
                tokens_.push_back({Event::kNumber, IntegerText(spec.integer)});
                break;
            case kJsonDouble:
                node = NewJsonDouble(spec.real);
                tokens_.push_back({Event::kNumber, DoubleText(spec.real, &double_slack_)});
                has_doubles_ = true;
                all_doubles_finite_ = all_doubles_finite_ && std::isfinite(spec.real);
                break;
            case kJsonBoolean:
                node = NewJsonBoolean(spec.boolean != 0);
                FUZZ_CHECK(node != nullptr && node->boolean == (spec.boolean != 0 ? 1 : 0));
                node->boolean = spec.boolean;
                tokens_.push_back({spec.boolean != 0 ? Event::kTrue : Event::kFalse, {}});
                break;
            case kJsonString:
                node = NewJsonString(spec.text.c_str());
                tokens_.push_back({Event::kString, UpToNul(spec.text)});
                text_bytes_ += spec.text.size();
                break;
            default:
                node = NewJsonNull();
                tokens_.push_back({Event::kNull, {}});
                break;
        }
        FUZZ_CHECK(node != nullptr && node->parent == nullptr && node->type == spec.type);
        ++nodes_;
        return node;
    }

    // Adds `node`, whose token was just recorded, to the current container.
    void Attach(JsonNode* node, const std::string& name, bool owned_name) {
        const bool in_object = current_->type == kJsonObject;
        const std::uint32_t before = in_object ? current_->object.count : current_->array.count;
        if (in_object) {
            const std::string kept = UpToNul(name);
            JsonNode* added = nullptr;
            if (owned_name) {
                auto* buffer = static_cast<char*>(std::malloc(kept.size() + 1));
                FUZZ_CHECK(buffer != nullptr);
                std::memcpy(buffer, kept.c_str(), kept.size() + 1);
                added = AddJsonMemberOwned(current_, static_cast<std::uint32_t>(kept.size()),
                                           buffer, node);
            } else {
                added = AddJsonMember(current_, name.c_str(), node);
            }
            FUZZ_CHECK(added == node);
            FUZZ_CHECK(current_->object.count == before + 1);
            const JsonMember& member = current_->object.members[before];
            FUZZ_CHECK(member.value == node && member.name_length == kept.size());
            FUZZ_CHECK(std::memcmp(member.name, kept.c_str(), kept.size() + 1) == 0);
            // The value's token is already recorded; its name goes before it.
            tokens_.insert(tokens_.end() - 1, Token{Event::kName, kept});
            text_bytes_ += kept.size();
        } else {
            FUZZ_CHECK(AddJsonItem(current_, node) == node);
            FUZZ_CHECK(current_->array.count == before + 1);
            FUZZ_CHECK(current_->array.items[before] == node);
        }
        FUZZ_CHECK(node->parent == current_);
    }

    void OpenChild(bool array, const std::string& name, bool owned_name) {
        if (!Fits(name.size())) {
            return;
        }
        JsonNode* child = array ? NewJsonArray() : NewJsonObject();
        FUZZ_CHECK(child != nullptr && child->parent == nullptr && child->cursor == 0);
        tokens_.push_back({array ? Event::kBeginArray : Event::kBeginObject, {}});
        ++nodes_;
        Attach(child, name, owned_name);
        current_ = child;
    }

    void Close() {
        tokens_.push_back({Event::kEnd, {}});
        current_ = current_->parent;
    }

    // Objects may hold allocated member entries beyond `count`; additions use them first.
    void AddSpareSlots(std::uint32_t extra) {
        if (current_->type != kJsonObject) {
            return;
        }
        JsonNode& object = *current_;
        const std::size_t room = std::size_t{object.object.count} + object.spare_slots + extra;
        auto* members = static_cast<JsonMember*>(
            std::realloc(object.object.members, room * sizeof(JsonMember)));
        FUZZ_CHECK(members != nullptr);
        object.object.members = members;
        object.spare_slots += extra;
    }

    // Additions the builder must refuse, leaving the container and the value as they were.
    void CheckRefusals() {
        JsonNode* loose = NewJsonInteger(5);
        FUZZ_CHECK(loose != nullptr);
        const bool is_object = current_->type == kJsonObject;
        const std::uint32_t count = is_object ? current_->object.count : current_->array.count;
        if (is_object) {
            FUZZ_CHECK(AddJsonItem(current_, loose) == nullptr);
            FUZZ_CHECK(AddJsonMember(current_, nullptr, loose) == nullptr);
            FUZZ_CHECK(AddJsonMember(current_, "x", nullptr) == nullptr);
            char name[] = "x";
            FUZZ_CHECK(AddJsonMemberOwned(current_, 1, name, nullptr) == nullptr);
            FUZZ_CHECK(current_->object.count == count);
        } else {
            FUZZ_CHECK(AddJsonMember(current_, "x", loose) == nullptr);
            char name[] = "x";
            FUZZ_CHECK(AddJsonMemberOwned(current_, 1, name, loose) == nullptr);
            FUZZ_CHECK(AddJsonItem(current_, nullptr) == nullptr);
            FUZZ_CHECK(current_->array.count == count);
        }
        JsonNode* item = NewJsonNull();
        FUZZ_CHECK(item != nullptr);
        FUZZ_CHECK(AddJsonItem(loose, item) == nullptr);  // not a container
        FUZZ_CHECK(loose->parent == nullptr && item->parent == nullptr);
        FreeJson(item);
        FUZZ_CHECK(NewJsonString(nullptr) == nullptr);
        FreeJson(loose);
        FreeJson(nullptr);
        WriteJson(nullptr, root_, kReportJsonOptions);  // no buffer: writes and walks nothing
        FUZZ_CHECK(MeasureJson(nullptr, kReportJsonOptions) == 1);
    }

    JsonNode* root_ = nullptr;
    JsonNode* current_ = nullptr;
    std::vector<Token> tokens_;
    std::size_t nodes_ = 0;
    std::size_t text_bytes_ = 0;
    std::uint64_t double_slack_ = 0;
    bool has_doubles_ = false;
    bool all_doubles_finite_ = true;
};

// ---------------------------------------------------------------------------------------------
// The expected text of a layout, rendered from the events.

bool IsEscaped(char c) {
    return c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == '"' || c == '\\';
}

struct Rendering {
    bool keep_text = false;  // Only the length is needed when the text would be too large.
    std::uint64_t length = 0;
    std::uint64_t breaks = 0;
    std::string text;

    void Emit(const char* bytes, std::size_t count) {
        length += count;
        if (keep_text) text.append(bytes, count);
    }
    void Emit(char c) { Emit(&c, 1); }
    void Repeat(char c, std::uint64_t count) {
        length += count;
        if (keep_text) text.append(static_cast<std::size_t>(count), c);
    }
    void Quoted(const std::string& bytes) {
        Emit('"');
        for (const char c : bytes) {
            if (IsEscaped(c)) {
                static const char kFrom[] = "\b\t\n\f\r\"\\";
                static const char kTo[] = "btnfr\"\\";
                Emit('\\');
                Emit(kTo[std::strchr(kFrom, c) - kFrom]);
            } else if (static_cast<unsigned char>(c) < 0x20) {
                char escape[7];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                Emit(escape, 6);
            } else {
                Emit(c);
            }
        }
        Emit('"');
    }
};

Rendering Render(const std::vector<Token>& tokens, JsonWriteOptions options, bool keep_text) {
    const bool indented = options.mode == kJsonIndented;
    const bool one_line = !indented && options.mode != kJsonCompact;
    const bool crlf = (options.flags & kJsonCrLf) != 0;
    const bool tabs = (options.flags & kJsonTabs) != 0;
    Rendering out;
    out.keep_text = keep_text;
    // After an opening bracket and before a closing one; `level` is that of the next line.
    auto bracket_gap = [&](std::uint64_t level) {
        if (indented) {
            out.Emit(crlf ? "\r\n" : "\n", crlf ? 2U : 1U);
            ++out.breaks;
            out.Repeat(tabs ? '\t' : ' ', level * options.indent);
        } else if (one_line && (options.flags & kJsonTightBrackets) == 0) {
            out.Emit(' ');
        }
    };
    auto comma_gap = [&](std::uint64_t level) {
        if (indented) {
            out.Emit(crlf ? "\r\n" : "\n", crlf ? 2U : 1U);
            ++out.breaks;
            out.Repeat(tabs ? '\t' : ' ', level * options.indent);
        } else if (one_line && (options.flags & kJsonNoCommaSpace) == 0) {
            out.Emit(' ');
        }
    };
    std::vector<char> closers;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        const bool after_open = i > 0 && IsBegin(tokens[i - 1].event);
        if (token.event == Event::kEnd) {
            if (!after_open) {
                bracket_gap(closers.size() - 1);
            }
            out.Emit(closers.back());
            closers.pop_back();
            continue;
        }
        const bool after_name = i > 0 && tokens[i - 1].event == Event::kName;
        if (!closers.empty() && !after_name) {
            if (after_open) {
                bracket_gap(closers.size());
            } else {
                out.Emit(',');
                comma_gap(closers.size());
            }
        }
        switch (token.event) {
            case Event::kBeginObject:
                out.Emit('{');
                closers.push_back('}');
                break;
            case Event::kBeginArray:
                out.Emit('[');
                closers.push_back(']');
                break;
            case Event::kName:
                out.Quoted(token.text);
                out.Emit(':');
                if ((indented || one_line) && (options.flags & kJsonNoColonSpace) == 0) {
                    out.Emit(' ');
                }
                break;
            case Event::kString:
                out.Quoted(token.text);
                break;
            case Event::kTrue:
                out.Emit("true", 4);
                break;
            case Event::kFalse:
                out.Emit("false", 5);
                break;
            case Event::kNull:
                out.Emit("null", 4);
                break;
            default:
                out.Emit(token.text.data(), token.text.size());
                break;
        }
    }
    FUZZ_CHECK(closers.empty());
    return out;
}

// ---------------------------------------------------------------------------------------------
// A strict reader of the writer's text, without recursion.
//
// It accepts JSON as RFC 8259 defines it, with two differences that follow the writer: inside
// strings no UTF-8 check is made (bytes 0x80-0xFF stand for themselves), and the only escapes
// accepted are those the writer produces: \b \t \n \f \r \" \\ and, for the other control
// bytes, \u00XX with lower-case hex. Control bytes below 0x20 are never accepted raw.

class JsonReader {
   public:
    JsonReader(const char* text, std::size_t length) : text_(text), length_(length) {}

    bool Read(std::vector<Token>* tokens) {
        enum class Want { kValue, kFirstMember, kMember, kFirstItem, kNext };
        std::vector<char> closers;
        Want want = Want::kValue;
        for (;;) {
            SkipSpace();
            if (want == Want::kNext) {
                if (closers.empty()) {
                    return at_ == length_;
                }
                if (at_ == length_) {
                    return false;
                }
                const char c = text_[at_++];
                if (c == ',') {
                    want = closers.back() == '}' ? Want::kMember : Want::kValue;
                } else if (c == closers.back()) {
                    closers.pop_back();
                    tokens->push_back({Event::kEnd, {}});
                } else {
                    return false;
                }
                continue;
            }
            if (at_ == length_) {
                return false;
            }
            if ((want == Want::kFirstMember && text_[at_] == '}') ||
                (want == Want::kFirstItem && text_[at_] == ']')) {
                ++at_;
                closers.pop_back();
                tokens->push_back({Event::kEnd, {}});
                want = Want::kNext;
                continue;
            }
            if (want == Want::kFirstMember || want == Want::kMember) {
                Token name{Event::kName, {}};
                if (!String(&name.text)) {
                    return false;
                }
                tokens->push_back(std::move(name));
                SkipSpace();
                if (at_ == length_ || text_[at_] != ':') {
                    return false;
                }
                ++at_;
                want = Want::kValue;
                continue;
            }
            const char c = text_[at_];
            want = Want::kNext;
            if (c == '{' || c == '[') {
                ++at_;
                closers.push_back(c == '{' ? '}' : ']');
                tokens->push_back({c == '{' ? Event::kBeginObject : Event::kBeginArray, {}});
                want = c == '{' ? Want::kFirstMember : Want::kFirstItem;
            } else if (c == '"') {
                Token value{Event::kString, {}};
                if (!String(&value.text)) {
                    return false;
                }
                tokens->push_back(std::move(value));
            } else if (c == '-' || IsDigit(c)) {
                const std::size_t start = at_;
                if (!Number()) {
                    return false;
                }
                tokens->push_back({Event::kNumber, std::string(text_ + start, at_ - start)});
            } else if (Word("true")) {
                tokens->push_back({Event::kTrue, {}});
            } else if (Word("false")) {
                tokens->push_back({Event::kFalse, {}});
            } else if (Word("null")) {
                tokens->push_back({Event::kNull, {}});
            } else {
                return false;
            }
        }
    }

   private:
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    void SkipSpace() {
        while (at_ < length_ && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' ||
                                 text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool Word(const char* word) {
        const std::size_t size = std::strlen(word);
        if (length_ - at_ < size || std::memcmp(text_ + at_, word, size) != 0) {
            return false;
        }
        at_ += size;
        return true;
    }

    bool Digits() {
        const std::size_t start = at_;
        while (at_ < length_ && IsDigit(text_[at_])) {
            ++at_;
        }
        return at_ > start;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool Number() {
        if (text_[at_] == '-') {
            ++at_;
        }
        if (at_ < length_ && text_[at_] == '0') {
            ++at_;
        } else if (!Digits()) {
            return false;
        }
        if (at_ < length_ && text_[at_] == '.') {
            ++at_;
            if (!Digits()) {
                return false;
            }
        }
        if (at_ < length_ && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < length_ && (text_[at_] == '+' || text_[at_] == '-')) {
                ++at_;
            }
            if (!Digits()) {
                return false;
            }
        }
        return true;
    }

    // "u00XX" after a backslash: a control byte without a letter escape, in lower-case hex.
    bool ControlEscape(char* control) {
        if (length_ - at_ < 5 || std::memcmp(text_ + at_, "u00", 3) != 0) {
            return false;
        }
        static const char kHex[] = "0123456789abcdef";
        const char* high = std::strchr(kHex, text_[at_ + 3]);
        const char* low = std::strchr(kHex, text_[at_ + 4]);
        if (high == nullptr || low == nullptr || *high == '\0' || *low == '\0' || high - kHex > 1) {
            return false;
        }
        *control = static_cast<char>((high - kHex) * 16 + (low - kHex));
        if (*control == '\0' || IsEscaped(*control)) {
            return false;
        }
        at_ += 5;
        return true;
    }

    bool String(std::string* bytes) {
        if (at_ == length_ || text_[at_] != '"') {
            return false;
        }
        ++at_;
        while (at_ < length_) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (c == '\\') {
                if (at_ == length_) {
                    return false;
                }
                if (text_[at_] == 'u') {
                    char control = 0;
                    if (!ControlEscape(&control)) {
                        return false;
                    }
                    bytes->push_back(control);
                    continue;
                }
                static const char kLetters[] = "btnfr\"\\";
                static const char kBytes[] = "\b\t\n\f\r\"\\";
                const char* letter = std::strchr(kLetters, text_[at_++]);
                if (letter == nullptr || *letter == '\0') {
                    return false;
                }
                bytes->push_back(kBytes[letter - kLetters]);
            } else if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            } else {
                bytes->push_back(c);
            }
        }
        return false;
    }

    const char* text_;
    std::size_t length_;
    std::size_t at_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Checks.

std::uint32_t ChildCount(const JsonNode* node) {
    if (node->type == kJsonObject) return node->object.count;
    return node->type == kJsonArray ? node->array.count : 0;
}

bool CursorsAtZero(const JsonNode* root) {
    std::vector<const JsonNode*> pending{root};
    while (!pending.empty()) {
        const JsonNode* node = pending.back();
        pending.pop_back();
        if (node->cursor != 0) return false;
        for (std::uint32_t i = 0; i < ChildCount(node); ++i) {
            pending.push_back(node->type == kJsonObject ? node->object.members[i].value
                                                        : node->array.items[i]);
        }
    }
    return true;
}

// Writes into a heap block of exactly `measure` bytes, so that AddressSanitizer sees overruns.
std::string WriteExactly(JsonNode* root, JsonWriteOptions options, std::uint32_t measure) {
    char* out = static_cast<char*>(std::malloc(measure));
    FUZZ_CHECK(out != nullptr);
    WriteJson(out, root, options);
    const void* end = std::memchr(out, '\0', measure);
    FUZZ_CHECK(end != nullptr);  // terminated inside the block
    std::string text(out, static_cast<std::size_t>(static_cast<const char*>(end) - out));
    std::free(out);
    return text;
}

void CheckLayout(const Builder& built, JsonWriteOptions options) {
    JsonNode* root = built.root();
    const bool indented = options.mode == kJsonIndented;
    const std::uint32_t measure = MeasureJson(root, options);
    FUZZ_CHECK(CursorsAtZero(root));

    const Rendering counted = Render(built.tokens(), options, false);
    const std::uint64_t expected_measure = counted.length + 1 + built.double_slack() +
                                           (indented ? counted.breaks * options.indent : 0);
    if (expected_measure > UINT32_MAX) {
        FUZZ_CHECK(measure == UINT32_MAX);  // too large to write: the measure saturates
        return;
    }
    FUZZ_CHECK(measure == expected_measure);
    if (measure > kMaxWrittenSize) {
        return;
    }

    const std::string text = WriteExactly(root, options, measure);
    FUZZ_CHECK(CursorsAtZero(root));
    const Rendering expected = Render(built.tokens(), options, true);
    if (text != expected.text) {
        std::size_t at = 0;
        while (at < text.size() && at < expected.text.size() && text[at] == expected.text[at]) {
            ++at;
        }
        std::fprintf(stderr, "json_fuzz: mode %" PRIu32 " text differs at byte %zu of %zu\n",
                     options.mode, at, text.size());
        FUZZ_CHECK(text == expected.text);
    }

    // The measure's documented slack, counted on the written text itself.
    std::uint64_t breaks = 0;
    for (const char c : text) {
        breaks += c == '\n' ? 1 : 0;
    }
    FUZZ_CHECK(measure >= text.size() + 1);
    FUZZ_CHECK(measure ==
               text.size() + 1 + built.double_slack() + (indented ? breaks * options.indent : 0));
    if (!indented && !built.has_doubles()) {
        FUZZ_CHECK(measure == text.size() + 1);
    }

    FUZZ_CHECK(WriteExactly(root, options, measure) == text);
    FUZZ_CHECK(CursorsAtZero(root));

    if (built.all_doubles_finite()) {
        std::vector<Token> read;
        FUZZ_CHECK(JsonReader(text.data(), text.size()).Read(&read));
        FUZZ_CHECK(read == built.tokens());
    }
}

}  // namespace
}  // namespace mirto

// The comma-locale mode is part of what this target covers: without such a locale (bootstrap
// generates de_DE.UTF-8) the run stops instead of quietly fuzzing less.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (mirto::CommaLocale() == nullptr) {
        std::fprintf(stderr,
                     "json_fuzz: no numeric locale with a decimal comma is installed "
                     "(scripts/bootstrap.sh generates de_DE.UTF-8)\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mirto;
    Program program(data, size);
    std::uint32_t one_line_mode = program.Byte();
    if (one_line_mode == kJsonIndented || one_line_mode == kJsonCompact) {
        one_line_mode = kJsonOneLine;
    } else if (one_line_mode >= 0x80) {
        one_line_mode |= 0xFFFFFF00U;  // far from the defined values
    }
    const std::uint32_t one_line_flags = program.Byte();
    const std::uint32_t indented_flags = program.Byte();
    const std::uint8_t shape = program.Byte();
    const std::uint32_t indent =
        (shape & 0x1F) <= 16 ? shape & 0x1FU : kLargeIndents[(shape & 0x1F) - 17];

    const bool comma_locale = (one_line_flags & 0x80) != 0;
    if (comma_locale) {
        std::setlocale(LC_NUMERIC, CommaLocale());
    }

    Builder built;
    built.Run(static_cast<std::uint8_t>(shape >> 5), program);

    // Compact ignores flags and indent: give it the others' to show that.
    CheckLayout(built, {kJsonCompact, one_line_flags | indented_flags, indent});
    CheckLayout(built, {one_line_mode, one_line_flags, indent});
    CheckLayout(built, {kJsonIndented, indented_flags, indent});

    if (comma_locale) {
        std::setlocale(LC_NUMERIC, "C");
    }
    return 0;
}
