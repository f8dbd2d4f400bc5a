// From report values to the body the collector receives, for each of the seven reports: the
// library's path (build the tree member by member, MeasureJson, WriteJson into a buffer of
// exactly that size, FreeJson, PercentEncode), as SubmitReport runs it, next to the same
// document made with nlohmann::ordered_json (build, dump) and then the same PercentEncode.
//
// Both sides start from the same UTF-8 std::string values (the worker's UTF-16 conversion is
// Windows code and the same for both, so it is left out) and insert the members in the order
// the handlers in src/reports do. Before anything is timed, main checks that the two sides
// produce byte-identical bodies for every report, so the comparison is of equal work.
#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json/json.h"
#include "transport/percent_encode.h"

namespace {

using mirto::JsonNode;
using nlohmann::ordered_json;

constexpr const char* kModuleName = "DodeZarevuze";
constexpr const char* kLibraryVersion = "0.0.3";

// What a started session holds on a player's machine: 32-character generated ids, a 1080p
// screen, the fixed device texts, and a user whose name is not ASCII (percent encoding
// triples every byte of it).
struct SessionValues {
    std::string index = "game_analysis-ag7xq2m4c9";
    std::string identify_id = "k3v9q0w2m8x1z7c4b6n5j0h2g8f3d1s9";
    std::string user_id = "steam_76561198042231856";
    std::string user_name = "\xe5\xb0\x8f\xe6\x98\x8e_Ryo";  // two CJK characters, then "_Ryo"
    std::int64_t width = 1920;
    std::int64_t height = 1080;
    std::string device_name = "unknown";
    std::string device = "Windows";
    std::string network = "windows_-1";
    std::string provider = "unknown";
    std::string channel = "steam";
    std::string system_version = "Windows 6.2";
    std::string game_version = "1.4.12.3088";
    std::string install_uuid = "p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3";
    std::string persist_uuid = "p2r8t4y6u1i3o5a7s9d0f2g4h6j8k1l3";
    std::int64_t level = 37;
    std::string server = "asia-east-3";
    std::string order_id = "ORD-20240611-000184223";
    std::string product = "gem_pack_large";
    std::string currency_type = "USD";
    std::string payment = "steam_wallet";
    std::int64_t amount = 4999;
    std::int64_t virtual_currency_amount = 6500;
};

const SessionValues kValues;

// ---- the library's side, with the member helpers the report handlers use ------------------

void AddText(JsonNode* object, const char* key, const std::string& value) {
    JsonNode* node = mirto::NewJsonString(value.c_str());
    if (mirto::AddJsonMember(object, key, node) == nullptr) mirto::FreeJson(node);
}

void AddInteger(JsonNode* object, const char* key, std::int64_t value) {
    JsonNode* node = mirto::NewJsonInteger(value);
    if (mirto::AddJsonMember(object, key, node) == nullptr) mirto::FreeJson(node);
}

JsonNode* Envelope(const char* name, const std::string& identify, JsonNode* properties) {
    JsonNode* envelope = mirto::NewJsonObject();
    if (name != nullptr) mirto::AddJsonMember(envelope, "name", mirto::NewJsonString(name));
    mirto::AddJsonMember(envelope, "module", mirto::NewJsonString(kModuleName));
    AddText(envelope, "index", kValues.index);
    AddText(envelope, "identify", identify);
    if (mirto::AddJsonMember(envelope, "properties", properties) == nullptr) {
        mirto::FreeJson(properties);
    }
    return envelope;
}

// SubmitReport's steps up to the request.
std::string MirtoBody(JsonNode* envelope) {
    const std::uint32_t size = mirto::MeasureJson(envelope, mirto::kReportJsonOptions);
    std::unique_ptr<char[]> text(new (std::nothrow) char[size]);
    if (text == nullptr) {
        mirto::FreeJson(envelope);
        return {};
    }
    mirto::WriteJson(text.get(), envelope, mirto::kReportJsonOptions);
    mirto::FreeJson(envelope);
    return mirto::PercentEncode(reinterpret_cast<const unsigned char*>(text.get()),
                                static_cast<std::int32_t>(size - 1));
}

void AddDeviceMembers(JsonNode* properties, const SessionValues& v) {
    AddInteger(properties, "width", v.width);
    AddInteger(properties, "height", v.height);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device_name", v.device_name);
    AddText(properties, "device", v.device);
    AddText(properties, "network", v.network);
    AddText(properties, "provider", v.provider);
    AddText(properties, "channel", v.channel);
    AddText(properties, "system_version", v.system_version);
    AddText(properties, "ver", v.game_version);
    AddText(properties, "install_uuid", v.install_uuid);
    AddText(properties, "persist_uuid", v.persist_uuid);
}

std::string MirtoDeviceIdentify() {
    const SessionValues& v = kValues;
    JsonNode* properties = mirto::NewJsonObject();
    AddText(properties, "identifyType", "mobile");
    AddDeviceMembers(properties, v);
    return MirtoBody(Envelope(nullptr, v.identify_id, properties));
}

std::string MirtoUserIdentify() {
    const SessionValues& v = kValues;
    JsonNode* properties = mirto::NewJsonObject();
    AddText(properties, "identifyType", "user");
    AddText(properties, "mobile_identify", v.identify_id);
    AddText(properties, "user_name", v.user_name);
    AddDeviceMembers(properties, v);
    AddInteger(properties, "user_type", 1);
    AddInteger(properties, "user_sex", 2);
    AddInteger(properties, "user_age", 0);
    return MirtoBody(Envelope(nullptr, v.user_id, properties));
}

std::string MirtoUserCountIdentify() {
    const SessionValues& v = kValues;
    JsonNode* properties = mirto::NewJsonObject();
    AddText(properties, "identifyType", "mobile");
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device", v.device);
    AddText(properties, "install_uuid", v.install_uuid);
    AddText(properties, "persist_uuid", v.persist_uuid);
    AddInteger(properties, "user_count", 1);
    return MirtoBody(Envelope(nullptr, v.identify_id, properties));
}

std::string MirtoLevel() {
    const SessionValues& v = kValues;
    JsonNode* properties = mirto::NewJsonObject();
    AddText(properties, "identifyType", "user");
    AddInteger(properties, "level", v.level);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device", v.device);
    return MirtoBody(Envelope("level", v.user_id, properties));
}

std::string MirtoServer() {
    const SessionValues& v = kValues;
    JsonNode* properties = mirto::NewJsonObject();
    AddText(properties, "identifyType", "user");
    AddText(properties, "server", v.server);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device", v.device);
    return MirtoBody(Envelope("server", v.user_id, properties));
}

JsonNode* MirtoChargeProperties(const char* identify_type) {
    const SessionValues& v = kValues;
    JsonNode* properties = mirto::NewJsonObject();
    AddText(properties, "identifyType", identify_type);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device", v.device);
    AddText(properties, "order_id", v.order_id);
    AddText(properties, "product", v.product);
    AddText(properties, "currency_type", v.currency_type);
    AddText(properties, "payment", v.payment);
    AddInteger(properties, "amount", v.amount);
    AddInteger(properties, "virtual_currency_amount", v.virtual_currency_amount);
    return properties;
}

std::string MirtoDeviceCharge() {
    JsonNode* properties = MirtoChargeProperties("mobile");
    AddText(properties, "install_uuid", kValues.install_uuid);
    AddText(properties, "persist_uuid", kValues.persist_uuid);
    return MirtoBody(Envelope("charge", kValues.identify_id, properties));
}

std::string MirtoUserCharge() {
    return MirtoBody(Envelope("charge", kValues.user_id, MirtoChargeProperties("user")));
}

// ---- the same documents with nlohmann::ordered_json (insertion order kept) ----------------

ordered_json NlohmannEnvelope(const char* name, const std::string& identify,
                              ordered_json properties) {
    ordered_json envelope;
    if (name != nullptr) envelope["name"] = name;
    envelope["module"] = kModuleName;
    envelope["index"] = kValues.index;
    envelope["identify"] = identify;
    envelope["properties"] = std::move(properties);
    return envelope;
}

std::string NlohmannBody(const ordered_json& envelope) {
    const std::string text = envelope.dump();
    return mirto::PercentEncode(reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<std::int32_t>(text.size()));
}

void AddDeviceMembers(ordered_json& properties, const SessionValues& v) {
    properties["width"] = v.width;
    properties["height"] = v.height;
    properties["ga_ver"] = kLibraryVersion;
    properties["device_name"] = v.device_name;
    properties["device"] = v.device;
    properties["network"] = v.network;
    properties["provider"] = v.provider;
    properties["channel"] = v.channel;
    properties["system_version"] = v.system_version;
    properties["ver"] = v.game_version;
    properties["install_uuid"] = v.install_uuid;
    properties["persist_uuid"] = v.persist_uuid;
}

std::string NlohmannDeviceIdentify() {
    const SessionValues& v = kValues;
    ordered_json properties;
    properties["identifyType"] = "mobile";
    AddDeviceMembers(properties, v);
    return NlohmannBody(NlohmannEnvelope(nullptr, v.identify_id, std::move(properties)));
}

std::string NlohmannUserIdentify() {
    const SessionValues& v = kValues;
    ordered_json properties;
    properties["identifyType"] = "user";
    properties["mobile_identify"] = v.identify_id;
    properties["user_name"] = v.user_name;
    AddDeviceMembers(properties, v);
    properties["user_type"] = 1;
    properties["user_sex"] = 2;
    properties["user_age"] = 0;
    return NlohmannBody(NlohmannEnvelope(nullptr, v.user_id, std::move(properties)));
}

std::string NlohmannUserCountIdentify() {
    const SessionValues& v = kValues;
    ordered_json properties;
    properties["identifyType"] = "mobile";
    properties["ga_ver"] = kLibraryVersion;
    properties["device"] = v.device;
    properties["install_uuid"] = v.install_uuid;
    properties["persist_uuid"] = v.persist_uuid;
    properties["user_count"] = 1;
    return NlohmannBody(NlohmannEnvelope(nullptr, v.identify_id, std::move(properties)));
}

std::string NlohmannLevel() {
    const SessionValues& v = kValues;
    ordered_json properties;
    properties["identifyType"] = "user";
    properties["level"] = v.level;
    properties["ga_ver"] = kLibraryVersion;
    properties["device"] = v.device;
    return NlohmannBody(NlohmannEnvelope("level", v.user_id, std::move(properties)));
}

std::string NlohmannServer() {
    const SessionValues& v = kValues;
    ordered_json properties;
    properties["identifyType"] = "user";
    properties["server"] = v.server;
    properties["ga_ver"] = kLibraryVersion;
    properties["device"] = v.device;
    return NlohmannBody(NlohmannEnvelope("server", v.user_id, std::move(properties)));
}

ordered_json NlohmannChargeProperties(const char* identify_type) {
    const SessionValues& v = kValues;
    ordered_json properties;
    properties["identifyType"] = identify_type;
    properties["ga_ver"] = kLibraryVersion;
    properties["device"] = v.device;
    properties["order_id"] = v.order_id;
    properties["product"] = v.product;
    properties["currency_type"] = v.currency_type;
    properties["payment"] = v.payment;
    properties["amount"] = v.amount;
    properties["virtual_currency_amount"] = v.virtual_currency_amount;
    return properties;
}

std::string NlohmannDeviceCharge() {
    ordered_json properties = NlohmannChargeProperties("mobile");
    properties["install_uuid"] = kValues.install_uuid;
    properties["persist_uuid"] = kValues.persist_uuid;
    return NlohmannBody(NlohmannEnvelope("charge", kValues.identify_id, std::move(properties)));
}

std::string NlohmannUserCharge() {
    return NlohmannBody(
        NlohmannEnvelope("charge", kValues.user_id, NlohmannChargeProperties("user")));
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
