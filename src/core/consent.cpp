// The shared consent values and the post of a decision to the worker.
#include "core/consent.h"

#include <windows.h>

#include <atomic>

#include "core/worker.h"

namespace mirto {
namespace {

struct SharedConsent {
    std::atomic<bool> required{false};  // changed under the worker's start lock, before any start
    // The latest decision: its serial above the low 8 bits, the Decision in them.
    std::atomic<std::uint64_t> latest{0};
    std::atomic<std::uint32_t> purges_announced{0};
    std::atomic<std::uint32_t> purges_taken{0};
    std::atomic<std::uint32_t> decisions_announced{0};
    std::atomic<std::uint32_t> decisions_taken{0};
    std::atomic<bool> start_queued{false};
    std::atomic<bool> held_for_decision{false};
    std::atomic<bool> worker_published{false};
    std::atomic<std::uint32_t> worker_state{0};
};

SharedConsent shared;

DecisionStamp Unpack(std::uint64_t packed) noexcept {
    return DecisionStamp{static_cast<std::uint32_t>(packed >> 8),
                         static_cast<Decision>(packed & 0xFF)};
}

}  // namespace

bool ChooseConsentRequired(bool required) noexcept {
    return ChooseBeforeFirstStart(shared.required, required);
}

bool ConsentRequired() noexcept { return shared.required.load(); }

void RecordDecision(bool granted) noexcept {
    const Decision decision = granted ? Decision::kGranted : Decision::kRefused;
    std::uint64_t before = shared.latest.load();
    std::uint64_t after = 0;
    do {
        const std::uint64_t serial = (before >> 8) + 1;
        after = (serial << 8) | static_cast<std::uint64_t>(decision);
    } while (!shared.latest.compare_exchange_weak(before, after));
    // Read after the decision is recorded: a worker that has not published its id yet takes
    // this decision when it comes up; one that has gets the message.
    const DWORD worker = WorkerThreadId();
    if (worker == 0) return;
    shared.decisions_announced.fetch_add(1);
    if (!granted) AnnouncePurge();
    if (!PostThreadMessageW(worker, kOpConsent, static_cast<WPARAM>(after >> 8),
                            static_cast<LPARAM>(decision))) {
        // The worker has ended: nothing is left to apply it to.
        shared.decisions_announced.fetch_sub(1);
        if (!granted) WithdrawPurge();
    }
}

DecisionStamp LatestDecision() noexcept { return Unpack(shared.latest.load()); }

void AnnouncePurge() noexcept { shared.purges_announced.fetch_add(1); }
void WithdrawPurge() noexcept { shared.purges_announced.fetch_sub(1); }
void PurgeTaken() noexcept { shared.purges_taken.fetch_add(1); }
bool PurgePending() noexcept {
    return shared.purges_announced.load() != shared.purges_taken.load();
}

void DecisionTaken() noexcept { shared.decisions_taken.fetch_add(1); }
bool DecisionPending() noexcept {
    return shared.decisions_announced.load() != shared.decisions_taken.load();
}

bool IsAnnouncedDecision(std::uintptr_t serial, std::intptr_t decision) noexcept {
    const auto made = static_cast<Decision>(decision);
    const std::uint32_t latest = LatestDecision().serial;
    return DecisionPending() && (made == Decision::kGranted || made == Decision::kRefused) &&
           serial != 0 && serial <= 0xFFFFFFFFu &&
           static_cast<std::int32_t>(latest - static_cast<std::uint32_t>(serial)) >= 0;
}

std::uint32_t DecisionsPosted() noexcept { return shared.decisions_announced.load(); }

bool DecisionsTaken(std::uint32_t posted) noexcept {
    return static_cast<std::int32_t>(shared.decisions_taken.load() - posted) >= 0;
}

void NoteStartQueued() noexcept { shared.start_queued.store(true); }
bool StartQueued() noexcept { return shared.start_queued.load(); }

void PublishHeldForDecision(bool held) noexcept { shared.held_for_decision.store(held); }
bool HeldForDecision() noexcept { return shared.held_for_decision.load() && !DecisionPending(); }

void PublishConsentState(ConsentState state) noexcept {
    shared.worker_state.store(static_cast<std::uint32_t>(state));
    shared.worker_published.store(true);
}

ConsentState CurrentConsentState() noexcept {
    if (shared.worker_published.load()) {
        return static_cast<ConsentState>(shared.worker_state.load());
    }
    switch (LatestDecision().decision) {
        case Decision::kGranted:
            return ConsentState::kGranted;
        case Decision::kRefused:
            return ConsentState::kRefused;
        case Decision::kNone:
            break;
    }
    return ConsentRequired() ? ConsentState::kWaiting : ConsentState::kNotAsked;
}

}  // namespace mirto
