// The SetUser handler: stores the user and sends the user identify, then the user-count
// identify, strictly one after the other. Worker thread only.
#include "log/log_line.h"
#include "reports/handlers.h"
#include "reports/messages.h"
#include "reports/report_builders.h"
#include "reports/report_state.h"
#include "transport/protocol.h"

namespace mirto {

void HandleSetUser(const SetUserRecord& record, ReportSink& sink) {
    ReportContext& reports = CurrentReports();
    if (!reports.started()) {
        WriteLine(kNeedStartLine);
        return;
    }
    reports.user = record.user_id;
    SubmitJson(sink, kIdentifyPath, UserIdentifyJson(reports, record), ReportPriority::kDropLast);
    SubmitJson(sink, kIdentifyPath, UserCountJson(reports), ReportPriority::kDropLast);
}

}  // namespace mirto
