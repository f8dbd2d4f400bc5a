// The seven reports, each built from the report context and its operation's record and
// returned as compact JSON text (empty when memory runs short). Pure: they read only what
// they are given and keep nothing, so they run on any thread and on any platform.
#ifndef MIRTO_REPORTS_REPORT_BUILDERS_H
#define MIRTO_REPORTS_REPORT_BUILDERS_H

#include <string>

#include "reports/records.h"
#include "reports/report_context.h"

namespace mirto {

// Identifies (posted to the identify path).
std::string DeviceIdentifyJson(const ReportContext& context);
std::string UserIdentifyJson(const ReportContext& context, const SetUserRecord& record);
std::string UserCountJson(const ReportContext& context);

// Events (posted to the event path).
std::string LevelEventJson(const ReportContext& context, const SetLevelRecord& record);
std::string ServerEventJson(const ReportContext& context, const SetServerRecord& record);
std::string DeviceChargeJson(const ReportContext& context, const OnChargeRecord& record);
std::string UserChargeJson(const ReportContext& context, const OnChargeRecord& record);

}  // namespace mirto

#endif  // MIRTO_REPORTS_REPORT_BUILDERS_H
