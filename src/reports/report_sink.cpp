// From a report's JSON text to the body the sink posts.
#include "reports/report_sink.h"

#include <cstdint>

#include "reports/percent_encode.h"

namespace mirto {

void SubmitJson(ReportSink& sink, const wchar_t* path, const std::string& json,
                ReportPriority priority) {
    if (json.empty()) return;
    sink.Submit(path,
                PercentEncode(reinterpret_cast<const unsigned char*>(json.data()),
                              static_cast<std::int32_t>(json.size())),
                priority);
}

}  // namespace mirto
