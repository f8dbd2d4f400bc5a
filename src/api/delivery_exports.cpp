// The three optional exports of namespace mirto that govern delivery rather than report
// anything: the outbox choice, the bounded flush and the counters. None of them queues an
// operation; only Flush waits, and never longer than asked.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/consent.h"
#include "core/delivery_stats.h"
#include "core/worker.h"
#include "log/log_line.h"
#include "mirto/mirto.h"
#include "reports/messages.h"

namespace mirto {
namespace {

// The fields every caller's struct has: its size and the outbox state.
constexpr unsigned int kSmallestStats = 8;

MirtoDeliveryStats Snapshot() noexcept {
    const DeliveryCounters& counters = Counters();
    MirtoDeliveryStats stats{};
    stats.size = sizeof(MirtoDeliveryStats);
    stats.outbox_state = counters.outbox_state.load();
    if (stats.outbox_state == static_cast<unsigned int>(OutboxState::kOff) && OutboxChosen()) {
        stats.outbox_state = static_cast<unsigned int>(OutboxState::kChosen);
    }
    stats.last_failure_status = counters.last_failure_status.load();
    stats.last_failure_error = counters.last_failure_error.load();
    stats.operations_accepted = counters.accepted.load();
    stats.refused_no_worker = counters.refused_no_worker.load();
    stats.refused_queue_full = counters.refused_queue_full.load();
    stats.refused_params = counters.refused_params.load();
    stats.reports_delivered = counters.delivered.load();
    stats.attempts_failed = counters.failed_attempts.load();
    stats.possible_duplicates = counters.possible_duplicates.load();
    stats.reports_restored = counters.restored.load();
    stats.waiting_in_memory = counters.waiting_in_memory.load();
    stats.waiting_in_outbox = counters.waiting_in_outbox.load();
    stats.dropped_outbox_full = counters.dropped_outbox_full.load();
    stats.dropped_damaged = counters.dropped_damaged.load();
    stats.dropped_at_quit = counters.dropped_at_quit.load();
    const std::uint64_t oldest = counters.oldest_waiting_created_ms.load();
    const std::uint64_t now = WallClockMs();
    stats.oldest_waiting_age_ms = oldest != 0 && now > oldest ? now - oldest : 0;
    const std::int32_t waiting = PendingOperations();
    stats.operations_waiting = waiting > 0 ? static_cast<unsigned long long>(waiting) : 0;
    stats.dropped_expired = counters.dropped_expired.load();
    stats.dropped_out_of_memory = counters.dropped_out_of_memory.load();
    stats.consent_state = static_cast<unsigned int>(CurrentConsentState());
    stats.operations_held = counters.operations_held.load();
    stats.held_dropped_full = counters.held_dropped_full.load();
    stats.operations_dropped_consent = counters.operations_dropped_consent.load();
    stats.reports_dropped_consent = counters.reports_dropped_consent.load();
    return stats;
}

}  // namespace

void MIRTO_CALL SetOutbox(bool enabled) noexcept {
    if (!ChooseOutbox(enabled)) WriteLine(kSetOutboxTooLateLine);
}

bool MIRTO_CALL Flush(unsigned int timeout_ms) noexcept {
    return WaitForOperations(static_cast<DWORD>(timeout_ms));
}

void MIRTO_CALL GetDeliveryStats(DeliveryStats* stats) noexcept {
    if (stats == nullptr || stats->size < kSmallestStats) {
        WriteLine(kGetDeliveryStatsParamsError);
        return;
    }
    const MirtoDeliveryStats snapshot = Snapshot();
    const std::size_t filled = std::min<std::size_t>(stats->size, sizeof(snapshot));
    std::memcpy(stats, &snapshot, filled);
    stats->size = static_cast<unsigned int>(filled);
}

}  // namespace mirto
