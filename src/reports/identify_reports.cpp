// The three identifies: the device's (sent by a start), the user's and the user count (both
// sent by SetUser).
#include <utility>

#include "reports/device_members.h"
#include "reports/envelope.h"
#include "reports/report_builders.h"
#include "reports/report_text.h"
#include "transport/protocol.h"

namespace mirto {

std::string DeviceIdentifyJson(const ReportContext& context) {
    JsonTree properties(NewJsonObject());
    AddText(properties.get(), "identifyType", "mobile");
    AddDeviceMembers(properties.get(), context);
    return WriteReport(NewIdentifyEnvelope(ReportText(context.index), ReportText(context.identify),
                                           std::move(properties)));
}

std::string UserIdentifyJson(const ReportContext& context, const SetUserRecord& record) {
    JsonTree properties(NewJsonObject());
    AddText(properties.get(), "identifyType", "user");
    AddText(properties.get(), "mobile_identify", ReportText(context.identify));
    AddText(properties.get(), "user_name", ReportText(record.user_name));
    AddDeviceMembers(properties.get(), context);
    AddInteger(properties.get(), "user_type", 1);
    AddInteger(properties.get(), "user_sex", 2);
    AddInteger(properties.get(), "user_age", 0);
    return WriteReport(NewIdentifyEnvelope(ReportText(context.index), ReportText(context.user),
                                           std::move(properties)));
}

std::string UserCountJson(const ReportContext& context) {
    JsonTree count(NewJsonObject());
    AddText(count.get(), "identifyType", "mobile");
    AddText(count.get(), "ga_ver", kReportVersion);
    AddText(count.get(), "device", kDeviceModel);
    AddText(count.get(), "install_uuid", ReportText(context.facts.install_uuid));
    AddText(count.get(), "persist_uuid", ReportText(context.facts.persist_uuid));
    AddInteger(count.get(), "user_count", 1);
    return WriteReport(NewIdentifyEnvelope(ReportText(context.index), ReportText(context.identify),
                                           std::move(count)));
}

}  // namespace mirto
