// The values every report is built from: what a successful start found out, and the user once
// one is set. The reports layer keeps the one context of the process (report_state.h); the
// builders take it by reference for one call and keep nothing. Portable: no Windows header.
#ifndef MIRTO_REPORTS_REPORT_CONTEXT_H
#define MIRTO_REPORTS_REPORT_CONTEXT_H

#include <string>

#include "platform/device_facts.h"

namespace mirto {

struct ReportContext {
    std::wstring index;     // "game_analysis-<application id>"; empty until a start succeeds
    std::wstring identify;  // the profile's id of this installation
    std::wstring user;      // empty until SetUser
    std::wstring channel;
    DeviceFacts facts;

    [[nodiscard]] bool started() const noexcept { return !index.empty(); }
    [[nodiscard]] bool has_user() const noexcept { return !user.empty(); }
};

}  // namespace mirto

#endif  // MIRTO_REPORTS_REPORT_CONTEXT_H
