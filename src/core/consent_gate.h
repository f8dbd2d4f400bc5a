// The worker's side of the player's choice: every operation the worker takes off its queue
// passes here and is run, held or given up, and the game's decisions and deletions are
// carried out here, in their place among the operations.
//
// - Nothing decided and no consent required: operations run as they always have. A start
//   looks for a decision stored by an earlier run (reading only), and a stored refusal holds.
// - Consent required and nothing decided: operations are held in memory, in order
//   (core/holding_area.h); nothing is sent and nothing is written to disk.
// - Granted: the decision is stored in the profile, then the held operations run in the order
//   they were made, and everything after flows.
// - Refused: the held operations, the reports that wait (in memory and in the outbox) and the
//   operations still queued behind are given up and counted, and the decision is stored. Later
//   operations produce nothing; only the session's start and its latest user are remembered,
//   so that a later grant starts the session (and makes its ids) from that moment on.
// - Deleted (DeleteLocalData): everything waiting is given up, the profile (ids and decision)
//   and the outbox folder are removed, and the session is as before its first start.
//
// Operations given up count as finished for Flush, and so do the start and user a refusal
// remembers; held ones do not, and while nothing on its way can release them Flush is told
// not to wait for them (core/consent.h).
//
// Owned by the worker's loop, next to its delivery; worker thread only.
#ifndef MIRTO_CORE_CONSENT_GATE_H
#define MIRTO_CORE_CONSENT_GATE_H

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/consent.h"
#include "core/delivery.h"
#include "core/holding_area.h"

namespace mirto {

// How long one refusal or deletion may wait, in all, for files that other programs hold.
constexpr DWORD kRemovalBudgetMs = 1500;

// Runs an operation now, through its handler, under the number the worker gave it.
class OperationRunner {
   public:
    virtual void Run(HeldOperation operation) = 0;

   protected:
    ~OperationRunner() = default;
};

class ConsentGate {
   public:
    // Starts from the latest decision the game recorded before the worker came up.
    explicit ConsentGate(Delivery& delivery) noexcept;
    ConsentGate(const ConsentGate&) = delete;
    ConsentGate& operator=(const ConsentGate&) = delete;
    ~ConsentGate();

    // An operation taken off the queue, numbered `ticket` (the gate owns its record from here
    // on).
    void Admit(UINT code, LPARAM record, std::uint64_t ticket, OperationRunner& runner);
    // A kOpConsent message that the library posted (its token).
    void Decide(LPARAM token, OperationRunner& runner);
    // A decision the game made that no message brings (core/consent.h): taken now.
    void TakeUnposted(OperationRunner& runner);
    // The decisions carried out since the last call count as taken (for Flush): called once
    // the reports they released are committed to the delivery.
    void SettleDecisions() noexcept;
    // A kOpDeleteLocalData message, the deletion numbered `serial`; true when the profile and the
    // outbox folder are gone.
    bool Forget(std::uint32_t serial);

   private:
    [[nodiscard]] bool Flowing() const noexcept;
    [[nodiscard]] std::wstring SessionApplication() const;
    void NoteStart(LPARAM record);
    void Examine(const std::wstring& application_id, OperationRunner& runner);
    void Apply(DecisionStamp made, OperationRunner& runner);
    // Takes a refusal that could not be posted (when `before` is given, only one made before
    // that serial), carried out when `runner` is given, else only passed (a deletion after it
    // drops everything anyway); true when there was one.
    bool TakeRefusal(std::optional<std::uint32_t> before, OperationRunner* runner);
    void Grant(OperationRunner& runner);
    void Refuse(const std::wstring& application_id, bool store);
    // Gives up what the application's outbox holds (saved by earlier runs, or before a refusal),
    // counted; notes whether some of its files stayed (held by other programs, not another copy
    // of the game holding the whole outbox).
    void DiscardSaved(const std::wstring& application_id);
    void RunReleased(HeldOperation operation, OperationRunner& runner);
    void Remember(HeldOperation operation);
    void GiveUp(HeldOperation operation, std::atomic<std::uint64_t>& counter) noexcept;
    void Publish() noexcept;
    // Tells the delivery what the gate holds unfinished, and Flush that something changed.
    void Progress() noexcept;

    Delivery& delivery_;
    Decision decision_;
    std::uint32_t serial_;
    HoldingArea held_;
    std::optional<std::wstring> application_;  // from the first start seen, until one succeeds
    std::wstring forgotten_;                   // the application of the last deletion
    bool held_published_ = false;
    bool saved_left_ = false;  // the last discard left some of its files behind
    std::uint32_t unsettled_decisions_ = 0;
};

}  // namespace mirto

#endif  // MIRTO_CORE_CONSENT_GATE_H
