// The retry loop, the outbox's turn in the worker's loop, and the requests they make: each
// report's path and body, sent to the host the slot holds when the report is submitted.
#include "core/delivery.h"

#include <algorithm>
#include <utility>

#include "core/delivery_stats.h"
#include "core/host_slot.h"
#include "core/retry_wait.h"
#include "reports/messages.h"
#include "transport/protocol.h"

namespace mirto {
namespace {

// Failures after which the request may have reached the collector: not those where no
// connection was ever made, nor attempts that were never made (no thread to spare, stopping).
bool MayHaveArrived(const AttemptOutcome& outcome) {
    return outcome.status == 0 && outcome.error != ERROR_INTERNET_CANNOT_CONNECT &&
           outcome.error != ERROR_INTERNET_NAME_NOT_RESOLVED &&
           outcome.error != ERROR_INVALID_HANDLE && outcome.error != ERROR_NOT_ENOUGH_MEMORY &&
           outcome.error != ERROR_TOO_MANY_TCBS &&
           outcome.error != ERROR_INTERNET_OPERATION_CANCELLED;
}

std::u16string Units(const std::wstring& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

std::wstring Wide(const std::u16string& text) {
    return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

HttpParams RequestFor(const StoredReport& report) {
    HttpParams request(Wide(report.host), report.port, Wide(report.path), kReportHeaders,
                       report.body.data(), static_cast<std::int32_t>(report.body.size()));
    request.secure = report.secure;
    return request;
}

OutboxPriority StoredPriority(ReportPriority priority) {
    return priority == ReportPriority::kDropFirst ? OutboxPriority::kDropFirst
                                                  : OutboxPriority::kDropLast;
}

}  // namespace

bool Delivery::Connect(const std::wstring& application_id) noexcept {
    client_.emplace(stop_);
    if (!client_->is_open()) {
        client_.reset();
        return false;
    }
    if (outbox_chosen_ && !outbox_ && !fell_back_) {
        try {
            outbox_ = Outbox::Open(application_id, drops_);
        } catch (...) {
            outbox_.reset();
        }
        if (outbox_) {
            Counters().restored.fetch_add(outbox_->size());
            Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kOn));
        } else {
            FallBack();
        }
        PublishWaiting();
    }
    return true;
}

void Delivery::Disconnect() noexcept {
    batch_.clear();
    client_.reset();
    outbox_.reset();
    if (outbox_chosen_ && !fell_back_) {
        Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kChosen));
    }
    PublishWaiting();
}

void Delivery::Submit(const wchar_t* path, const std::string& body, ReportPriority priority) {
    if (batching()) {
        // Stored with the other reports of the operations handled together (Commit).
        StoredReport report;
        report.priority = StoredPriority(priority);
        report.port = kReportPort;
        report.secure = true;
        report.created_ms = WallClockMs();
        report.host = Units(CollectionHost().Get());
        report.path = Units(path);
        report.body = body;
        batch_.push_back(std::move(report));
        return;
    }
    HttpParams request(CollectionHost().Get(), kReportPort, path, kReportHeaders, body.data(),
                       static_cast<std::int32_t>(body.size()));
    if (!client_) return;
    if (attempt_running_) {
        // Delivered once the attempt is over (SendDue), in its turn.
        unstored_.push_back(std::move(request));
        Counters().waiting_in_memory.fetch_add(1);
        return;
    }
    DeliverBacklogFromMemory();
    Counters().waiting_in_memory.fetch_add(1);
    DeliverHeld(request);
}

void Delivery::Commit(std::uint64_t operations) {
    if (batch_.empty()) {
        if (operations > 0) finished_(operations);
        return;
    }
    if (outbox_ && outbox_->Store(batch_, drops_) == Outbox::StoreResult::kStored) {
        batch_.clear();
        PublishWaiting();
        if (operations > 0) finished_(operations);
        return;
    }
    // The disk refused: these reports go from memory, after what the outbox holds, and the
    // operations count as finished once they are delivered.
    FallBack();
    for (const StoredReport& report : batch_) {
        unstored_.push_back(RequestFor(report));
        Counters().waiting_in_memory.fetch_add(1);
    }
    batch_.clear();
    operations_in_memory_ += operations;
    PublishWaiting();
}

bool Delivery::DeliverHeld(const HttpParams& request) {
    memory_report_created_ms_ = WallClockMs();
    PublishWaiting();
    const bool delivered = Deliver(request);
    memory_report_created_ms_ = 0;
    Counters().waiting_in_memory.fetch_sub(1);
    if (!delivered) Counters().dropped_at_quit.fetch_add(1);
    PublishWaiting();
    return delivered;
}

DWORD Delivery::SendDue(AttemptWaitHook* while_waiting) {
    if (!client_ || !outbox_) return INFINITE;
    if (fell_back_) {
        DeliverBacklogFromMemory();
        return INFINITE;
    }
    const ULONGLONG now = SteadyMs();
    const bool waiting = outbox_->size() > 0;
    if (!waiting || (outbox_->oldest_sequence() == oldest_sequence_ && now < next_attempt_ms_)) {
        // Nothing to attempt now: a chore, if there is one, else a wait.
        if (DoChore()) return 0;
        if (!waiting) return INFINITE;
        return static_cast<DWORD>(next_attempt_ms_ - now);
    }
    const std::optional<StoredReport> report = outbox_->Oldest(drops_);
    if (!report) {
        PublishWaiting();
        return INFINITE;
    }
    if (outbox_->oldest_sequence() != oldest_sequence_) {
        oldest_sequence_ = outbox_->oldest_sequence();
        oldest_attempted_ = false;
        oldest_cut_off_ = false;
    }
    if (outbox_->MarkOldestTried()) oldest_cut_off_ = true;
    const DWORD connect_flags = oldest_attempted_ ? 0 : kFirstAttemptConnectFlags;
    oldest_attempted_ = true;
    // Operations handled while the attempt runs store their reports, but never in place of
    // the one being attempted.
    outbox_->PinOldest(true);
    attempt_running_ = true;
    bool delivered = false;
    try {
        delivered = TryOnce(RequestFor(*report), connect_flags, oldest_cut_off_, while_waiting);
    } catch (...) {
        // Out of memory for the attempt's copy: it counts as a failed attempt.
    }
    attempt_running_ = false;
    outbox_->PinOldest(false);
    if (delivered) {
        // A report whose acceptance can be neither recorded nor taken off the disk would be
        // sent again by the next start: rather than that, this session stops using the outbox.
        if (!outbox_->RemoveOldest()) FallBack();
        PublishWaiting();
        return 0;
    }
    if (fell_back_) return 0;  // the rest goes from memory, at once
    if (!oldest_cut_off_) outbox_->UnmarkOldestTried();
    next_attempt_ms_ = SteadyMs() + kRetryWaitMs;
    return kRetryWaitMs;
}

bool Delivery::DeliverBacklogFromMemory() {
    while (outbox_ && client_ && outbox_->size() > 0) {
        const std::optional<StoredReport> report = outbox_->Oldest(drops_);
        if (!report) break;
        const bool cut_off_before =
            outbox_->MarkOldestTried() ||
            (outbox_->oldest_sequence() == oldest_sequence_ && oldest_cut_off_);
        if (!Deliver(RequestFor(*report), cut_off_before)) {
            PublishWaiting();
            return false;  // stopping: it stays saved
        }
        outbox_->RemoveOldest();
        PublishWaiting();
    }
    while (!unstored_.empty()) {
        const HttpParams request = std::move(unstored_.front());
        unstored_.pop_front();
        if (!DeliverHeld(request)) {
            // Stopping: what was held in memory is lost, as it would be without the outbox.
            Counters().waiting_in_memory.fetch_sub(unstored_.size());
            Counters().dropped_at_quit.fetch_add(unstored_.size());
            unstored_.clear();
            return false;
        }
    }
    if (operations_in_memory_ > 0) {
        finished_(operations_in_memory_);
        operations_in_memory_ = 0;
    }
    PublishWaiting();
    return true;
}

bool Delivery::Deliver(const HttpParams& request, bool cut_off_before) {
    if (!client_) return false;
    bool cut_off = cut_off_before;
    for (int attempt = 1;; ++attempt) {
        // A stopping worker neither makes nor waits for an attempt: the attempt gives up at
        // once, and so does the pause.
        if (attempt > 1 && !WaitBeforeRetry(kRetryWaitMs, stop_)) return false;
        const DWORD connect_flags = attempt == 1 ? kFirstAttemptConnectFlags : 0;
        if (TryOnce(request, connect_flags, cut_off)) return true;
    }
}

bool Delivery::TryOnce(const HttpParams& request, DWORD connect_flags, bool& cut_off,
                       AttemptWaitHook* while_waiting) {
    const AttemptOutcome outcome = client_->PostOnce(request, connect_flags, while_waiting);
    DeliveryCounters& counters = Counters();
    if (outcome.delivered) {
        counters.delivered.fetch_add(1);
        if (cut_off) counters.possible_duplicates.fetch_add(1);
        return true;
    }
    counters.failed_attempts.fetch_add(1);
    counters.last_failure_status.store(outcome.status);
    counters.last_failure_error.store(outcome.status == 0 ? outcome.error : 0);
    if (MayHaveArrived(outcome)) cut_off = true;
    return false;
}

bool Delivery::DoChore() noexcept { return outbox_ && outbox_->RemoveOneDelivered(); }

void Delivery::FallBack() noexcept {
    if (fell_back_) return;
    fell_back_ = true;
    OutputDebugStringA(kOutboxFallbackLine);
    Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kFellBack));
}

void Delivery::PublishWaiting() noexcept {
    DeliveryCounters& counters = Counters();
    counters.waiting_in_outbox.store(outbox_ ? outbox_->size() : 0);
    counters.dropped_outbox_full.store(drops_.full);
    counters.dropped_damaged.store(drops_.damaged);
    std::uint64_t oldest = outbox_ ? outbox_->oldest_created_ms() : 0;
    if (memory_report_created_ms_ != 0 && (oldest == 0 || memory_report_created_ms_ < oldest)) {
        oldest = memory_report_created_ms_;
    }
    counters.oldest_waiting_created_ms.store(oldest);
}

}  // namespace mirto
