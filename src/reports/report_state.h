// The report context of the process (report_context.h), owned by the reports layer. Only the
// handlers change it, on the worker thread, one at a time; nothing is reset once set, until the
// game deletes its local data or the worker ends its session (Shutdown): then it is cleared for
// the next start.
#ifndef MIRTO_REPORTS_REPORT_STATE_H
#define MIRTO_REPORTS_REPORT_STATE_H

#include "reports/report_context.h"

namespace mirto {

// Built on first use and never destroyed: a process that exits kills the worker wherever it
// is (possibly inside a string assignment), and nothing may then run destructors over what it
// was changing.
ReportContext& CurrentReports() noexcept;

// Clears the context: the next start sets it up again. On the worker thread.
void ResetReports() noexcept;

}  // namespace mirto

#endif  // MIRTO_REPORTS_REPORT_STATE_H
