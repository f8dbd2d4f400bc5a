// The level and server handlers: one event about the current user each. Worker thread only.
#include <windows.h>

#include "core/handlers.h"
#include "core/session.h"
#include "reports/envelope.h"

namespace mirto {
namespace {

// Both events need a started session and a user.
bool PlayerKnown() {
    if (StartDone() && UserSet()) return true;
    OutputDebugStringA("Mirto: need call OnStart && SetUser first\r\n");
    return false;
}

// "identifyType" first, the event's own member, then the version and the device.
template <typename AddOwnMember>
void SubmitPlayerEvent(const char* name, const char* key, AddOwnMember add_own_member) {
    const Session& session = GetSession();
    JsonNode* properties = NewJsonObject();
    AddText(properties, "identifyType", "user");
    add_own_member(properties, key);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device", ReportText(session.device_model));
    SubmitReport(NewEventEnvelope(name, ReportText(session.index_name), ReportText(session.user_id),
                                  properties),
                 kEventPath);
}

}  // namespace

void HandleSetLevel(std::int32_t level) {
    if (!PlayerKnown()) return;
    SubmitPlayerEvent("level", "level", [level](JsonNode* properties, const char* key) {
        AddInteger(properties, key, level);
    });
}

void HandleSetServer(const std::wstring& server) {
    if (!PlayerKnown()) return;
    const std::string text = ReportText(server);
    SubmitPlayerEvent("server", "server", [&text](JsonNode* properties, const char* key) {
        AddText(properties, key, text);
    });
}

}  // namespace mirto
