// The report handlers that the worker dispatches to, one per operation. Each takes its
// operation's record and the sink its reports go to. They run on the worker thread only, one
// at a time, read and change the report context (report_state.h), and write the handlers'
// debugger lines.
#ifndef MIRTO_REPORTS_HANDLERS_H
#define MIRTO_REPORTS_HANDLERS_H

#include "reports/records.h"
#include "reports/report_sink.h"

namespace mirto {

void HandleOnStart(const OnStartRecord& record, ReportSink& sink);
void HandleSetUser(const SetUserRecord& record, ReportSink& sink);
void HandleSetLevel(const SetLevelRecord& record, ReportSink& sink);
void HandleSetServer(const SetServerRecord& record, ReportSink& sink);
void HandleOnCharge(const OnChargeRecord& record, ReportSink& sink);

}  // namespace mirto

#endif  // MIRTO_REPORTS_HANDLERS_H
