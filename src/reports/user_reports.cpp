// The SetUser handler: stores the user and sends the user identify, then the user-count
// identify, strictly one after the other. Worker thread only.
#include <windows.h>

#include "core/handlers.h"
#include "core/session.h"
#include "reports/device_members.h"
#include "reports/envelope.h"

namespace mirto {

void HandleSetUser(const std::wstring& user_id, const std::wstring& user_name) {
    Session& session = GetSession();
    if (!StartDone()) {
        OutputDebugStringA("Mirto: need call OnStart first\r\n");
        return;
    }
    session.user_id = user_id;

    const std::string index = ReportText(session.index_name);
    const std::string user = ReportText(session.user_id);
    const std::string identity = ReportText(session.identify_id);
    const std::string device = ReportText(session.device_model);
    const std::string install_uuid = ReportText(session.install_uuid);
    const std::string persist_uuid = ReportText(session.persist_uuid);

    JsonNode* properties = NewJsonObject();
    AddText(properties, "identifyType", "user");
    AddText(properties, "mobile_identify", identity);
    AddText(properties, "user_name", ReportText(user_name));
    AddDeviceMembers(properties);
    AddInteger(properties, "user_type", 1);
    AddInteger(properties, "user_sex", 2);
    AddInteger(properties, "user_age", 0);
    SubmitReport(NewIdentifyEnvelope(index, user, properties), kIdentifyPath);

    JsonNode* count = NewJsonObject();
    AddText(count, "identifyType", "mobile");
    AddText(count, "ga_ver", kLibraryVersion);
    AddText(count, "device", device);
    AddText(count, "install_uuid", install_uuid);
    AddText(count, "persist_uuid", persist_uuid);
    AddInteger(count, "user_count", 1);
    SubmitReport(NewIdentifyEnvelope(index, identity, count), kIdentifyPath);
}

}  // namespace mirto
