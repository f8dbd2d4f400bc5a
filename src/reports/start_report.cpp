// The start handler: sets the session up once per process and sends the device identify.
// Worker thread only. A start that fails before the index name is set leaves the session
// unstarted, so the next start runs every step again.
#include <windows.h>

#include "core/handlers.h"
#include "core/session.h"
#include "platform/device_info.h"
#include "platform/profile_store.h"
#include "platform/save_path.h"
#include "reports/device_members.h"
#include "reports/envelope.h"
#include "transport/internet_session.h"
#include "transport/text_conversion.h"

namespace mirto {

void HandleOnStart(const std::wstring& application_id, const std::wstring& channel,
                   const std::wstring& game_version) {
    Session& session = GetSession();
    if (StartDone()) {
        OutputDebugStringA("Mirto: duplicate call OnStart\r\n");
        return;
    }
    if (!CreateSavePath(application_id)) {
        OutputDebugStringA("Mirto: init failed, can not create save path\r\n");
        return;
    }
    if (!OpenInternetSession()) {
        OutputDebugStringA("Mirto: init failed, can not init internet\r\n");
        return;
    }
    // A start that fails from here on (memory running out) leaves no session handle behind;
    // the next start opens its own.
    struct CloseUnlessStarted {
        ~CloseUnlessStarted() {
            if (!StartDone()) CloseInternetSession();
        }
    } close_unless_started;
    session.identify_id = LoadOrCreateId(session.profile_path, kIdentityKey);
    session.channel = channel;
    session.game_version = game_version;
    session.index_name = kIndexPrefix + application_id;
    CollectDeviceInfo();

    // The line shows the version the game passed, even when the executable's was taken.
    const std::wstring line = std::wstring(L"Mirto: init succeed (") + kLibraryVersionWide +
                              L"), game version: " + game_version + L", appid: " + application_id +
                              L", channel: " + channel + L"\r\n";
    OutputDebugStringA(WideToAnsi(line).c_str());

    JsonNode* properties = NewJsonObject();
    AddText(properties, "identifyType", "mobile");
    AddDeviceMembers(properties);
    SubmitReport(NewIdentifyEnvelope(ReportText(session.index_name),
                                     ReportText(session.identify_id), properties),
                 kIdentifyPath);
}

}  // namespace mirto
