// Where the handlers send what they built. The worker's delivery (core/delivery.h) is the one
// implementation in the library; the reports layer names only this interface, so it never
// reaches up into the worker. Worker thread only.
#ifndef MIRTO_REPORTS_REPORT_SINK_H
#define MIRTO_REPORTS_REPORT_SINK_H

#include <string>

namespace mirto {

class ReportSink {
   public:
    // Opens the way to the collector (a start does so once it has its save folder). False
    // when the system refuses.
    virtual bool Connect() noexcept = 0;
    // Closes it again: a start that fails after connecting leaves nothing open.
    virtual void Disconnect() noexcept = 0;
    // Posts one encoded body to `path`; returns once it is delivered, at once while not
    // connected, and without further attempts once the worker is told to quit.
    virtual void Submit(const wchar_t* path, const std::string& body) = 0;

   protected:
    ~ReportSink() = default;
};

// Percent-encodes a report's JSON text and submits it; a report that could not be built
// (empty text) is not sent.
void SubmitJson(ReportSink& sink, const wchar_t* path, const std::string& json);

}  // namespace mirto

#endif  // MIRTO_REPORTS_REPORT_SINK_H
