// The charge handler: the device charge event always (once started), then the user charge
// event while a user is set, strictly one after the other. Worker thread only.
#include "log/log_line.h"
#include "reports/handlers.h"
#include "reports/messages.h"
#include "reports/report_builders.h"
#include "reports/report_state.h"
#include "transport/protocol.h"

namespace mirto {

void HandleOnCharge(const OnChargeRecord& record, ReportSink& sink) {
    const ReportContext& reports = CurrentReports();
    if (!reports.started()) {
        WriteLine(kNeedStartAndUserLine);
        return;
    }
    SubmitJson(sink, kEventPath, DeviceChargeJson(reports, record), ReportPriority::kDropLast);
    if (!reports.has_user()) return;
    SubmitJson(sink, kEventPath, UserChargeJson(reports, record), ReportPriority::kDropLast);
}

}  // namespace mirto
