// JSON document trees for reports: building, measuring, writing and freeing.
//
// Invariants and ownership:
// - A tree owns everything below its root: member arrays, member names (when the object's
//   owns_names is set), item arrays, child nodes and string text. FreeJson on the root
//   releases all of it. A node belongs to at most one container, and every member or item
//   points back to its container through `parent`; a root has no parent.
// - Every member and item holds a non-null value (adding a null value is refused).
// - `cursor` is 0 whenever no measure or write pass runs. Passes walk the tree through the
//   cursors and parent links instead of recursing, so depth is bounded by memory only, and
//   even two read-only passes over one tree must not run at the same time.
// - All memory comes from std::malloc/calloc/realloc and goes back through std::free, so that
//   running out of memory shows up as a null result instead of an exception.
// - Names and string text are byte strings. On output the quote and the backslash, and the
//   control bytes 0x01-0x1F, are escaped: backspace, tab, line feed, form feed and carriage
//   return by letter, the other control bytes as "\u00XX" (lower-case hex); 0x7F stays raw.

#ifndef MIRTO_JSON_JSON_H
#define MIRTO_JSON_JSON_H

#include <cstdint>
#include <memory>

namespace mirto {

enum JsonType : std::uint32_t {
    kJsonObject = 1,
    kJsonArray = 2,
    kJsonInteger = 3,
    kJsonDouble = 4,
    kJsonString = 5,
    kJsonBoolean = 6,
    kJsonNull = 7,
};

struct JsonNode;

struct JsonMember {
    char* name;  // NUL-terminated; owned by the object when its owns_names is set.
    std::uint32_t name_length;
    JsonNode* value;
};

struct JsonObjectPayload {
    std::uint32_t count;
    JsonMember* members;  // Room for count + spare_slots entries; null while it has none.
};

struct JsonArrayPayload {
    std::uint32_t count;
    JsonNode** items;
};

struct JsonStringPayload {
    std::uint32_t length;  // Bytes, without the terminator.
    char* text;            // length + 1 bytes, NUL-terminated.
};

struct JsonNode {
    JsonNode* parent;
    JsonType type;
    union {
        JsonObjectPayload object;
        JsonArrayPayload array;
        std::int64_t integer;
        double real;
        JsonStringPayload string;
        std::int32_t boolean;  // Any value other than 0 is true.
    };
    std::uint32_t owns_names;
    std::uint32_t spare_slots;  // Objects only: allocated member entries beyond count.
    std::uint32_t cursor;       // Containers only: children entered by the pass in progress.
};

struct JsonWriteOptions {
    std::uint32_t mode;
    std::uint32_t flags;
    std::uint32_t indent;  // Characters per nesting level; indented layout only.
};

// Layouts. Any mode other than indented and compact lays out as one line.
constexpr std::uint32_t kJsonIndented = 0;
constexpr std::uint32_t kJsonOneLine = 1;
constexpr std::uint32_t kJsonCompact = 2;

// Layout flags. Compact layout ignores all of them.
constexpr std::uint32_t kJsonCrLf = 2;           // Indented: line breaks are CR LF.
constexpr std::uint32_t kJsonTightBrackets = 4;  // One line: no spaces inside brackets.
constexpr std::uint32_t kJsonNoCommaSpace = 8;   // One line: no space after a comma.
constexpr std::uint32_t kJsonNoColonSpace = 16;  // Indented and one line: none after a colon.
constexpr std::uint32_t kJsonTabs = 32;          // Indented: indent with tabs, not spaces.

constexpr JsonWriteOptions kReportJsonOptions{kJsonCompact, kJsonTightBrackets | kJsonNoColonSpace,
                                              0};

// Creation. Each returns a new root, or null when memory runs out (nothing stays allocated).
JsonNode* NewJsonObject();
JsonNode* NewJsonArray();
JsonNode* NewJsonString(const char* text);  // Copies the bytes up to the first NUL.
JsonNode* NewJsonInteger(std::int64_t value);
JsonNode* NewJsonDouble(double value);
JsonNode* NewJsonBoolean(bool value);
JsonNode* NewJsonNull();

// Appends a member (duplicate names are kept, in order) and makes `value` a child of `object`.
// Returns `value`, or null with the object unchanged when `value` is null, `object` is not an
// object or memory runs out. `value` must be a root; on failure the caller still owns it.
JsonNode* AddJsonMember(JsonNode* object, const char* name, JsonNode* value);

// As AddJsonMember, but takes a heap name buffer (std::malloc, NUL-terminated, `name_length`
// bytes before the NUL). On success the object owns the buffer; on failure the caller does.
JsonNode* AddJsonMemberOwned(JsonNode* object, std::uint32_t name_length, char* name,
                             JsonNode* value);

// Appends `item` to `array` with the same contract as AddJsonMember.
JsonNode* AddJsonItem(JsonNode* array, JsonNode* item);

// Bytes WriteJson needs for `root`, terminator included; 1 for a null root. Exact for trees
// without doubles; each double and (indented layout) each line break may be over-counted.
std::uint32_t MeasureJson(JsonNode* root, JsonWriteOptions options);

// Writes the NUL-terminated text of `root` into `out`, which must hold MeasureJson bytes.
void WriteJson(char* out, JsonNode* root, JsonWriteOptions options);

// Releases `root` and everything it owns. Null is ignored.
void FreeJson(JsonNode* root);

// A tree held by one owner, freed with it.
struct JsonTreeDeleter {
    void operator()(JsonNode* root) const noexcept { FreeJson(root); }
};
using JsonTree = std::unique_ptr<JsonNode, JsonTreeDeleter>;

// AddJsonMember for an owned tree: on success the object owns it and `value` is left empty;
// on failure `value` still owns it.
inline JsonNode* AddJsonMember(JsonNode* object, const char* name, JsonTree&& value) {
    JsonNode* added = AddJsonMember(object, name, value.get());
    if (added != nullptr) static_cast<void>(value.release());
    return added;
}

}  // namespace mirto

#endif  // MIRTO_JSON_JSON_H
