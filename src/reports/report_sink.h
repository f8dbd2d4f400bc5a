// Where the handlers send what they built. The worker's delivery (core/delivery.h) is the one
// implementation in the library; the reports layer names only this interface, so it never
// reaches up into the worker. Worker thread only.
#ifndef MIRTO_REPORTS_REPORT_SINK_H
#define MIRTO_REPORTS_REPORT_SINK_H

#include <string>

namespace mirto {

// Which reports a sink that runs short of room gives up first.
enum class ReportPriority {
    kDropFirst,  // level and server events
    kDropLast,   // purchases and identifies
};

class ReportSink {
   public:
    // Opens the way to the collector for the application's session (a start does so once it
    // has its save folder). False when the system refuses.
    virtual bool Connect(const std::wstring& application_id) noexcept = 0;
    // Closes it again: a start that fails after connecting leaves nothing open.
    virtual void Disconnect() noexcept = 0;
    // Hands one encoded body for `path` on. Without an outbox it returns once the body is
    // delivered, at once while not connected, and without further attempts once the worker is
    // told to stop; with one, once the body is stored.
    virtual void Submit(const wchar_t* path, const std::string& body, ReportPriority priority) = 0;

   protected:
    ~ReportSink() = default;
};

// Percent-encodes a report's JSON text and submits it; a report that could not be built
// (empty text) is not sent.
void SubmitJson(ReportSink& sink, const wchar_t* path, const std::string& json,
                ReportPriority priority);

}  // namespace mirto

#endif  // MIRTO_REPORTS_REPORT_SINK_H
