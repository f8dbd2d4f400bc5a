// From report values to the body the collector receives, for each of the seven reports: the
// library's own builders (src/reports: tree member by member, MeasureJson, WriteJson into a
// string of exactly that size) and PercentEncode, as the handlers run them, next to the same
// document made with nlohmann::ordered_json (build, dump) and then the same PercentEncode.
//
// Both sides start from the same report context and records (UTF-16 text, as the worker holds
// it) and convert each text with the library's ReportText, inserting the members in the
// builders' order. Before anything is timed, main checks that the two sides produce
// byte-identical bodies for every report, so the comparison is of equal work.
#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "../sample_session.h"
#include "reports/percent_encode.h"
#include "reports/report_builders.h"
#include "reports/report_text.h"
#include "transport/protocol.h"

namespace {

using mirto::ReportText;
using nlohmann::ordered_json;

// A started session (sample_session.h); its user's name is not ASCII (percent encoding
// triples every byte of it).
const mirto::ReportContext kContext = mirto_bench::SampleContext(L"game_analysis-ag7xq2m4c9");
const mirto::SetUserRecord kUser{L"steam_76561198042231856", L"\u5c0f\u660e_Ryo"};
const mirto::SetLevelRecord kLevel{37};
const mirto::SetServerRecord kServer{L"asia-east-3"};
const mirto::OnChargeRecord kCharge{
    L"ORD-20240611-000184223", L"gem_pack_large", L"USD", L"steam_wallet", 4999, 6500};

std::string Encoded(const std::string& text) {
    return mirto::PercentEncode(reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<std::int32_t>(text.size()));
}

// ---- the library's side: the builders the handlers call -----------------------------------

std::string MirtoDeviceIdentify() { return Encoded(mirto::DeviceIdentifyJson(kContext)); }
std::string MirtoUserIdentify() { return Encoded(mirto::UserIdentifyJson(kContext, kUser)); }
std::string MirtoUserCountIdentify() { return Encoded(mirto::UserCountJson(kContext)); }
std::string MirtoLevel() { return Encoded(mirto::LevelEventJson(kContext, kLevel)); }
std::string MirtoServer() { return Encoded(mirto::ServerEventJson(kContext, kServer)); }
std::string MirtoDeviceCharge() { return Encoded(mirto::DeviceChargeJson(kContext, kCharge)); }
std::string MirtoUserCharge() { return Encoded(mirto::UserChargeJson(kContext, kCharge)); }

// ---- the same documents with nlohmann::ordered_json (insertion order kept) ----------------

ordered_json NlohmannEnvelope(const char* name, const std::wstring& identify,
                              ordered_json properties) {
    ordered_json envelope;
    if (name != nullptr) envelope["name"] = name;
    envelope["module"] = mirto::kModuleName;
    envelope["index"] = ReportText(kContext.index);
    envelope["identify"] = ReportText(identify);
    envelope["properties"] = std::move(properties);
    return envelope;
}

std::string NlohmannBody(const ordered_json& envelope) { return Encoded(envelope.dump()); }

void AddDeviceMembers(ordered_json& properties, const mirto::ReportContext& c) {
    properties["width"] = c.facts.screen_width;
    properties["height"] = c.facts.screen_height;
    properties["ga_ver"] = mirto::kReportVersion;
    properties["device_name"] = "unknown";
    properties["device"] = "Windows";
    properties["network"] = "windows_-1";
    properties["provider"] = "unknown";
    properties["channel"] = ReportText(c.channel);
    properties["system_version"] = ReportText(c.facts.system_version);
    properties["ver"] = ReportText(c.facts.game_version);
    properties["install_uuid"] = ReportText(c.facts.install_uuid);
    properties["persist_uuid"] = ReportText(c.facts.persist_uuid);
}

std::string NlohmannDeviceIdentify() {
    const mirto::ReportContext& v = kContext;
    ordered_json properties;
    properties["identifyType"] = "mobile";
    AddDeviceMembers(properties, v);
    return NlohmannBody(NlohmannEnvelope(nullptr, v.identify, std::move(properties)));
}

std::string NlohmannUserIdentify() {
    const mirto::ReportContext& v = kContext;
    ordered_json properties;
    properties["identifyType"] = "user";
    properties["mobile_identify"] = ReportText(v.identify);
    properties["user_name"] = ReportText(kUser.user_name);
    AddDeviceMembers(properties, v);
    properties["user_type"] = 1;
    properties["user_sex"] = 2;
    properties["user_age"] = 0;
    return NlohmannBody(NlohmannEnvelope(nullptr, v.user, std::move(properties)));
}

std::string NlohmannUserCountIdentify() {
    const mirto::ReportContext& v = kContext;
    ordered_json properties;
    properties["identifyType"] = "mobile";
    properties["ga_ver"] = mirto::kReportVersion;
    properties["device"] = "Windows";
    properties["install_uuid"] = ReportText(v.facts.install_uuid);
    properties["persist_uuid"] = ReportText(v.facts.persist_uuid);
    properties["user_count"] = 1;
    return NlohmannBody(NlohmannEnvelope(nullptr, v.identify, std::move(properties)));
}

// "identifyType" first, the event's own member, then the version and the device.
std::string NlohmannPlayerEvent(const char* name, const ordered_json& own_value) {
    ordered_json properties;
    properties["identifyType"] = "user";
    properties[name] = own_value;
    properties["ga_ver"] = mirto::kReportVersion;
    properties["device"] = "Windows";
    return NlohmannBody(NlohmannEnvelope(name, kContext.user, std::move(properties)));
}

std::string NlohmannLevel() { return NlohmannPlayerEvent("level", kLevel.level); }

std::string NlohmannServer() { return NlohmannPlayerEvent("server", ReportText(kServer.server)); }

ordered_json NlohmannChargeProperties(const char* identify_type) {
    ordered_json properties;
    properties["identifyType"] = identify_type;
    properties["ga_ver"] = mirto::kReportVersion;
    properties["device"] = "Windows";
    properties["order_id"] = ReportText(kCharge.order_id);
    properties["product"] = ReportText(kCharge.product);
    properties["currency_type"] = ReportText(kCharge.currency_type);
    properties["payment"] = ReportText(kCharge.payment);
    properties["amount"] = kCharge.amount;
    properties["virtual_currency_amount"] = kCharge.virtual_currency_amount;
    return properties;
}

std::string NlohmannDeviceCharge() {
    ordered_json properties = NlohmannChargeProperties("mobile");
    properties["install_uuid"] = ReportText(kContext.facts.install_uuid);
    properties["persist_uuid"] = ReportText(kContext.facts.persist_uuid);
    return NlohmannBody(NlohmannEnvelope("charge", kContext.identify, std::move(properties)));
}

std::string NlohmannUserCharge() {
    return NlohmannBody(
        NlohmannEnvelope("charge", kContext.user, NlohmannChargeProperties("user")));
}

// ---- registration -------------------------------------------------------------------------

struct Report {
    const char* name;
    std::string (*mirto)();
    std::string (*nlohmann)();
};

const Report kReports[] = {
    {"device_identify", MirtoDeviceIdentify, NlohmannDeviceIdentify},
    {"user_identify", MirtoUserIdentify, NlohmannUserIdentify},
    {"user_count_identify", MirtoUserCountIdentify, NlohmannUserCountIdentify},
    {"level", MirtoLevel, NlohmannLevel},
    {"server", MirtoServer, NlohmannServer},
    {"device_charge", MirtoDeviceCharge, NlohmannDeviceCharge},
    {"user_charge", MirtoUserCharge, NlohmannUserCharge},
};

void RunBody(benchmark::State& state, std::string (*make_body)()) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string body = make_body();
        bytes = body.size();
        benchmark::DoNotOptimize(body.data());
        benchmark::ClobberMemory();
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Equal work or no comparison: both sides must give the same body for every report.
bool BodiesAgree() {
    bool agree = true;
    for (const Report& report : kReports) {
        const std::string ours = report.mirto();
        const std::string theirs = report.nlohmann();
        if (ours.empty() || ours != theirs) {
            std::fprintf(stderr,
                         "pipeline_bench: %s bodies differ\n  mirto:    %s\n  nlohmann: %s\n",
                         report.name, ours.c_str(), theirs.c_str());
            agree = false;
        }
    }
    return agree;
}

}  // namespace

int main(int argc, char** argv) {
    if (!BodiesAgree()) return 1;
    for (const Report& report : kReports) {
        const std::string name = std::string("pipeline/") + report.name;
        benchmark::RegisterBenchmark((name + "/mirto").c_str(), RunBody, report.mirto);
        benchmark::RegisterBenchmark((name + "/nlohmann").c_str(), RunBody, report.nlohmann);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
