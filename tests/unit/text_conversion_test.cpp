// Text conversions on the real code-page services, run once under the default Western code
// page (1252) and once under Shift-JIS (932), where the second byte of many characters is a
// backslash. Report text must come out as the same UTF-8 either way.
#include "win/text_conversion.h"

#include <windows.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>

#include "json/json.h"
#include "reports/envelope.h"
#include "reports/percent_encode.h"
#include "reports/report_text.h"

namespace {

using mirto::AnsiToWide;
using mirto::Utf8ToWide;
using mirto::WideToAnsi;
using mirto::WideToUtf8Bytes;

UINT ExpectedCodePage() {
    const char* expected = std::getenv("MIRTO_EXPECT_ACP");
    return expected == nullptr ? 1252u : static_cast<UINT>(std::strtoul(expected, nullptr, 10));
}

// The wire form of one report string value: written as JSON, then percent-encoded.
std::string EncodedJsonString(const std::wstring& value) {
    mirto::JsonTree object(mirto::NewJsonObject());
    mirto::AddText(object.get(), "k", mirto::ReportText(value));
    const std::string text = mirto::WriteReport(std::move(object));
    return mirto::PercentEncode(reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<std::int32_t>(text.size()));
}

TEST(CodePage, TheEnvironmentSelectsTheExpectedAnsiCodePage) {
    EXPECT_EQ(GetACP(), ExpectedCodePage());
}

TEST(Utf8, ConvertsBothWaysWithExactByteCounts) {
    EXPECT_EQ(WideToUtf8Bytes(L"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(WideToUtf8Bytes(L"a\u6f22\U0001F600"), "a\xE6\xBC\xA2\xF0\x9F\x98\x80");
    EXPECT_EQ(WideToUtf8Bytes(L""), "");
    EXPECT_EQ(Utf8ToWide("\xC3\xA9z", 3), L"\u00e9z");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80", 4), L"\U0001F600");
    EXPECT_EQ(Utf8ToWide("abc", 0), L"");
    EXPECT_EQ(Utf8ToWide("abc", -1), L"");
    EXPECT_EQ(Utf8ToWide(nullptr, 3), L"");
    // Only the given bytes are converted; what follows them is not read.
    EXPECT_EQ(Utf8ToWide("abc", 2), L"ab");
}

TEST(Utf8, MalformedInputIsReplacedNotDropped) {
    EXPECT_EQ(WideToUtf8Bytes(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
    const std::wstring stray = Utf8ToWide("a\x80z", 3);
    EXPECT_EQ(stray.size(), 3u);
    EXPECT_EQ(stray[1], static_cast<wchar_t>(0xFFFD));
}

TEST(Ansi, RoundTripKeepsWhatTheCodePageHolds) {
    EXPECT_EQ(WideToAnsi(L""), "");
    EXPECT_EQ(AnsiToWide(""), L"");
    EXPECT_EQ(WideToAnsi(L"Mirto: plain\r\n"), "Mirto: plain\r\n");
    if (GetACP() == 1252) {
        EXPECT_EQ(WideToAnsi(L"\u00e9"), "\xE9");
        EXPECT_EQ(AnsiToWide("\xE9"), L"\u00e9");
        EXPECT_EQ(WideToAnsi(L"\u6f22"), "?");  // not in the code page
    } else if (GetACP() == 932) {
        // U+8868 is 0x95 0x5C in Shift-JIS: a backslash as its second byte.
        EXPECT_EQ(WideToAnsi(L"\u8868"), "\x95\x5C");
        EXPECT_EQ(AnsiToWide("\x95\x5C"), L"\u8868");
    }
}

TEST(ReportText, EveryCharacterArrivesAsItsUtf8WhateverTheCodePage) {
    // Characters every code page used here represents are unchanged on the wire.
    EXPECT_EQ(EncodedJsonString(L"u9"), "%7b%22k%22%3a%22u9%22%7d");
    EXPECT_EQ(EncodedJsonString(L"\u00e9"), "%7b%22k%22%3a%22%c3%a9%22%7d");
    // A Shift-JIS character with a backslash byte is neither doubled nor broken, and a
    // character outside the code page is not replaced by "?".
    EXPECT_EQ(EncodedJsonString(L"\u8868"), "%7b%22k%22%3a%22%e8%a1%a8%22%7d");
    EXPECT_EQ(EncodedJsonString(L"\u4e2d\u6587"), "%7b%22k%22%3a%22%e4%b8%ad%e6%96%87%22%7d");
    EXPECT_EQ(EncodedJsonString(L"\U0001F600"), "%7b%22k%22%3a%22%f0%9f%98%80%22%7d");
    // Real quotes and backslashes are still escaped.
    EXPECT_EQ(EncodedJsonString(L"a\"b\\"), "%7b%22k%22%3a%22a%5c%22b%5c%5c%22%7d");
}

// The reports' own UTF-8 conversion is portable; the platform's conversion is the reference it
// must match, unpaired surrogates included.
TEST(ReportText, MatchesThePlatformsUtf8ForEveryKindOfCodeUnit) {
    const std::wstring cases[] = {
        L"",
        L"plain ascii \x01\x7f",
        L"\u00e9\u07ff\u0800\uffff\ufffd",
        L"\U0001F600\U0010FFFF\U00010000",
        std::wstring(1, static_cast<wchar_t>(0xD800)),
        std::wstring(1, static_cast<wchar_t>(0xDFFF)) + L"x",
        std::wstring{static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800)},
        std::wstring{L'a', static_cast<wchar_t>(0xDBFF), static_cast<wchar_t>(0xDBFF),
                     static_cast<wchar_t>(0xDC00)},
        std::wstring{static_cast<wchar_t>(0xD83D), L'z', static_cast<wchar_t>(0xDE00)},
    };
    for (const std::wstring& text : cases) {
        SCOPED_TRACE(WideToUtf8Bytes(text));
        EXPECT_EQ(mirto::ReportText(text), WideToUtf8Bytes(text));
    }
    for (wchar_t unit = 1; unit != 0; ++unit) {
        const std::wstring one(1, unit);
        ASSERT_EQ(mirto::ReportText(one), WideToUtf8Bytes(one)) << "unit " << unsigned(unit);
    }
}

}  // namespace
