// The library's delivery counters: what the exported functions accepted and refused, and what
// became of the reports. Plain atomics, constant-initialised and never destroyed: game threads
// and the worker add to them, and reading them (GetDeliveryStats) never waits for anyone.
#ifndef MIRTO_CORE_DELIVERY_STATS_H
#define MIRTO_CORE_DELIVERY_STATS_H

#include <atomic>
#include <cstdint>

#include "win/wall_clock.h"

namespace mirto {

// Whether reports go through the outbox.
enum class OutboxState : std::uint32_t {
    kOff = 0,       // not chosen
    kChosen = 1,    // chosen, the session has not opened it yet
    kOn = 2,        // in use
    kFellBack = 3,  // chosen, but the disk failed: memory only for the rest of the session
};

struct DeliveryCounters {
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> refused_no_worker{0};
    std::atomic<std::uint64_t> refused_queue_full{0};
    std::atomic<std::uint64_t> refused_params{0};
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> failed_attempts{0};
    std::atomic<std::uint64_t> possible_duplicates{0};
    std::atomic<std::uint64_t> restored{0};
    std::atomic<std::uint64_t> waiting_in_memory{0};
    std::atomic<std::uint64_t> waiting_in_outbox{0};
    std::atomic<std::uint64_t> dropped_outbox_full{0};
    std::atomic<std::uint64_t> dropped_damaged{0};
    std::atomic<std::uint64_t> dropped_at_quit{0};
    std::atomic<std::uint64_t> dropped_expired{0};
    std::atomic<std::uint64_t> dropped_out_of_memory{0};
    std::atomic<std::uint64_t> oldest_waiting_created_ms{0};  // 0: nothing waits
    std::atomic<std::uint32_t> last_failure_status{0};
    std::atomic<std::uint32_t> last_failure_error{0};
    std::atomic<std::uint32_t> outbox_state{0};
    // The player's choice (core/consent_gate.h): operations held now, held ones given up to
    // stay within the bound, and operations and reports given up for a refusal or a deletion.
    std::atomic<std::uint32_t> operations_held{0};
    std::atomic<std::uint64_t> held_dropped_full{0};
    std::atomic<std::uint64_t> operations_dropped_consent{0};
    std::atomic<std::uint64_t> reports_dropped_consent{0};
};

DeliveryCounters& Counters() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_DELIVERY_STATS_H
