// The shared consent values and the post of a decision to the worker.
#include "core/consent.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/operation_queue.h"
#include "core/worker.h"
#include "core/worker_request.h"

namespace mirto {
namespace {

struct SharedConsent {
    std::atomic<bool> required{false};  // changed under the worker's start lock, before any start
    // The latest decision: its serial above the low 8 bits, the Decision in them.
    std::atomic<std::uint64_t> latest{0};      // written holding the request gate
    std::uint64_t latest_before_deletion = 0;  // guarded by the request gate
    std::atomic<std::uint32_t> purges_announced{0};
    std::atomic<std::uint32_t> purges_taken{0};
    std::atomic<std::uint32_t> decisions_announced{0};
    std::atomic<std::uint32_t> decisions_taken{0};
    // A refusal no message brings (there was no room to post it), its purge still announced;
    // 0: none. Guarded by the request gate.
    std::uint32_t unposted_refusal = 0;
    std::atomic<bool> start_queued{false};
    std::atomic<bool> held_for_decision{false};
    std::atomic<bool> worker_published{false};
    std::atomic<std::uint32_t> worker_state{0};
};

SharedConsent shared;

// The latest decision after `packed`: the next serial, with `decision`.
std::uint64_t Next(std::uint64_t packed, Decision decision) noexcept {
    return (((packed >> 8) + 1) << 8) | static_cast<std::uint64_t>(decision);
}

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
    // Numbered and posted in one step: the worker gets the decisions in the order of their
    // serials.
    const RequestGate gate;
    const std::uint64_t after = Next(shared.latest.load(), decision);
    shared.latest.store(after);
    // Read after the decision is recorded: a worker that has not published its id yet takes
    // this decision when it comes up; one that is ending takes it as it ends.
    const DWORD worker = WorkerThreadId();
    if (!gate.open() || worker == 0) return;
    shared.decisions_announced.fetch_add(1);
    if (!granted) AnnouncePurge();
    const auto serial = static_cast<std::uint32_t>(after >> 8);
    const std::uintptr_t token = DecisionToken(serial, decision);
    const void* listed = reinterpret_cast<const void*>(token);
    if (ListPosted(kOpConsent, listed)) {
        if (PostThreadMessageW(worker, kOpConsent, 0, static_cast<LPARAM>(token))) return;
        UnlistPosted(kOpConsent, listed);
    }
    // No room to post it. A grant is taken by the worker once no decision is on its way
    // (UnpostedDecision). A refusal may not wait for that: a decision posted after it would
    // pass it by, and what was made before it would be sent. Its purge stays announced, so
    // nothing more is sent from now on, and the worker takes it on its next turn.
    if (granted) {
        shared.decisions_announced.fetch_sub(1);
        return;
    }
    if (shared.unposted_refusal != 0) {
        // One announced refusal stands for both.
        shared.decisions_announced.fetch_sub(1);
        WithdrawPurge();
    }
    shared.unposted_refusal = serial;
}

std::optional<DecisionStamp> TakeUnpostedRefusal(std::optional<std::uint32_t> before) noexcept {
    const RequestGate gate;
    if (shared.unposted_refusal == 0) return std::nullopt;
    if (before && static_cast<std::int32_t>(shared.unposted_refusal - *before) >= 0) {
        return std::nullopt;
    }
    const DecisionStamp refusal{shared.unposted_refusal, Decision::kRefused};
    shared.unposted_refusal = 0;
    PurgeTaken();
    return refusal;
}

std::uint32_t AnnounceDeletion() noexcept {
    AnnouncePurge();
    shared.latest_before_deletion = shared.latest.load();
    const std::uint64_t deletion = Next(shared.latest_before_deletion, Decision::kNone);
    shared.latest.store(deletion);
    return static_cast<std::uint32_t>(deletion >> 8);
}

void WithdrawDeletion() noexcept {
    WithdrawPurge();
    shared.latest.store(shared.latest_before_deletion);
}

std::uintptr_t DecisionToken(std::uint32_t serial, Decision decision) noexcept {
    return (static_cast<std::uintptr_t>(serial) << 4) | static_cast<std::uintptr_t>(decision);
}

DecisionStamp ReadDecisionToken(std::uintptr_t token, std::uint32_t after) noexcept {
    const auto decision = static_cast<Decision>(token & 0xF);
    // The serial's low bits, as many as the token holds (28 in 32 bits): the first serial
    // after `after` with them, unless that lies more than half their range ahead.
    constexpr std::uint32_t kMask =
        sizeof(std::uintptr_t) >= 8 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(UINTPTR_MAX >> 4);
    const std::uint32_t ahead = (static_cast<std::uint32_t>(token >> 4) - after) & kMask;
    return DecisionStamp{ahead > kMask / 2 ? after : after + ahead, decision};
}

std::optional<DecisionStamp> UnpostedDecision(std::uint32_t after,
                                              std::uint32_t unsettled) noexcept {
    const RequestGate gate;
    // A message still on its way brings the latest decision (or one before it) itself.
    if (shared.decisions_announced.load() - shared.decisions_taken.load() != unsettled) {
        return std::nullopt;
    }
    const DecisionStamp latest = LatestDecision();
    if (static_cast<std::int32_t>(latest.serial - after) <= 0) return std::nullopt;
    return latest;
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

std::uint32_t DecisionsPosted() noexcept { return shared.decisions_announced.load(); }

std::uint32_t DecisionsPostedNow() noexcept {
    const RequestGate gate;
    return shared.decisions_announced.load();
}

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

void WithdrawConsentState() noexcept { shared.worker_published.store(false); }

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
