// Delivery of the worker's reports: the retry policy over the client's single attempts. Each
// report is posted to the current collection host until an attempt is answered with "200";
// the first attempt asks for an open connection, every later one waits kRetryWaitMs first
// (core/retry_wait.h) and opens one as needed. A quitting worker still makes each report's
// first attempt but never waits to repeat it.
//
// Owned by the worker thread (one per worker, living as long as its loop) and used there only;
// the client it holds is the process's internet session.
#ifndef MIRTO_CORE_DELIVERY_H
#define MIRTO_CORE_DELIVERY_H

#include <optional>
#include <string>

#include "reports/report_sink.h"
#include "transport/http_params.h"
#include "transport/wininet_client.h"

namespace mirto {

class Delivery final : public ReportSink {
   public:
    Delivery() = default;
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    ~Delivery() = default;

    bool Connect() noexcept override;
    void Disconnect() noexcept override;
    void Submit(const wchar_t* path, const std::string& body) override;

    [[nodiscard]] bool connected() const noexcept { return client_.has_value(); }

    // Delivers one request: returns once it is accepted, at once when not connected, and
    // without further attempts once the thread is told to quit.
    void Deliver(const HttpParams& request) const;

   private:
    std::optional<WinInetClient> client_;
};

}  // namespace mirto

#endif  // MIRTO_CORE_DELIVERY_H
