// The player's choice as the game's threads state it, and what they and the worker share about
// it. Plain atomics, constant-initialised and never destroyed, like the worker's bookkeeping.
//
// Game threads record decisions here (SetConsent); once a worker runs, each decision is also
// posted to it as a kOpConsent message, behind the operations already queued, so the worker
// applies it exactly where it falls among them (core/consent_gate.h). Every decision gets a
// serial number, given and posted in one step (core/worker_request.h's gate), so decisions
// reach the worker in the order of their serials. The worker takes the latest one when it comes
// up, and a message whose serial it has already passed changes nothing. The message carries a
// token listed as posted (core/operation_queue.h): a message under that id that the library did
// not post, or whose decision it has taken, changes nothing. A decision that could not be posted
// (an ending worker, no room) is taken by the worker from here, on its next turn or as it ends.
//
// A refusal and a deletion (DeleteLocalData) are "purges": everything queued before them is
// dropped, not sent. A purge is announced here before its message is posted, so the worker
// can tell, for each operation it takes and for each retry it is about to wait for, that a
// purge behind it is on its way.
#ifndef MIRTO_CORE_CONSENT_H
#define MIRTO_CORE_CONSENT_H

#include <cstdint>
#include <optional>

namespace mirto {

// The thread messages of the library's own requests, after the operation codes. Neither is
// counted as a pending operation.
constexpr unsigned kOpConsent = 2491;          // lParam: DecisionToken, wParam: 0
constexpr unsigned kOpDeleteLocalData = 2492;  // lParam: the WorkerRequest (core/worker_request.h)

enum class Decision : std::uint32_t { kNone = 0, kGranted = 1, kRefused = 2 };

// What GetDeliveryStats reports as consent_state.
enum class ConsentState : std::uint32_t {
    kNotAsked = 0,  // no consent required, nothing decided: reports flow as without the gate
    kWaiting = 1,   // required and not decided yet: operations are held in memory
    kGranted = 2,
    kRefused = 3,
};

struct DecisionStamp {
    std::uint32_t serial;  // 0: no decision was ever made in this process
    Decision decision;
};

// SetConsentRequired: only before the first start; false (nothing changes) after.
bool ChooseConsentRequired(bool required) noexcept;
bool ConsentRequired() noexcept;

// SetConsent: records the decision and, when a worker runs, posts it to the worker.
void RecordDecision(bool granted) noexcept;
// The latest decision recorded, as the worker takes it when it comes up.
DecisionStamp LatestDecision() noexcept;

// DeleteLocalData, holding the request gate: a purge, and "nothing decided" from now on (the
// next worker starts undecided), under a serial of its own, which it returns; withdrawn when its
// request could not be posted.
std::uint32_t AnnounceDeletion() noexcept;
void WithdrawDeletion() noexcept;

// A decision's message parameter, and the worker's reading of it: the decision, and its serial
// as the first one after `after` (the worker's latest) that the token can name, or `after`
// itself when the token's lies at or before it (a decision already taken into account).
std::uintptr_t DecisionToken(std::uint32_t serial, Decision decision) noexcept;
DecisionStamp ReadDecisionToken(std::uintptr_t token, std::uint32_t after) noexcept;
// Worker: the latest decision, when it comes after `after` and no message of a decision is on
// its way (it was never posted); `unsettled` decisions the worker has carried out but not yet
// counted as taken are not on their way.
std::optional<DecisionStamp> UnpostedDecision(std::uint32_t after,
                                              std::uint32_t unsettled) noexcept;
// Worker: a refusal that could not be posted, if any (only if it was made before the decision or
// deletion numbered `before`, when given); its purge counts as taken and it counts as posted
// (the caller takes it as a decision, see DecisionTaken).
std::optional<DecisionStamp> TakeUnpostedRefusal(
    std::optional<std::uint32_t> before = std::nullopt) noexcept;
// Flush: how many decisions were posted, read through the request gate (never half-way through
// a post that is then taken back).
std::uint32_t DecisionsPostedNow() noexcept;

// A purge (refusal or deletion) whose message is posted but not yet taken by the worker.
void AnnouncePurge() noexcept;
void WithdrawPurge() noexcept;  // its message could not be posted
void PurgeTaken() noexcept;     // worker: took a purge's message
bool PurgePending() noexcept;

// A decision whose message is posted but not yet taken by the worker.
void DecisionTaken() noexcept;  // worker
bool DecisionPending() noexcept;
// How many decisions were ever posted, and whether the worker has taken that many (Flush waits
// for the decisions made before it, so that a game that quits right after one keeps it).
std::uint32_t DecisionsPosted() noexcept;
bool DecisionsTaken(std::uint32_t posted) noexcept;

// The game has had an OnStart accepted in this process (DeleteLocalData needs one).
void NoteStartQueued() noexcept;
bool StartQueued() noexcept;

// Published by the worker: operations are held for the player's decision and nothing queued
// can change that (no decision is on its way), so waiting for them is in vain (Flush).
void PublishHeldForDecision(bool held) noexcept;
bool HeldForDecision() noexcept;

// The consent state: the worker's once it runs, before that what the game has said.
void PublishConsentState(ConsentState state) noexcept;
void WithdrawConsentState() noexcept;  // the worker ends: what the game said counts again
ConsentState CurrentConsentState() noexcept;

}  // namespace mirto

#endif  // MIRTO_CORE_CONSENT_H
