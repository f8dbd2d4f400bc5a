// The retry loop, and the requests it is given: the report's path and body, sent to the host
// the slot holds when the report is submitted.
#include "core/delivery.h"

#include "core/host_slot.h"
#include "core/retry_wait.h"
#include "transport/protocol.h"

namespace mirto {

bool Delivery::Connect() noexcept {
    client_.emplace();
    if (client_->is_open()) return true;
    client_.reset();
    return false;
}

void Delivery::Disconnect() noexcept { client_.reset(); }

void Delivery::Submit(const wchar_t* path, const std::string& body) {
    const HttpParams request(CollectionHost().Get(), kReportPort, path, kReportHeaders, body.data(),
                             static_cast<std::int32_t>(body.size()));
    Deliver(request);
}

void Delivery::Deliver(const HttpParams& request) const {
    if (!client_) return;
    for (int attempt = 1;; ++attempt) {
        // A quitting worker still makes each report's first attempt (quick when the collector
        // is there) but does not wait to repeat it.
        if (attempt > 1 && !WaitBeforeRetry(kRetryWaitMs)) return;
        const DWORD connect_flags = attempt == 1 ? kFirstAttemptConnectFlags : 0;
        if (client_->PostOnce(request, connect_flags)) return;
    }
}

}  // namespace mirto
