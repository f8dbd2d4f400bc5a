// Storage of the report context: static, built on first use, never destroyed.
#include "reports/report_state.h"

#include <new>

namespace mirto {

ReportContext& CurrentReports() noexcept {
    // The compiler makes the first construction thread-safe; the storage has no destructor.
    alignas(ReportContext) static unsigned char storage[sizeof(ReportContext)];
    static ReportContext* const context = new (storage) ReportContext();
    return *context;
}

void ResetReports() noexcept { CurrentReports() = ReportContext{}; }

}  // namespace mirto
