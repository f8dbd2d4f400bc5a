// Delivery of the worker's reports: the retry policy over the client's single attempts, and
// the outbox when the game chose one.
//
// Without the outbox each report is posted to the current collection host until an attempt is
// answered with "200": the first attempt asks for an open connection, every later one waits
// kRetryWaitMs first (core/retry_wait.h) and opens one as needed. Once the worker's stop event
// is set, no attempt is made or waited for any more: a report not yet delivered is given up.
//
// With the outbox, Submit only gathers the report and Commit stores what the operations handled
// together made, so a collector that is away never holds up the operations queued behind it;
// the worker's loop calls SendDue between operations, which makes one attempt at the report
// whose turn it is whenever one is due (at once, or kRetryWaitMs after a failed attempt) and
// records it once it is accepted. While that attempt runs, the worker goes on handling the
// operations that arrive (the hook SendDue is given), so their reports are stored without waiting
// for the network. Saved reports go out in the order they were stored, each to the host and path
// it was built for; a report saved by an earlier process holds up this session's for at most
// kRestoredHoldMs of failed attempts in all, after which a restored report that fails is set
// aside (outbox/outbox.h). When the disk fails (the outbox cannot be opened, or a report cannot
// be written) the session falls back to delivering from memory, after the reports already saved.
//
// Flush. The worker numbers the operations in the order it takes them (BeginOperation); an
// operation has finished once every report it made is delivered, or stored, or given up. The
// delivery tells the worker, through `finished`, the number up to which every operation has
// finished, whenever that may have grown.
//
// No exception leaves it: a report that cannot be built for want of memory is given up and
// counted; an attempt that cannot be made counts as failed and is tried again later.
//
// When the player refuses or the game deletes its local data, what waits is given up
// (DropWaiting) and, from the moment such a purge is announced, a report is neither begun nor
// tried again (the delivery's `abandon` check); an attempt already under way may still end in
// a delivery. Operations the consent gate holds (core/consent_gate.h) have not finished
// either: the gate says which is the oldest (HoldBack).
//
// Owned by the worker thread (one per worker, living as long as its loop) and used there only;
// the client it holds is the process's internet session. Everything it does is counted in
// core/delivery_stats.h.
#ifndef MIRTO_CORE_DELIVERY_H
#define MIRTO_CORE_DELIVERY_H

#include <windows.h>

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outbox/outbox.h"
#include "reports/report_sink.h"
#include "transport/http_params.h"
#include "transport/wininet_client.h"

namespace mirto {

// The most operations, and report bytes, stored together in one batch.
constexpr std::uint64_t kMaxBatchOperations = 64;
constexpr std::uint64_t kMaxBatchBytes = std::uint64_t{48} * 1024;
// How long restored reports may hold up this session's with failed attempts, in all.
constexpr ULONGLONG kRestoredHoldMs = 60000;
// The longest pause between two tries of reports set aside.
constexpr ULONGLONG kSetAsideLongestPauseMs = ULONGLONG{5} * 60 * 1000;
// Reports that may wait in memory while an attempt runs, after the disk failed, before the
// worker stops taking operations until the attempt is over (the queue then holds them).
constexpr std::size_t kMaxUnstoredDuringAttempt = 2 * kMaxBatchOperations;

class Delivery final : public ReportSink {
   public:
    // Told the number up to which every operation has finished.
    using FinishedThrough = void (*)(std::uint64_t ticket);
    // True while what waits is to be given up rather than delivered.
    using AbandonCheck = bool (*)();

    // `outbox_chosen`: the game asked for the outbox before its first start. `stop`: the
    // worker's stop event (or null), whose setting ends every wait for the collector.
    explicit Delivery(bool outbox_chosen = false, FinishedThrough finished = nullptr,
                      HANDLE stop = nullptr, AbandonCheck abandon = nullptr) noexcept
        : outbox_chosen_(outbox_chosen),
          finished_(finished != nullptr ? finished : Ignore),
          abandon_(abandon != nullptr ? abandon : NeverAbandon),
          stop_(stop) {}
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    // What still waits in memory is lost with it, and counted so (dropped_at_quit).
    ~Delivery();

    bool Connect(const std::wstring& application_id) noexcept override;
    void Disconnect() noexcept override;
    void Submit(const wchar_t* path, const std::string& body,
                ReportPriority priority) noexcept override;

    [[nodiscard]] bool connected() const noexcept { return client_.has_value(); }

    // The worker has taken the operation numbered `ticket` off its queue (to run, hold or
    // give up).
    void NoteTaken(std::uint64_t ticket) noexcept {
        if (ticket > last_taken_) last_taken_ = ticket;
    }
    // The reports submitted from now on are `ticket`'s: the operation about to be handled.
    void BeginOperation(std::uint64_t ticket) noexcept {
        NoteTaken(ticket);
        ticket_ = ticket;
        handling_ = true;
    }
    // The operation begun last has been handled: it has finished unless its reports wait.
    void EndOperation() noexcept;

    // Reports are being gathered for the outbox: the operations handled since the last Commit
    // have finished only once it has stored them.
    [[nodiscard]] bool batching() const noexcept { return outbox_ != nullptr && !fell_back_; }
    // The reports gathered since the last Commit are as many as one batch holds (or, the disk
    // having failed, as many as may wait in memory behind the attempt that runs).
    [[nodiscard]] bool batch_full() const noexcept {
        return batch_operations_ >= kMaxBatchOperations || batch_bytes_ >= kMaxBatchBytes ||
               (attempt_running_ && unstored_.size() >= kMaxUnstoredDuringAttempt);
    }

    // Stores the reports gathered since the last call, in one batch; when the disk refuses,
    // falls back to memory, and those operations finish once their reports are delivered.
    void Commit() noexcept;

    // The outbox's share of the worker's loop: at most one attempt at the report whose turn it
    // is, if it is due, handling the worker's messages through `while_waiting` meanwhile.
    // Returns how long the loop may wait for its next operation before calling again: 0 for at
    // once, INFINITE when nothing is due.
    DWORD SendDue(AttemptWaitHook* while_waiting) noexcept;

    // One piece of the outbox's own work; false when none is due.
    bool DoChore() noexcept;
    // How long until the outbox's next piece of work is due (INFINITE: none waits).
    [[nodiscard]] DWORD ChoreDueInMs() const noexcept {
        return outbox_ ? outbox_->ChoreDueInMs() : INFINITE;
    }

    // Opens the outbox the game chose, when the session does not hold it (at the start, or
    // again after a refusal was lifted).
    void OpenOutbox(const std::wstring& application_id) noexcept;

    // Gives up every report that waits in memory and lets go of the outbox (whose files the
    // caller removes); counts them in reports_dropped_consent. The caller publishes what
    // finished (HoldBack) once it has counted everything else it gives up.
    void DropWaiting() noexcept;

    // The oldest operation the consent gate holds unfinished (0: none), and a nudge to Flush
    // when something it waits for (a decision) was taken.
    void HoldBack(std::uint64_t oldest_held) noexcept;
    void WakeFlush() noexcept { finished_(finished_through_); }

    // Delivers one request from memory: returns true once it is accepted; false at once when
    // not connected, and without further attempts once the stop event is set or the report is
    // abandoned.
    // `cut_off_before`: an earlier attempt at the same report may have reached the collector.
    bool Deliver(const HttpParams& request, bool cut_off_before = false) noexcept;

   private:
    struct Unstored {
        std::uint64_t ticket;
        StoredReport report;
    };

    // One attempt, counted; `cut_off` is set when it ended without an answer after the request
    // may have gone out, and an accepted attempt after such a one counts as a possible
    // duplicate. An attempt that cannot be made (no memory for its copy) fails.
    bool TryOnce(const HttpParams& request, DWORD connect_flags, bool& cut_off,
                 AttemptWaitHook* while_waiting = nullptr) noexcept;
    // One attempt at a saved report; true when it was accepted. Sets when the next is due.
    bool SendPick(const Outbox::Pick& pick, AttemptWaitHook* while_waiting);
    static void Ignore(std::uint64_t /*ticket*/) noexcept {}
    static bool NeverAbandon() noexcept { return false; }
    // Counts reports that left memory undelivered: given up for the player, or lost at quit.
    void CountUndelivered(std::uint64_t reports) noexcept;
    // Without the outbox any more: what it still holds, then what could not be stored, oldest
    // first, then one attempt at a report set aside if one is due. Returns how long until the
    // next is due (INFINITE: none waits), or 0 when the worker is quitting.
    DWORD DeliverBacklogFromMemory();
    bool DeliverHeld(const HttpParams& request, std::uint64_t ticket);
    void FallBack() noexcept;
    void PublishWaiting() noexcept;
    void PublishFinished() noexcept;
    void GiveUpForWantOfMemory(std::uint64_t reports) noexcept;

    std::optional<WinInetClient> client_;
    const bool outbox_chosen_;
    const FinishedThrough finished_;
    const AbandonCheck abandon_;
    const HANDLE stop_;
    std::unique_ptr<Outbox> outbox_;      // open while saved reports are sent from it
    std::uint64_t restored_counted_ = 0;  // what this outbox added to the restored count
    bool fell_back_ = false;
    bool attempt_running_ = false;  // SendDue's attempt, while operations are handled
    // Reports the disk refused, with their operations, to go from memory; and those gathered
    // for the outbox since the last Commit.
    std::list<Unstored> unstored_;  // a list: an empty one holds no memory (a deque would)
    std::vector<StoredReport> batch_;
    std::vector<std::uint64_t> batch_tickets_;
    std::uint64_t batch_operations_ = 0;
    std::uint64_t batch_bytes_ = 0;
    std::uint64_t ticket_ = 0;  // the operation being handled, or handled last
    bool handling_ = false;
    std::uint64_t held_ticket_ = 0;  // the operation whose report Deliver holds, 0 when none
    std::uint64_t held_back_ = 0;    // the oldest the consent gate holds, 0 when none
    std::uint64_t last_taken_ = 0;   // the newest the worker took
    std::uint64_t finished_through_ = 0;
    OutboxDrops drops_;
    // The last report attempted from the outbox, and its attempts in this process.
    std::uint64_t last_sequence_ = 0;
    bool last_attempted_ = false;
    // Reports set aside: when the next may be tried, and the pause that grows between tries.
    ULONGLONG set_aside_due_ms_ = 0;
    ULONGLONG set_aside_pause_ms_ = 0;
    ULONGLONG next_attempt_ms_ = 0;  // SteadyMs() before which no attempt is made
    // Failed attempts at restored reports: since when they fail, and the time spent so before.
    ULONGLONG restored_failing_since_ = 0;
    ULONGLONG restored_hold_spent_ = 0;
    std::uint64_t memory_report_created_ms_ = 0;  // the report Deliver holds, 0 when none
};

}  // namespace mirto

#endif  // MIRTO_CORE_DELIVERY_H
