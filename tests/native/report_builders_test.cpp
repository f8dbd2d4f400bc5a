// The seven reports, built natively under the sanitizers from a fixed context and records and
// compared with their full text as the collector documents it (written out here by hand, not
// produced by the library), plus the UTF-8 and escaping every text value goes through.
#include "reports/report_builders.h"

#include <gtest/gtest.h>
#include <string>

#include "reports/report_text.h"

namespace {

using namespace mirto;

ReportContext Started() {
    ReportContext context;
    context.index = L"game_analysis-A1";
    context.identify = L"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9";
    context.channel = L"store";
    context.facts.screen_width = 1920;
    context.facts.screen_height = 1080;
    context.facts.system_version = L"Windows 6.1";
    context.facts.game_version = L"1.2";
    context.facts.install_uuid = L"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3";
    context.facts.persist_uuid = L"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3";
    return context;
}

ReportContext WithUser() {
    ReportContext context = Started();
    context.user = L"u5";
    return context;
}

TEST(ReportBuilders, DeviceIdentify) {
    EXPECT_EQ(DeviceIdentifyJson(Started()),
              R"({"module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9","properties":{)"
              R"("identifyType":"mobile","width":1920,"height":1080,"ga_ver":"0.0.3",)"
              R"("device_name":"unknown","device":"Windows","network":"windows_-1",)"
              R"("provider":"unknown","channel":"store","system_version":"Windows 6.1",)"
              R"("ver":"1.2","install_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3",)"
              R"("persist_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3"}})");
}

TEST(ReportBuilders, UserIdentifyAndUserCount) {
    const ReportContext context = WithUser();
    EXPECT_EQ(UserIdentifyJson(context, SetUserRecord{L"u5", L"Ann"}),
              R"({"module":"DodeZarevuze","index":"game_analysis-A1","identify":"u5",)"
              R"("properties":{"identifyType":"user",)"
              R"("mobile_identify":"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9","user_name":"Ann",)"
              R"("width":1920,"height":1080,"ga_ver":"0.0.3","device_name":"unknown",)"
              R"("device":"Windows","network":"windows_-1","provider":"unknown",)"
              R"("channel":"store","system_version":"Windows 6.1","ver":"1.2",)"
              R"("install_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3",)"
              R"("persist_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3","user_type":1,)"
              R"("user_sex":2,"user_age":0}})");
    EXPECT_EQ(UserCountJson(context),
              R"({"module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9","properties":{)"
              R"("identifyType":"mobile","ga_ver":"0.0.3","device":"Windows",)"
              R"("install_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3",)"
              R"("persist_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3","user_count":1}})");
}

TEST(ReportBuilders, LevelAndServerEvents) {
    const ReportContext context = WithUser();
    EXPECT_EQ(LevelEventJson(context, SetLevelRecord{7}),
              R"({"name":"level","module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"u5","properties":{"identifyType":"user","level":7,)"
              R"("ga_ver":"0.0.3","device":"Windows"}})");
    EXPECT_EQ(ServerEventJson(context, SetServerRecord{L"s\"1"}),
              R"({"name":"server","module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"u5","properties":{"identifyType":"user","server":"s\"1",)"
              R"("ga_ver":"0.0.3","device":"Windows"}})");
}

TEST(ReportBuilders, DeviceAndUserChargeEvents) {
    const ReportContext context = WithUser();
    const OnChargeRecord charge{L"o-1", L"gem", L"CNY", L"card", 600, 60};
    EXPECT_EQ(DeviceChargeJson(context, charge),
              R"({"name":"charge","module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9","properties":{)"
              R"("identifyType":"mobile","ga_ver":"0.0.3","device":"Windows",)"
              R"("order_id":"o-1","product":"gem","currency_type":"CNY","payment":"card",)"
              R"("amount":600,"virtual_currency_amount":60,)"
              R"("install_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3",)"
              R"("persist_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3"}})");
    EXPECT_EQ(UserChargeJson(context, charge),
              R"({"name":"charge","module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"u5","properties":{"identifyType":"user","ga_ver":"0.0.3",)"
              R"("device":"Windows","order_id":"o-1","product":"gem","currency_type":"CNY",)"
              R"("payment":"card","amount":600,"virtual_currency_amount":60}})");
}

TEST(ReportBuilders, EmptyTextsStayAsEmptyStrings) {
    const ReportContext context = Started();
    const OnChargeRecord charge{L"", L"", L"", L"", 1, 0};
    EXPECT_EQ(DeviceChargeJson(context, charge),
              R"({"name":"charge","module":"DodeZarevuze","index":"game_analysis-A1",)"
              R"("identify":"k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9","properties":{)"
              R"("identifyType":"mobile","ga_ver":"0.0.3","device":"Windows",)"
              R"("order_id":"","product":"","currency_type":"","payment":"",)"
              R"("amount":1,"virtual_currency_amount":0,)"
              R"("install_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3",)"
              R"("persist_uuid":"p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3"}})");
}

TEST(ReportBuilders, TextValuesArriveAsEscapedUtf8) {
    ReportContext context = WithUser();
    context.user = L"\u00e9\u6f22\U0001F600\t\x01";
    EXPECT_EQ(
        LevelEventJson(context, SetLevelRecord{0}),
        "{\"name\":\"level\",\"module\":\"DodeZarevuze\",\"index\":\"game_analysis-A1\","
        "\"identify\":\"\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80\\t\\u0001\",\"properties\":{"
        "\"identifyType\":\"user\",\"level\":0,\"ga_ver\":\"0.0.3\",\"device\":\"Windows\"}}");
}

// Code units as UTF-16 holds them (pairs for characters past U+FFFF), however wide wchar_t.
std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring text;
    for (unsigned unit : units) text.push_back(static_cast<wchar_t>(unit));
    return text;
}

TEST(ReportText, PairsJoinAndUnpairedHalvesBecomeTheReplacementCharacter) {
    EXPECT_EQ(ReportText(Units({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ReportText(Units({0xDBFF, 0xDFFF})), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(ReportText(Units({0xD800})), "\xEF\xBF\xBD");
    EXPECT_EQ(ReportText(Units({0xDC00, 0xD800})), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(ReportText(Units({0xD83D, 'a', 0xDE00})),
              "\xEF\xBF\xBD"
              "a\xEF\xBF\xBD");
    EXPECT_EQ(ReportText(Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF})),
              "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(ReportText(L""), "");
}

}  // namespace
