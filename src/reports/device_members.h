// The description of the device that the device identify and the user identify share: the
// same twelve members in the same order, from "width" to "persist_uuid". Portable.
#ifndef MIRTO_REPORTS_DEVICE_MEMBERS_H
#define MIRTO_REPORTS_DEVICE_MEMBERS_H

#include "json/json.h"
#include "reports/report_context.h"

namespace mirto {

void AddDeviceMembers(JsonNode* properties, const ReportContext& context);

}  // namespace mirto

#endif  // MIRTO_REPORTS_DEVICE_MEMBERS_H
