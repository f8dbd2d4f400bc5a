// The level and server handlers: one event about the current user each. Worker thread only.
#include "log/log_line.h"
#include "reports/handlers.h"
#include "reports/messages.h"
#include "reports/report_builders.h"
#include "reports/report_state.h"
#include "transport/protocol.h"

namespace mirto {
namespace {

// Both events need a started session and a user.
bool PlayerKnown(const ReportContext& reports) {
    if (reports.started() && reports.has_user()) return true;
    WriteLine(kNeedStartAndUserLine);
    return false;
}

}  // namespace

void HandleSetLevel(const SetLevelRecord& record, ReportSink& sink) {
    const ReportContext& reports = CurrentReports();
    if (!PlayerKnown(reports)) return;
    SubmitJson(sink, kEventPath, LevelEventJson(reports, record), ReportPriority::kDropFirst);
}

void HandleSetServer(const SetServerRecord& record, ReportSink& sink) {
    const ReportContext& reports = CurrentReports();
    if (!PlayerKnown(reports)) return;
    SubmitJson(sink, kEventPath, ServerEventJson(reports, record), ReportPriority::kDropFirst);
}

}  // namespace mirto
