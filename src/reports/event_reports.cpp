// The four events: level and server (about the current user), and the two charge events
// (the device's, and the user's while one is set).
#include <utility>

#include "reports/envelope.h"
#include "reports/report_builders.h"
#include "reports/report_text.h"
#include "transport/protocol.h"

namespace mirto {
namespace {

// "identifyType" first, the event's own member, then the version and the device.
template <typename AddOwnMember>
std::string PlayerEventJson(const ReportContext& context, const char* name,
                            AddOwnMember add_own_member) {
    JsonTree properties(NewJsonObject());
    AddText(properties.get(), "identifyType", "user");
    add_own_member(properties.get(), name);
    AddText(properties.get(), "ga_ver", kReportVersion);
    AddText(properties.get(), "device", kDeviceModel);
    return WriteReport(NewEventEnvelope(name, ReportText(context.index), ReportText(context.user),
                                        std::move(properties)));
}

// The charge's texts, in the order the charge events carry them.
struct ChargeText {
    const char* key;
    std::wstring OnChargeRecord::*value;
};
constexpr ChargeText kChargeTexts[] = {
    {"order_id", &OnChargeRecord::order_id},
    {"product", &OnChargeRecord::product},
    {"currency_type", &OnChargeRecord::currency_type},
    {"payment", &OnChargeRecord::payment},
};

// The members both charge events share, after "identifyType": texts first, then amounts.
JsonTree NewChargeProperties(const char* identify_type, const OnChargeRecord& record) {
    JsonTree properties(NewJsonObject());
    JsonNode* object = properties.get();
    AddText(object, "identifyType", identify_type);
    AddText(object, "ga_ver", kReportVersion);
    AddText(object, "device", kDeviceModel);
    for (const ChargeText& text : kChargeTexts) {
        AddText(object, text.key, ReportText(record.*text.value));
    }
    AddInteger(object, "amount", record.amount);
    AddInteger(object, "virtual_currency_amount", record.virtual_currency_amount);
    return properties;
}

}  // namespace

std::string LevelEventJson(const ReportContext& context, const SetLevelRecord& record) {
    return PlayerEventJson(context, "level", [&record](JsonNode* properties, const char* key) {
        AddInteger(properties, key, record.level);
    });
}

std::string ServerEventJson(const ReportContext& context, const SetServerRecord& record) {
    const std::string server = ReportText(record.server);
    return PlayerEventJson(context, "server", [&server](JsonNode* properties, const char* key) {
        AddText(properties, key, server);
    });
}

std::string DeviceChargeJson(const ReportContext& context, const OnChargeRecord& record) {
    JsonTree properties = NewChargeProperties("mobile", record);
    AddText(properties.get(), "install_uuid", ReportText(context.facts.install_uuid));
    AddText(properties.get(), "persist_uuid", ReportText(context.facts.persist_uuid));
    return WriteReport(NewEventEnvelope("charge", ReportText(context.index),
                                        ReportText(context.identify), std::move(properties)));
}

std::string UserChargeJson(const ReportContext& context, const OnChargeRecord& record) {
    return WriteReport(NewEventEnvelope("charge", ReportText(context.index),
                                        ReportText(context.user),
                                        NewChargeProperties("user", record)));
}

}  // namespace mirto
