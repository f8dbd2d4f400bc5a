// The UTF-8 entry points of the shipped DLL: they add no rules of their own, so what matters
// is the conversion in front of the rules: the 128 limit applies to UTF-16 code units, an
// empty or null required text is refused by the function behind, a null optional text is
// empty. The worker is held in its first delivery (unreachable host), so accepted calls stay
// queued and only the caller's own refusal lines are seen. Each test runs in a process of its own
// (RanInFreshProcess) and starts the worker itself when it needs one.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "mirto/mirto.h"
#include "support/debug_capture.h"
#include "support/process.h"

namespace {

using Lines = std::vector<std::string>;

mirto_test::DebugCapture capture;

template <typename Call>
Lines LinesOf(Call call) {
    return capture.OwnLinesOf(call);
}

Lines ParamsError(const char* function) {
    return {std::string("Mirto: ") + function + " failed, params error\r\n"};
}

std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// The worker, held in its first delivery; returns its start line.
std::string StartHeldWorker() {
    UnitySetHost("unreachable.invalid");
    capture.Clear();
    UnityOnStart("U1", nullptr, "");
    if (!capture.WaitForOtherLines(1, 60000)) return "the start handler wrote nothing";
    return capture.OtherLines().front();
}

const std::string kTwoByte = "\xC3\xA9";           // U+00E9: one code unit
const std::string kThreeByte = "\xE6\xBC\xA2";     // U+6F22: one code unit
const std::string kFourByte = "\xF0\x9F\x98\x80";  // U+1F600: two code units

TEST(Unity, HostLimitCountsConvertedCodeUnitsNotBytes) {
    if (mirto_test::RanInFreshProcess()) return;
    EXPECT_EQ(LinesOf([] { UnitySetHost(Repeat(kTwoByte, 128).c_str()); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnitySetHost(Repeat(kTwoByte, 129).c_str()); }), ParamsError("SetHost"));
    EXPECT_EQ(LinesOf([] { UnitySetHost(Repeat(kThreeByte, 128).c_str()); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnitySetHost(Repeat(kFourByte, 64).c_str()); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnitySetHost((Repeat(kFourByte, 64) + "a").c_str()); }),
              ParamsError("SetHost"));
    // A text far beyond the limit is refused like any other.
    EXPECT_EQ(LinesOf([] { UnitySetHost(std::string(1 << 20, 'h').c_str()); }),
              ParamsError("SetHost"));
    EXPECT_EQ(LinesOf([] { UnitySetHost(Repeat(kThreeByte, 129).c_str()); }),
              ParamsError("SetHost"));
    EXPECT_EQ(LinesOf([] { UnitySetHost(nullptr); }), ParamsError("SetHost"));
    EXPECT_EQ(LinesOf([] { UnitySetHost(""); }), ParamsError("SetHost"));
    EXPECT_EQ(LinesOf([] { UnitySetHost("unreachable.invalid"); }), Lines{});
}

TEST(Unity, StartWithEmptyIdStartsTheWorkerAndIsRefused) {
    if (mirto_test::RanInFreshProcess()) return;
    UnitySetHost("unreachable.invalid");
    EXPECT_EQ(LinesOf([] { UnityOnStart(nullptr, "c", "v"); }), ParamsError("OnStart"));
    EXPECT_EQ(LinesOf([] { UnityOnStart("", "c", "v"); }), ParamsError("OnStart"));
    // Optional texts may be null or empty.
    EXPECT_EQ(LinesOf([] { UnityOnStart("U1", nullptr, ""); }), Lines{});
    ASSERT_TRUE(capture.WaitForOtherLines(1, 60000));
    EXPECT_EQ(capture.OtherLines().front(),
              "Mirto: init succeed (0.0.3), game version: , appid: U1, channel: \r\n");
}

TEST(Unity, UserServerLevel) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    EXPECT_EQ(LinesOf([] { UnitySetUser(nullptr, "n"); }), ParamsError("SetUser"));
    EXPECT_EQ(LinesOf([] { UnitySetUser("", "n"); }), ParamsError("SetUser"));
    EXPECT_EQ(LinesOf([] { UnitySetUser("u", nullptr); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnitySetUser(Repeat(kFourByte, 64).c_str(), ""); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnitySetUser("u", Repeat(kTwoByte, 129).c_str()); }),
              ParamsError("SetUser"));

    EXPECT_EQ(LinesOf([] { UnitySetServer(nullptr); }), ParamsError("SetServer"));
    EXPECT_EQ(LinesOf([] { UnitySetServer(""); }), ParamsError("SetServer"));
    EXPECT_EQ(LinesOf([] { UnitySetServer(Repeat(kTwoByte, 128).c_str()); }), Lines{});

    EXPECT_EQ(LinesOf([] { UnitySetLevel(-1); }), ParamsError("SetLevel"));
    EXPECT_EQ(LinesOf([] { UnitySetLevel(0); }), Lines{});
}

TEST(Unity, ChargeTakesNullAndEmptyTextsAlike) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    EXPECT_EQ(LinesOf([] { UnityOnCharge(nullptr, nullptr, 1, nullptr, 0, nullptr); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnityOnCharge("", "", 1, "", 0, ""); }), Lines{});
    EXPECT_EQ(LinesOf([] { UnityOnCharge("", "", 0, "", 0, ""); }), ParamsError("OnCharge"));
    EXPECT_EQ(LinesOf([] { UnityOnCharge("", "", 1, "", -1, ""); }), ParamsError("OnCharge"));
    const std::string too_long = Repeat(kThreeByte, 129);
    EXPECT_EQ(LinesOf([&] { UnityOnCharge("", "", 1, "", 0, too_long.c_str()); }),
              ParamsError("OnCharge"));
}

TEST(Unity, MalformedUtf8IsConvertedLenientlyNotRejected) {
    if (mirto_test::RanInFreshProcess()) return;
    StartHeldWorker();
    // Stray continuation bytes and a truncated sequence still make a non-empty text.
    EXPECT_EQ(LinesOf([] { UnitySetServer("\x80\xBF\xE6\xBC"); }), Lines{});
    // Encoded surrogates are no characters, but still text to pass on.
    EXPECT_EQ(LinesOf([] { UnitySetUser("\xED\xA0\x80", "x"); }), Lines{});
}

}  // namespace
