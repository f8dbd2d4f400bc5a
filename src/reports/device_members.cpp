// The shared device members, in the order the collector reads them.
#include "reports/device_members.h"

#include "reports/envelope.h"
#include "reports/report_text.h"
#include "transport/protocol.h"

namespace mirto {

void AddDeviceMembers(JsonNode* properties, const ReportContext& context) {
    const DeviceFacts& facts = context.facts;
    AddInteger(properties, "width", facts.screen_width);
    AddInteger(properties, "height", facts.screen_height);
    AddText(properties, "ga_ver", kReportVersion);
    AddText(properties, "device_name", kDeviceName);
    AddText(properties, "device", kDeviceModel);
    AddText(properties, "network", kNetwork);
    AddText(properties, "provider", kProvider);
    AddText(properties, "channel", ReportText(context.channel));
    AddText(properties, "system_version", ReportText(facts.system_version));
    AddText(properties, "ver", ReportText(facts.game_version));
    AddText(properties, "install_uuid", ReportText(facts.install_uuid));
    AddText(properties, "persist_uuid", ReportText(facts.persist_uuid));
}

}  // namespace mirto
