#include "reports/device_members.h"

#include "core/session.h"
#include "reports/envelope.h"

namespace mirto {

void AddDeviceMembers(JsonNode* properties) {
    const Session& session = GetSession();
    AddInteger(properties, "width", session.screen_width);
    AddInteger(properties, "height", session.screen_height);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device_name", ReportText(session.device_name));
    AddText(properties, "device", ReportText(session.device_model));
    AddText(properties, "network", ReportText(session.network));
    AddText(properties, "provider", ReportText(session.provider));
    AddText(properties, "channel", ReportText(session.channel));
    AddText(properties, "system_version", ReportText(session.system_version));
    AddText(properties, "ver", ReportText(session.game_version));
    AddText(properties, "install_uuid", ReportText(session.install_uuid));
    AddText(properties, "persist_uuid", ReportText(session.persist_uuid));
}

}  // namespace mirto
