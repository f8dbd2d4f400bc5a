// The start handler: sets the report context up once per process and sends the device
// identify. Worker thread only. Everything a start finds out is gathered first and becomes the
// context in one step, so a start that fails on the way (memory running out) leaves the
// context unstarted and the next start runs every step again.
#include <optional>
#include <utility>

#include "log/log_line.h"
#include "platform/device_info.h"
#include "platform/profile_store.h"
#include "platform/save_path.h"
#include "reports/handlers.h"
#include "reports/messages.h"
#include "reports/report_builders.h"
#include "reports/report_state.h"
#include "transport/protocol.h"

namespace mirto {

void HandleOnStart(const OnStartRecord& record, ReportSink& sink) {
    ReportContext& reports = CurrentReports();
    if (reports.started()) {
        WriteLine(kDuplicateStartLine);
        return;
    }
    const std::optional<std::wstring> profile = CreateSavePath(record.application_id);
    if (!profile) {
        WriteLine(kSavePathFailedLine);
        return;
    }
    if (!sink.Connect(record.application_id)) {
        WriteLine(kInternetFailedLine);
        return;
    }
    // A start that fails from here on leaves no connection behind; the next start opens its own.
    struct DisconnectUnlessStarted {
        ReportSink& sink;
        const ReportContext& reports;
        ~DisconnectUnlessStarted() {
            if (!reports.started()) sink.Disconnect();
        }
    } disconnect_unless_started{sink, reports};

    ReportContext started;
    started.identify = LoadOrCreateId(*profile, kIdentityKey);
    started.channel = record.channel;
    started.facts = CollectDeviceFacts(*profile, record.game_version);
    started.index = kIndexPrefix + record.application_id;
    // The line shows the version the game passed, even when the executable's was taken. It
    // holds the game's texts: the debugger gets them in the ANSI code page, a log callback
    // every character.
    const std::wstring line = kStartLineOpening + record.game_version + kStartLineAppId +
                              record.application_id + kStartLineChannel + record.channel + kLineEnd;
    reports = std::move(started);

    WriteLine(line);
    SubmitJson(sink, kIdentifyPath, DeviceIdentifyJson(reports), ReportPriority::kDropLast);
}

}  // namespace mirto
