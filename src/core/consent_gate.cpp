// Admitting operations, applying decisions and forgetting the session.
#include "core/consent_gate.h"

#include <cwchar>
#include <utility>

#include "core/delivery_stats.h"
#include "core/operations.h"
#include "outbox/outbox_removal.h"
#include "platform/consent_store.h"
#include "platform/save_path.h"
#include "reports/records.h"
#include "reports/report_state.h"
#include "transport/protocol.h"

namespace mirto {
namespace {

bool SessionStarted() { return CurrentReports().started(); }

const OnStartRecord& StartOf(LPARAM record) { return *reinterpret_cast<OnStartRecord*>(record); }

// Stores the decision, waiting a moment for a profile another program holds. Short of memory it
// is not stored, and what the decision does goes on all the same (a refusal still drops what
// waits).
void StoreDecision(const std::wstring& application_id, bool granted) noexcept {
    try {
        FilePatience patience(kRemovalBudgetMs);
        StoreConsent(application_id, granted, patience);
    } catch (...) {
    }
}

bool Matches(StoredConsent stored, Decision decision) {
    return (stored == StoredConsent::kGranted && decision == Decision::kGranted) ||
           (stored == StoredConsent::kRefused && decision == Decision::kRefused);
}

}  // namespace

ConsentGate::ConsentGate(Delivery& delivery) noexcept : delivery_(delivery) {
    // A refusal an earlier worker could not be told of is part of the latest decision, taken
    // here.
    if (TakeUnpostedRefusal()) DecisionTaken();
    const DecisionStamp latest = LatestDecision();
    decision_ = latest.decision;
    serial_ = latest.serial;
    Publish();
}

bool ConsentGate::Flowing() const noexcept {
    return decision_ == Decision::kGranted || (decision_ == Decision::kNone && !ConsentRequired());
}

// The application whose files the session's decisions and deletions are about: the one whose
// start succeeded, else the first start seen that can name a folder.
std::wstring ConsentGate::SessionApplication() const {
    const ReportContext& reports = CurrentReports();
    if (reports.started()) return reports.index.substr(std::wcslen(kIndexPrefix));
    if (application_) return *application_;
    return forgotten_;
}

void ConsentGate::NoteStart(LPARAM record) {
    const std::wstring& id = StartOf(record).application_id;
    if (!application_ && !SessionStarted() && IsApplicationFolderName(id)) application_ = id;
}

void ConsentGate::Admit(UINT code, LPARAM record, std::uint64_t ticket, OperationRunner& runner) {
    HeldOperation operation(code, record, ticket);
    if (code == kOpOnStart) NoteStart(record);
    // A start that may begin the session learns what an earlier run of the application
    // decided; a decision the game made before it is stored now.
    if (code == kOpOnStart && !SessionStarted() && !PurgePending()) {
        Examine(StartOf(record).application_id, runner);
    }
    if (decision_ == Decision::kRefused || PurgePending()) {
        // Refused, or about to be (a refusal or deletion is queued behind this operation).
        Remember(std::move(operation));
    } else if (Flowing()) {
        runner.Run(std::move(operation));
    } else {
        std::optional<HeldOperation> given_up = held_.Hold(std::move(operation));
        if (given_up) GiveUp(std::move(*given_up), Counters().held_dropped_full);
    }
    Publish();
}

void ConsentGate::Examine(const std::wstring& application_id, OperationRunner& runner) {
    const StoredConsent stored = ReadStoredConsent(application_id);
    if (decision_ != Decision::kNone) {
        if (!Matches(stored, decision_))
            StoreDecision(application_id, decision_ == Decision::kGranted);
        // A refusal made before the session could name its files: what earlier runs saved goes
        // now.
        if (decision_ == Decision::kRefused) DiscardSaved(application_id);
        return;
    }
    if (stored == StoredConsent::kGranted) {
        decision_ = Decision::kGranted;
        Publish();  // before the reports it lets go
        Grant(runner);
    } else if (stored == StoredConsent::kRefused) {
        Refuse(application_id, false);
    }
}

void ConsentGate::Decide(LPARAM token, OperationRunner& runner) {
    const DecisionStamp made = ReadDecisionToken(static_cast<std::uintptr_t>(token), serial_);
    if (made.decision == Decision::kRefused) PurgeTaken();
    // A serial already passed is already taken into account: the worker came up after it was
    // made.
    if (made.serial != serial_) {
        try {
            TakeRefusal(made.serial, &runner);
            Apply(made, runner);
        } catch (...) {
            // Out of memory while carrying it out: it is taken as far as it went.
        }
    }
    // Taken once it is stored and carried out, and the reports it released are committed too
    // (SettleDecisions): a Flush waits for that.
    ++unsettled_decisions_;
    Publish();
}

void ConsentGate::SettleDecisions() noexcept {
    if (unsettled_decisions_ == 0) return;
    for (; unsettled_decisions_ > 0; --unsettled_decisions_) DecisionTaken();
    Progress();  // a Flush may wait for these decisions
}

void ConsentGate::TakeUnposted(OperationRunner& runner) {
    if (TakeRefusal(std::nullopt, &runner)) {
        Publish();
        Progress();
    }
    const std::optional<DecisionStamp> made = UnpostedDecision(serial_, unsettled_decisions_);
    if (!made) return;
    Apply(*made, runner);
    Publish();
    Progress();
}

bool ConsentGate::TakeRefusal(std::optional<std::uint32_t> before, OperationRunner* runner) {
    const std::optional<DecisionStamp> refusal = TakeUnpostedRefusal(before);
    if (!refusal) return false;
    ++unsettled_decisions_;  // counted as taken once carried out, like a posted one
    if (static_cast<std::int32_t>(refusal->serial - serial_) <= 0) return true;
    if (runner != nullptr) {
        Apply(*refusal, *runner);
    } else {
        serial_ = refusal->serial;
    }
    return true;
}

void ConsentGate::Apply(DecisionStamp made, OperationRunner& runner) {
    serial_ = made.serial;
    const std::wstring application = SessionApplication();
    if (made.decision == Decision::kGranted) {
        // What this session's refusal could not remove (files another program held) was made
        // before it: it goes now, before the grant is stored and the outbox taken up again.
        if (decision_ == Decision::kRefused && saved_left_ && !application.empty()) {
            try {
                DiscardSaved(application);
            } catch (...) {
                // Short of memory: the grant goes on.
            }
        }
        decision_ = Decision::kGranted;
        if (!application.empty()) StoreDecision(application, true);
        Publish();  // before the released operations, whose delivery may take a while
        Grant(runner);
    } else if (made.decision == Decision::kRefused) {
        Refuse(application, true);
    }
    // (Nothing decided: a deletion's, carried out by Forget.)
}

void ConsentGate::Grant(OperationRunner& runner) {
    // A session that a refusal interrupted takes up its outbox again.
    if (SessionStarted()) delivery_.OpenOutbox(SessionApplication());
    for (HeldOperation& operation : held_.TakeAll()) RunReleased(std::move(operation), runner);
}

void ConsentGate::RunReleased(HeldOperation operation, OperationRunner& runner) {
    if (decision_ == Decision::kRefused || PurgePending()) {
        Remember(std::move(operation));
    } else {
        runner.Run(std::move(operation));
    }
}

void ConsentGate::Refuse(const std::wstring& application_id, bool store) {
    decision_ = Decision::kRefused;
    // The state shows at once; Flush hears of anything finished only once all that the refusal
    // gives up is counted.
    PublishConsentState(ConsentState::kRefused);
    // Stored before the saved reports go: a game that quits while they are being removed keeps
    // the refusal, and the next start removes what is left.
    if (store && !application_id.empty()) StoreDecision(application_id, false);
    Counters().operations_dropped_consent.fetch_add(
        held_.KeepSessionOnly(!SessionStarted()).size());
    delivery_.DropWaiting();  // lets go of the outbox too, before its files are removed
    if (!application_id.empty()) DiscardSaved(application_id);
    // What a refusal keeps produces nothing unless a grant comes: not worth a Flush's wait.
    held_.MarkAllCounted();
    Publish();
    Progress();
}

// Whatever is given up is counted before Flush hears that it finished, so a game that reads
// the counters once Flush returned sees every drop.
void ConsentGate::Remember(HeldOperation operation) {
    operation.MarkCounted();
    if (held_.Remember(std::move(operation), !SessionStarted())) {
        Counters().operations_dropped_consent.fetch_add(1);
    }
    Progress();
}

void ConsentGate::GiveUp(HeldOperation operation, std::atomic<std::uint64_t>& counter) noexcept {
    counter.fetch_add(1);
    static_cast<void>(operation);  // its record goes with it
    Progress();
}

void ConsentGate::DiscardSaved(const std::wstring& application_id) {
    FilePatience patience(kRemovalBudgetMs);
    const OutboxDiscard discard = DiscardOutbox(application_id, patience);
    Counters().reports_dropped_consent.fetch_add(discard.reports);
    saved_left_ = discard.left_behind;
}

bool ConsentGate::Forget(std::uint32_t serial) {
    PurgeTaken();
    TakeRefusal(serial, nullptr);
    Counters().operations_dropped_consent.fetch_add(held_.TakeAll().size());
    delivery_.DropWaiting();
    std::uint64_t reports = 0;
    const std::wstring application = SessionApplication();
    // The next start begins the session anew, as on a machine that never ran the game.
    ResetReports();
    decision_ = Decision::kNone;
    application_.reset();
    forgotten_ = application;  // what a repeated deletion removes again
    bool removed = true;
    if (!application.empty()) {
        FilePatience patience(kRemovalBudgetMs);
        const OutboxDiscard discard = DiscardOutbox(application, patience);
        reports += discard.reports;
        removed = RemoveProfile(application, patience) && discard.removed;
    }
    Counters().reports_dropped_consent.fetch_add(reports);
    Publish();
    return removed;
}

ConsentGate::~ConsentGate() {
    SettleDecisions();
    // The library stops with operations held (for the player's answer, or remembered through a
    // refusal): they are given up, and counted.
    Counters().operations_dropped_consent.fetch_add(held_.TakeAll().size());
    Counters().operations_held.store(0);
    WithdrawConsentState();
}

void ConsentGate::Publish() noexcept {
    ConsentState state = ConsentState::kNotAsked;
    if (decision_ == Decision::kGranted) {
        state = ConsentState::kGranted;
    } else if (decision_ == Decision::kRefused) {
        state = ConsentState::kRefused;
    } else if (ConsentRequired()) {
        state = ConsentState::kWaiting;
    }
    PublishConsentState(state);
    const bool waiting = state == ConsentState::kWaiting;
    Counters().operations_held.store(waiting ? static_cast<std::uint32_t>(held_.size()) : 0);
    // Held with nothing to release them but the player: a Flush waiting for them is told.
    const bool held = waiting && !held_.empty();
    PublishHeldForDecision(held);
    if (held && !held_published_) delivery_.WakeFlush();
    held_published_ = held;
    delivery_.HoldBack(held_.OldestUncounted());
}

void ConsentGate::Progress() noexcept {
    delivery_.HoldBack(held_.OldestUncounted());
    delivery_.WakeFlush();
}

}  // namespace mirto
