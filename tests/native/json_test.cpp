// Tests of building, measuring, writing and freeing JSON trees. Leaks and buffer overruns are
// left to the sanitizers: every text is written into a buffer of exactly the measured size.

#include "json/json.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace mirto {
namespace {

struct Written {
    std::string text;
    std::uint32_t measure;
};

Written Write(JsonNode* root, JsonWriteOptions options = kReportJsonOptions) {
    const std::uint32_t measure = MeasureJson(root, options);
    std::vector<char> buffer(measure);
    WriteJson(buffer.data(), root, options);
    return {std::string(buffer.data()), measure};
}

std::uint32_t Count(const JsonNode* node) {
    if (node->type == kJsonObject) return node->object.count;
    return node->type == kJsonArray ? node->array.count : 0;
}

JsonNode* Child(const JsonNode* node, std::uint32_t i) {
    return node->type == kJsonObject ? node->object.members[i].value : node->array.items[i];
}

// Keeps its own stack so that it also serves the very deep tree.
bool AllCursorsZero(const JsonNode* root) {
    std::vector<const JsonNode*> pending{root};
    while (!pending.empty()) {
        const JsonNode* node = pending.back();
        pending.pop_back();
        if (node->cursor != 0) return false;
        for (std::uint32_t i = 0; i < Count(node); ++i) pending.push_back(Child(node, i));
    }
    return true;
}

TEST(JsonWriteTest, ReportEnvelopeBuiltMemberByMember) {
    JsonNode* properties = NewJsonObject();
    AddJsonMember(properties, "identifyType", NewJsonString("user"));
    AddJsonMember(properties, "level", NewJsonInteger(7));
    AddJsonMember(properties, "ga_ver", NewJsonString("0.0.3"));
    AddJsonMember(properties, "device", NewJsonString("Windows"));
    JsonNode* envelope = NewJsonObject();
    AddJsonMember(envelope, "name", NewJsonString("level"));
    AddJsonMember(envelope, "module", NewJsonString("DodeZarevuze"));
    AddJsonMember(envelope, "index", NewJsonString("game_analysis-A1"));
    AddJsonMember(envelope, "identify", NewJsonString("u9"));
    AddJsonMember(envelope, "properties", properties);
    const std::string expected =
        R"({"name":"level","module":"DodeZarevuze","index":"game_analysis-A1","identify":"u9",)"
        R"("properties":{"identifyType":"user","level":7,"ga_ver":"0.0.3","device":"Windows"}})";
    for (int pass = 0; pass < 2; ++pass) {
        const Written written = Write(envelope);
        EXPECT_EQ(written.text, expected) << "pass " << pass;
        EXPECT_EQ(written.measure, expected.size() + 1) << "pass " << pass;
        EXPECT_TRUE(AllCursorsZero(envelope)) << "pass " << pass;
    }
    FreeJson(envelope);
}

TEST(JsonWriteTest, EmptyContainersDuplicateNamesAndNullRoot) {
    JsonNode* root = NewJsonObject();
    EXPECT_EQ(Write(root).text, "{}");
    AddJsonMember(root, "a", NewJsonObject());
    AddJsonMember(root, "a", NewJsonArray());
    AddJsonMember(root, "a", NewJsonString("v\0ignored"));
    EXPECT_EQ(Write(root).text, R"({"a":{},"a":[],"a":"v"})");
    EXPECT_EQ(Write(root).measure, 24U);
    FreeJson(root);

    EXPECT_EQ(MeasureJson(nullptr, kReportJsonOptions), 1U);
    char out[2] = {'x', 'x'};
    WriteJson(out, nullptr, kReportJsonOptions);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    FreeJson(nullptr);
}

TEST(JsonWriteTest, EscapesQuoteBackslashAndEveryControlByteInNamesAndStrings) {
    std::string high;
    for (int byte = 0x80; byte <= 0xFF; ++byte) high += static_cast<char>(byte);
    JsonNode* root = NewJsonObject();
    AddJsonMember(root, "q\"b\\", NewJsonString("\"\\\t\r\n\b\f"));
    AddJsonMember(root, "ctl\x1b", NewJsonString("\x01\x0b\x1f\x7f/"));
    AddJsonMember(root, high.c_str(), NewJsonString(high.c_str()));
    const Written written = Write(root);
    // Control bytes without a letter escape become \u00XX (JSON allows none of them raw);
    // DEL and the bytes above it are not control characters to JSON and stay as they are.
    EXPECT_EQ(written.text, R"({"q\"b\\":"\"\\\t\r\n\b\f","ctl\u001b":"\u0001\u000b\u001f)"
                            "\x7f/\",\"" +
                                high + "\":\"" + high + "\"}");
    EXPECT_EQ(written.measure, written.text.size() + 1);
    FreeJson(root);
}

// Every byte from 0x01 to 0x1F in one string, against the text Python's json module writes
// for the same characters (its escapes are lower-case too).
TEST(JsonWriteTest, ControlBytesMatchAStandardWriter) {
    std::string controls;
    for (int byte = 0x01; byte <= 0x1F; ++byte) controls += static_cast<char>(byte);
    JsonNode* root = NewJsonString(controls.c_str());
    const Written written = Write(root);
    EXPECT_EQ(written.text,
              R"("\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f\u0010)"
              R"(\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d)"
              R"(\u001e\u001f")");
    EXPECT_EQ(written.measure, written.text.size() + 1);
    FreeJson(root);
}

TEST(JsonWriteTest, NumbersAndLiterals) {
    JsonNode* array = NewJsonArray();
    for (std::int64_t value : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{10},
                               std::int64_t{INT32_MIN}, INT64_MIN, INT64_MAX}) {
        AddJsonItem(array, NewJsonInteger(value));
    }
    AddJsonItem(array, NewJsonBoolean(false));
    const Written written = Write(array);
    EXPECT_EQ(written.text, "[0,-1,10,-2147483648,-9223372036854775808,9223372036854775807,false]");
    EXPECT_EQ(written.measure, written.text.size() + 1);
    FreeJson(array);

    JsonNode* doubles = NewJsonArray();
    for (double value : {2.0, 0.1, 1e20}) AddJsonItem(doubles, NewJsonDouble(value));
    const Written text = Write(doubles);
    EXPECT_EQ(text.text, "[2.0,0.1,1e+20]");
    EXPECT_EQ(text.measure, 20U);  // Each double counts its "%g" text plus 2: 3 + 5 + 7.
    FreeJson(doubles);
}

TEST(JsonWriteTest, DoublesUnderCommaDecimalLocale) {
    const char* found = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE", "fr_FR.UTF-8", "fr_FR", "German"}) {
        char probe[8] = {};
        if (std::setlocale(LC_NUMERIC, name) == nullptr) continue;
        std::snprintf(probe, sizeof probe, "%g", 0.5);
        if (std::strcmp(probe, "0,5") == 0) found = name;
        if (found != nullptr) break;
    }
    if (found == nullptr) {
        std::setlocale(LC_NUMERIC, "C");
        FAIL() << "no numeric locale with a decimal comma is installed "
                  "(scripts/bootstrap.sh generates de_DE.UTF-8)";
    }
    JsonNode* array = NewJsonArray();
    AddJsonItem(array, NewJsonDouble(0.1));
    AddJsonItem(array, NewJsonDouble(-2.0));
    const Written written = Write(array);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(written.text, "[0.1,-2.0]") << "locale " << found;
    FreeJson(array);
}

TEST(JsonWriteTest, LayoutsAndTheirFlags) {
    JsonNode* root = NewJsonObject();
    JsonNode* list = AddJsonMember(root, "k", NewJsonArray());
    AddJsonItem(list, NewJsonInteger(1));
    AddJsonItem(list, NewJsonNull());
    AddJsonMember(AddJsonMember(root, "o", NewJsonObject()), "t", NewJsonBoolean(true));
    AddJsonMember(root, "e", NewJsonObject());
    const struct {
        JsonWriteOptions options;
        const char* text;
    } kCases[] = {
        {{kJsonCompact, 0, 4}, R"({"k":[1,null],"o":{"t":true},"e":{}})"},
        {{kJsonOneLine, 0, 4}, R"({ "k": [ 1, null ], "o": { "t": true }, "e": {} })"},
        {{kJsonOneLine, kJsonTightBrackets, 0}, R"({"k": [1, null], "o": {"t": true}, "e": {}})"},
        {{kJsonOneLine, kJsonNoCommaSpace | kJsonNoColonSpace, 0},
         R"({ "k":[ 1,null ],"o":{ "t":true },"e":{} })"},
        {{7, kJsonTightBrackets | kJsonNoCommaSpace, 0},
         R"({"k": [1,null],"o": {"t": true},"e": {}})"},
        {{kJsonIndented, kJsonTightBrackets | kJsonNoCommaSpace, 2},
         "{\n  \"k\": [\n    1,\n    null\n  ],\n  \"o\": {\n    \"t\": true\n  },\n"
         "  \"e\": {}\n}"},
        {{kJsonIndented, kJsonCrLf | kJsonTabs | kJsonNoColonSpace, 1},
         "{\r\n\t\"k\":[\r\n\t\t1,\r\n\t\tnull\r\n\t],\r\n\t\"o\":{\r\n\t\t\"t\":true\r\n\t},"
         "\r\n\t\"e\":{}\r\n}"},
    };
    for (const auto& c : kCases) {
        const Written written = Write(root, c.options);
        EXPECT_EQ(written.text, c.text);
        // Indented text has nine line breaks, each over-counted by the indent.
        const std::uint32_t slack = c.options.mode == kJsonIndented ? 9 * c.options.indent : 0;
        EXPECT_EQ(written.measure, written.text.size() + 1 + slack) << c.text;
    }
    FreeJson(root);
}

std::string RandomBytes(std::mt19937_64& rng) {
    static const char kTricky[] = "\b\t\n\f\r\"\\/ \x01\x7f\x80\xff";
    std::string bytes(rng() % 8, ' ');
    for (char& c : bytes) {
        c = rng() % 2 == 0 ? kTricky[rng() % (sizeof kTricky - 1)]
                           : static_cast<char>(1 + rng() % 255);
    }
    return bytes;
}

JsonNode* RandomTree(std::mt19937_64& rng, int depth) {
    const std::uint64_t kind = depth > 4 ? 2 + rng() % 4 : rng() % 6;
    if (kind == 2) return NewJsonInteger(static_cast<std::int64_t>(rng() >> (rng() % 64)));
    if (kind == 3) return NewJsonString(RandomBytes(rng).c_str());
    if (kind == 4) return NewJsonBoolean(rng() % 2 == 0);
    if (kind == 5) return NewJsonNull();
    JsonNode* container = kind == 0 ? NewJsonObject() : NewJsonArray();
    for (std::uint64_t n = rng() % 5; n > 0; --n) {
        JsonNode* child = RandomTree(rng, depth + 1);
        if (kind == 0) AddJsonMember(container, RandomBytes(rng).c_str(), child);
        if (kind == 1) AddJsonItem(container, child);
    }
    return container;
}

TEST(JsonWriteTest, RandomTreesMeasureExactlyWhatIsWritten) {
    std::mt19937_64 rng(20240607);
    for (int round = 0; round < 300; ++round) {
        JsonNode* root = RandomTree(rng, 0);
        const Written compact = Write(root);
        ASSERT_EQ(compact.measure, compact.text.size() + 1) << "round " << round;

        const auto flags = static_cast<std::uint32_t>(rng() % 64);
        const auto indent = static_cast<std::uint32_t>(rng() % 4);
        const Written one_line = Write(root, {kJsonOneLine, flags, indent});
        ASSERT_EQ(one_line.measure, one_line.text.size() + 1) << "round " << round;
        const Written indented = Write(root, {kJsonIndented, flags, indent});
        const auto breaks = static_cast<std::uint32_t>(
            std::count(indented.text.begin(), indented.text.end(), '\n'));
        ASSERT_EQ(indented.measure, indented.text.size() + 1 + breaks * indent) << round;
        ASSERT_TRUE(AllCursorsZero(root));
        FreeJson(root);
    }
}

TEST(JsonWriteTest, DeepNestingNeedsNoStack) {
    constexpr int kDepth = 100000;
    JsonNode* root = NewJsonObject();
    JsonNode* innermost = root;
    std::string opening, closing;  // Closing brackets innermost first, reversed below.
    for (int level = 0; level < kDepth; ++level) {
        JsonNode* child = level % 2 == 0 ? NewJsonArray() : NewJsonObject();
        const bool in_object = innermost->type == kJsonObject;
        opening += in_object ? "{\"a\":" : "[";
        closing += in_object ? '}' : ']';
        ASSERT_EQ(in_object ? AddJsonMember(innermost, "a", child) : AddJsonItem(innermost, child),
                  child);
        innermost = child;
    }
    std::reverse(closing.begin(), closing.end());
    const std::string expected = opening + (kDepth % 2 == 0 ? "{}" : "[]") + closing;
    const Written written = Write(root);
    EXPECT_EQ(written.measure, expected.size() + 1);
    EXPECT_TRUE(written.text == expected);  // Too long to be worth printing on failure.
    EXPECT_TRUE(AllCursorsZero(root));
    FreeJson(root);
}

TEST(JsonBuildTest, AddingFollowsOwnershipRules) {
    JsonNode* object = NewJsonObject();
    JsonNode* array = NewJsonArray();
    JsonNode* loose = NewJsonInteger(1);
    EXPECT_EQ(AddJsonMember(object, "x", nullptr), nullptr);
    EXPECT_EQ(AddJsonMember(array, "x", loose), nullptr);  // Not an object.
    EXPECT_EQ(loose->parent, nullptr);
    EXPECT_EQ(object->object.count, 0U);

    char* name = static_cast<char*>(std::malloc(3));
    std::memcpy(name, "ab", 3);
    EXPECT_EQ(AddJsonMemberOwned(object, 2, name, loose), loose);
    EXPECT_EQ(loose->parent, object);
    // A node that a container already holds cannot be added again (it would be freed twice).
    EXPECT_EQ(AddJsonMember(object, "again", loose), nullptr);
    EXPECT_EQ(AddJsonItem(array, loose), nullptr);
    EXPECT_EQ(Write(object).text, R"({"ab":1})");
    FreeJson(object);
    FreeJson(array);
}

}  // namespace
}  // namespace mirto
