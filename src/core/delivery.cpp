// The retry loop, the outbox's turn in the worker's loop, and the requests they make: each
// report's path and body, sent to the host the slot holds when the report is submitted.
#include "core/delivery.h"

#include <algorithm>
#include <utility>

#include "core/delivery_stats.h"
#include "core/host_slot.h"
#include "core/retry_wait.h"
#include "log/log_line.h"
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

// A report as it leaves now: for the host the slot holds at this moment.
StoredReport ReportFor(const wchar_t* path, const std::string& body, ReportPriority priority) {
    StoredReport report;
    report.priority = priority == ReportPriority::kDropFirst ? OutboxPriority::kDropFirst
                                                             : OutboxPriority::kDropLast;
    report.port = kReportPort;
    report.secure = true;
    report.created_ms = WallClockMs();
    report.host = Units(CollectionHost().Get());
    report.path = Units(path);
    report.body = body;
    return report;
}

// One attempt; one that cannot be made for want of memory (its copy of the request) fails.
AttemptOutcome AttemptOrFail(const WinInetClient& client, const HttpParams& request,
                             DWORD connect_flags, AttemptWaitHook* while_waiting) noexcept {
    try {
        return client.PostOnce(request, connect_flags, while_waiting);
    } catch (...) {
        return AttemptOutcome{false, 0, ERROR_NOT_ENOUGH_MEMORY};
    }
}

}  // namespace

Delivery::~Delivery() {
    // The session ends (the worker stops): what still waits in memory is lost, the internet
    // session and the outbox are let go of, and the counters read as before a start.
    const std::uint64_t lost = unstored_.size() + batch_.size();
    Counters().waiting_in_memory.fetch_sub(unstored_.size());
    Counters().dropped_at_quit.fetch_add(lost);
    client_.reset();
    outbox_.reset();
    if (outbox_chosen_) {
        Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kChosen));
    }
    PublishWaiting();
}

bool Delivery::Connect(const std::wstring& application_id) noexcept {
    // A session begun again (its local data deleted) goes on with the internet session it has:
    // an attempt given up at its bound may still be using it.
    if (!client_) client_.emplace(stop_);
    if (!client_->is_open()) {
        client_.reset();
        return false;
    }
    OpenOutbox(application_id);
    return true;
}

void Delivery::OpenOutbox(const std::wstring& application_id) noexcept {
    if (!outbox_chosen_ || outbox_ || fell_back_) return;
    try {
        outbox_ = Outbox::Open(application_id, drops_);
        // A batch never grows past its bound, so gathering it never allocates.
        if (outbox_) {
            batch_.reserve(2 * kMaxBatchOperations);
            batch_tickets_.reserve(2 * kMaxBatchOperations);
        }
    } catch (...) {
        outbox_.reset();
    }
    if (outbox_) {
        restored_counted_ = outbox_->size();
        Counters().restored.fetch_add(restored_counted_);
        Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kOn));
    } else {
        FallBack();
    }
    PublishWaiting();
}

void Delivery::DropWaiting() noexcept {
    Counters().reports_dropped_consent.fetch_add(batch_.size() + unstored_.size());
    batch_.clear();
    batch_tickets_.clear();
    batch_operations_ = 0;
    batch_bytes_ = 0;
    Counters().waiting_in_memory.fetch_sub(unstored_.size());
    unstored_.clear();
    // An outbox opened later starts its attempts afresh.
    outbox_.reset();
    restored_counted_ = 0;
    last_sequence_ = 0;
    last_attempted_ = false;
    next_attempt_ms_ = 0;
    set_aside_due_ms_ = 0;
    set_aside_pause_ms_ = 0;
    restored_failing_since_ = 0;
    restored_hold_spent_ = 0;
    if (outbox_chosen_ && !fell_back_) {
        Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kChosen));
    }
    PublishWaiting();
    // Flush hears of their operations from the caller, once it has counted all it gives up.
}

void Delivery::HoldBack(std::uint64_t oldest_held) noexcept {
    held_back_ = oldest_held;
    PublishFinished();
}

void Delivery::CountUndelivered(std::uint64_t reports) noexcept {
    (abandon_() ? Counters().reports_dropped_consent : Counters().dropped_at_quit)
        .fetch_add(reports);
}

void Delivery::Disconnect() noexcept {
    batch_.clear();
    batch_tickets_.clear();
    client_.reset();
    if (outbox_) {
        // A start that did not succeed restored nothing: the next one counts what it finds.
        Counters().restored.fetch_sub(restored_counted_);
        restored_counted_ = 0;
        outbox_.reset();
    }
    // A start that did not succeed decided nothing: the next one tries the outbox again.
    unstored_.clear();
    fell_back_ = false;
    if (outbox_chosen_) {
        Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kChosen));
    }
    PublishWaiting();
}

void Delivery::Submit(const wchar_t* path, const std::string& body,
                      ReportPriority priority) noexcept {
    if (abandon_()) {
        Counters().reports_dropped_consent.fetch_add(1);
        return;
    }
    try {
        if (batching()) {
            // Stored with the other reports of the operations handled together (Commit).
            batch_.push_back(ReportFor(path, body, priority));
            try {
                batch_tickets_.push_back(ticket_);
            } catch (...) {
                batch_.pop_back();
                throw;
            }
            batch_bytes_ += body.size();
            return;
        }
        if (!client_) return;
        if (attempt_running_) {
            // Delivered once the attempt is over (SendDue), in its turn.
            unstored_.push_back(Unstored{ticket_, ReportFor(path, body, priority)});
            Counters().waiting_in_memory.fetch_add(1);
            return;
        }
        const HttpParams request(CollectionHost().Get(), kReportPort, path, kReportHeaders,
                                 body.data(), static_cast<std::int32_t>(body.size()));
        DeliverBacklogFromMemory();
        Counters().waiting_in_memory.fetch_add(1);
        DeliverHeld(request, ticket_);
    } catch (...) {
        GiveUpForWantOfMemory(1);
    }
}

void Delivery::EndOperation() noexcept {
    handling_ = false;
    if (batching()) ++batch_operations_;
    PublishFinished();
}

void Delivery::Commit() noexcept {
    batch_operations_ = 0;
    batch_bytes_ = 0;
    if (batch_.empty()) {
        PublishFinished();
        return;
    }
    Outbox::StoreResult result = Outbox::StoreResult::kFailed;
    bool no_memory = false;
    if (outbox_ && !fell_back_) {
        try {
            result = outbox_->Store(batch_);
        } catch (...) {
            no_memory = true;
        }
    }
    if (no_memory) {
        GiveUpForWantOfMemory(batch_.size());
    } else if (result != Outbox::StoreResult::kStored) {
        // The disk refused: these reports go from memory, after what the outbox holds, and
        // their operations finish once they are delivered.
        FallBack();
        std::size_t moved = 0;
        try {
            for (; moved < batch_.size(); ++moved) {
                unstored_.push_back(Unstored{batch_tickets_[moved], std::move(batch_[moved])});
                Counters().waiting_in_memory.fetch_add(1);
            }
        } catch (...) {
            GiveUpForWantOfMemory(batch_.size() - moved);
        }
    }
    batch_.clear();
    batch_tickets_.clear();
    PublishWaiting();
    PublishFinished();
}

bool Delivery::DeliverHeld(const HttpParams& request, std::uint64_t ticket) {
    held_ticket_ = ticket;
    memory_report_created_ms_ = WallClockMs();
    PublishWaiting();
    const bool delivered = Deliver(request);
    memory_report_created_ms_ = 0;
    held_ticket_ = 0;
    Counters().waiting_in_memory.fetch_sub(1);
    if (!delivered) CountUndelivered(1);
    PublishWaiting();
    return delivered;
}

DWORD Delivery::SendDue(AttemptWaitHook* while_waiting) noexcept {
    // A refusal or a deletion is on its way: nothing more is begun before it is carried out.
    if (!client_ || !outbox_ || abandon_()) return INFINITE;
    try {
        if (fell_back_) {
            const DWORD wait = DeliverBacklogFromMemory();
            if (wait == 0 || !outbox_) return wait;
            // From memory too, the outbox's own work (the flush of the marks among it) is done
            // once nothing else is due.
            if (outbox_->DoChore()) return 0;
            return std::min(wait, outbox_->ChoreDueInMs());
        }
        const ULONGLONG now = SteadyMs();
        if (now < next_attempt_ms_) {
            // Nothing to attempt yet: a chore, if there is one, else a wait.
            if (outbox_->DoChore()) return 0;
            return static_cast<DWORD>(
                std::min<ULONGLONG>(next_attempt_ms_ - now, outbox_->ChoreDueInMs()));
        }
        const std::optional<Outbox::Pick> pick = outbox_->Next(now >= set_aside_due_ms_);
        PublishWaiting();
        if (!pick) {
            if (outbox_->DoChore()) return 0;
            DWORD wait = outbox_->ChoreDueInMs();
            if (outbox_->size() > 0 && set_aside_due_ms_ > now) {
                wait = static_cast<DWORD>(std::min<ULONGLONG>(wait, set_aside_due_ms_ - now));
            }
            return wait;
        }
        if (SendPick(*pick, while_waiting)) return 0;
        const ULONGLONG after = SteadyMs();
        return after >= next_attempt_ms_ ? 0 : static_cast<DWORD>(next_attempt_ms_ - after);
    } catch (...) {
        // Out of memory on the way: the report stays saved, and is tried again later.
        attempt_running_ = false;
        outbox_->Pin(0);
        next_attempt_ms_ = SteadyMs() + kRetryWaitMs;
        return kRetryWaitMs;
    }
}

bool Delivery::SendPick(const Outbox::Pick& pick, AttemptWaitHook* while_waiting) {
    if (pick.sequence != last_sequence_) {
        last_sequence_ = pick.sequence;
        last_attempted_ = false;
    }
    const HttpParams request = RequestFor(pick.report);
    // An earlier attempt (of this process, or the one before) may have reached the collector.
    bool cut_off = outbox_->MarkTried(pick.sequence);
    const DWORD connect_flags = last_attempted_ ? 0 : kFirstAttemptConnectFlags;
    last_attempted_ = true;
    // Operations handled while the attempt runs store their reports, but never in place of
    // the one being attempted.
    outbox_->Pin(pick.sequence);
    attempt_running_ = true;
    const ULONGLONG started = SteadyMs();
    const bool delivered = TryOnce(request, connect_flags, cut_off, while_waiting);
    attempt_running_ = false;
    outbox_->Pin(0);
    // The acceptances written with its mark wait no longer than the flush's due time, whatever
    // the attempt's wait did meanwhile (from memory, it does no chores).
    outbox_->FlushMarksIfDue();
    const ULONGLONG now = SteadyMs();
    if (delivered) {
        if (pick.restored && restored_failing_since_ != 0) {
            restored_hold_spent_ += now - restored_failing_since_;
            restored_failing_since_ = 0;
        }
        if (pick.set_aside) set_aside_pause_ms_ = 0;
        // A report whose acceptance can be neither recorded nor taken off the disk would be
        // sent again by the next start: it is counted so, and this session stops using the
        // outbox.
        if (!outbox_->Accepted(pick.sequence)) {
            Counters().possible_duplicates.fetch_add(1);
            FallBack();
        }
        PublishWaiting();
        next_attempt_ms_ = 0;
        return true;
    }
    if (cut_off) {
        outbox_->NoteMayHaveArrived(pick.sequence);
    } else {
        outbox_->UnmarkTried(pick.sequence);
    }
    if (pick.set_aside) {
        // Tried again when nothing else waits, less and less often: it never holds up what
        // comes after it.
        set_aside_pause_ms_ =
            set_aside_pause_ms_ == 0
                ? kRetryWaitMs
                : std::min<ULONGLONG>(2 * set_aside_pause_ms_, kSetAsideLongestPauseMs);
        set_aside_due_ms_ = now + set_aside_pause_ms_;
        outbox_->SetAside(pick.sequence);  // to the back of those set aside
        return false;
    }
    next_attempt_ms_ = now + kRetryWaitMs;
    if (pick.restored) {
        // Reports saved by an earlier process hold this session's up for a while at most: past
        // that, one that fails goes after them, with the others for its host.
        if (restored_failing_since_ == 0) restored_failing_since_ = started;
        if (restored_hold_spent_ + (now - restored_failing_since_) >= kRestoredHoldMs) {
            outbox_->SetAside(pick.sequence);
            next_attempt_ms_ = now;  // the next report goes at once
        }
    }
    return false;
}

DWORD Delivery::DeliverBacklogFromMemory() {
    // What the outbox still holds (but what was set aside) goes first, each report retried
    // until it is accepted or set aside.
    while (outbox_ && client_) {
        const std::optional<Outbox::Pick> pick = outbox_->Next(false);
        if (!pick) break;
        if (SendPick(*pick, nullptr)) continue;
        const ULONGLONG now = SteadyMs();
        if (next_attempt_ms_ > now &&
            !WaitBeforeRetry(static_cast<DWORD>(next_attempt_ms_ - now), stop_, abandon_)) {
            PublishWaiting();
            return 0;  // stopping (or given up for the player): it stays saved
        }
    }
    PublishWaiting();
    while (!unstored_.empty()) {
        // The request is made before the report leaves the list: without memory for it, the
        // report stays, and is tried again later.
        const HttpParams request = RequestFor(unstored_.front().report);
        const std::uint64_t ticket = unstored_.front().ticket;
        unstored_.pop_front();
        if (!DeliverHeld(request, ticket)) {
            // Quitting (or given up for the player): what was held in memory is lost, as it
            // would be without the outbox.
            Counters().waiting_in_memory.fetch_sub(unstored_.size());
            CountUndelivered(unstored_.size());
            unstored_.clear();
            PublishFinished();
            return 0;
        }
        PublishFinished();
    }
    PublishWaiting();
    if (!outbox_ || !client_ || outbox_->size() == 0) return INFINITE;
    // Only reports set aside are left: one attempt when it is due.
    if (SteadyMs() >= set_aside_due_ms_) {
        const std::optional<Outbox::Pick> pick = outbox_->Next(true);
        if (pick && SendPick(*pick, nullptr)) return 0;
    }
    const ULONGLONG after = SteadyMs();
    return after >= set_aside_due_ms_ ? kRetryWaitMs
                                      : static_cast<DWORD>(set_aside_due_ms_ - after);
}

bool Delivery::Deliver(const HttpParams& request, bool cut_off_before) noexcept {
    if (!client_) return false;
    bool cut_off = cut_off_before;
    for (int attempt = 1;; ++attempt) {
        // A stopping worker neither makes nor waits for an attempt: the attempt gives up at
        // once, and so does the pause.
        if (attempt > 1 && !WaitBeforeRetry(kRetryWaitMs, stop_, abandon_)) return false;
        const DWORD connect_flags = attempt == 1 ? kFirstAttemptConnectFlags : 0;
        if (TryOnce(request, connect_flags, cut_off)) return true;
    }
}

bool Delivery::TryOnce(const HttpParams& request, DWORD connect_flags, bool& cut_off,
                       AttemptWaitHook* while_waiting) noexcept {
    const AttemptOutcome outcome = AttemptOrFail(*client_, request, connect_flags, while_waiting);
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

bool Delivery::DoChore() noexcept {
    try {
        return outbox_ && outbox_->DoChore();
    } catch (...) {
        return false;  // out of memory: the chore waits for a later turn
    }
}

void Delivery::FallBack() noexcept {
    if (fell_back_) return;
    fell_back_ = true;
    WriteLine(kOutboxFallbackLine);
    Counters().outbox_state.store(static_cast<std::uint32_t>(OutboxState::kFellBack));
}

void Delivery::GiveUpForWantOfMemory(std::uint64_t reports) noexcept {
    Counters().dropped_out_of_memory.fetch_add(reports);
}

void Delivery::PublishWaiting() noexcept {
    DeliveryCounters& counters = Counters();
    // Files another program held at the start are listed later: their reports are restored too.
    if (outbox_ && outbox_->restored() > restored_counted_) {
        counters.restored.fetch_add(outbox_->restored() - restored_counted_);
        restored_counted_ = outbox_->restored();
    }
    counters.waiting_in_outbox.store(outbox_ ? outbox_->size() : 0);
    counters.dropped_outbox_full.store(drops_.full);
    counters.dropped_damaged.store(drops_.damaged);
    counters.dropped_expired.store(drops_.expired);
    std::uint64_t oldest = outbox_ ? outbox_->oldest_created_ms() : 0;
    if (memory_report_created_ms_ != 0 && (oldest == 0 || memory_report_created_ms_ < oldest)) {
        oldest = memory_report_created_ms_;
    }
    counters.oldest_waiting_created_ms.store(oldest);
}

void Delivery::PublishFinished() noexcept {
    // The oldest operation that has not finished: the one being handled, or the oldest with a
    // report still gathered for the outbox, or waiting in memory, or held by the consent gate.
    std::uint64_t oldest = handling_ ? ticket_ : 0;
    const auto consider = [&oldest](std::uint64_t ticket) {
        if (ticket != 0 && (oldest == 0 || ticket < oldest)) oldest = ticket;
    };
    if (!batch_tickets_.empty()) consider(batch_tickets_.front());
    if (!unstored_.empty()) consider(unstored_.front().ticket);
    consider(held_ticket_);
    consider(held_back_);
    const std::uint64_t through = oldest != 0 ? oldest - 1 : last_taken_;
    if (through > finished_through_) {
        finished_through_ = through;
        finished_(through);
    }
}

}  // namespace mirto
