// Delivery of the worker's reports: the retry policy over the client's single attempts, and
// the outbox when the game chose one.
//
// Without the outbox each report is posted to the current collection host until an attempt is
// answered with "200": the first attempt asks for an open connection, every later one waits
// kRetryWaitMs first (core/retry_wait.h) and opens one as needed. Once the worker's stop event
// is set, no attempt is made or waited for any more: a report not yet delivered is given up.
//
// With the outbox, Submit only stores the report (outbox/outbox.h) and returns, so a collector
// that is away never holds up the operations queued behind it; the worker's loop calls
// SendDue between operations, which makes one attempt at the oldest saved report whenever one
// is due (at once, or kRetryWaitMs after a failed attempt) and removes it once it is accepted.
// While that attempt runs, the worker goes on handling the operations that arrive (the hook
// SendDue is given), so their reports are stored without waiting for the network. Saved
// reports go out in the order they were stored, each to the host and path it was built for.
// When the disk fails (the outbox cannot be opened, or a report cannot be written) the session
// falls back to delivering from memory, after the reports already saved.
//
// Owned by the worker thread (one per worker, living as long as its loop) and used there only;
// the client it holds is the process's internet session. Everything it does is counted in
// core/delivery_stats.h.
#ifndef MIRTO_CORE_DELIVERY_H
#define MIRTO_CORE_DELIVERY_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outbox/outbox.h"
#include "reports/report_sink.h"
#include "transport/http_params.h"
#include "transport/wininet_client.h"

namespace mirto {

class Delivery final : public ReportSink {
   public:
    // Told how many operations have finished (their reports stored, or delivered from memory)
    // when the delivery, not the caller, decides it.
    using FinishedOperations = void (*)(std::uint64_t count);

    // `outbox_chosen`: the game asked for the outbox before its first start. `stop`: the
    // worker's stop event (or null), whose setting ends every wait for the collector.
    explicit Delivery(bool outbox_chosen = false, FinishedOperations finished = nullptr,
                      HANDLE stop = nullptr) noexcept
        : outbox_chosen_(outbox_chosen),
          finished_(finished != nullptr ? finished : IgnoreCount),
          stop_(stop) {}
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    ~Delivery() = default;

    bool Connect(const std::wstring& application_id) noexcept override;
    void Disconnect() noexcept override;
    void Submit(const wchar_t* path, const std::string& body, ReportPriority priority) override;

    [[nodiscard]] bool connected() const noexcept { return client_.has_value(); }

    // Reports are being gathered for the outbox: the operations handled since the last Commit
    // have finished only once it has stored them.
    [[nodiscard]] bool batching() const noexcept { return outbox_ != nullptr && !fell_back_; }

    // Stores the reports gathered since the last call, in one file, and reports `operations`
    // finished; when the disk refuses, falls back to memory and reports them finished once
    // they are delivered.
    void Commit(std::uint64_t operations);

    // The outbox's share of the worker's loop: at most one attempt at the oldest saved report,
    // if it is due, handling the worker's messages through `while_waiting` meanwhile. Returns
    // how long the loop may wait for its next operation before calling again: 0 for at once,
    // INFINITE when no saved report waits.
    DWORD SendDue(AttemptWaitHook* while_waiting);

    // One piece of the outbox's own work (removing the file of a report the collector
    // accepted); false when none is left.
    bool DoChore() noexcept;

    // Delivers one request from memory: returns true once it is accepted; false at once when
    // not connected, and without further attempts once the stop event is set.
    // `cut_off_before`: an earlier attempt at the same report may have reached the collector.
    bool Deliver(const HttpParams& request, bool cut_off_before = false);

   private:
    // One attempt, counted; `cut_off` is set when it ended without an answer after the request
    // may have gone out, and an accepted attempt after such a one counts as a possible
    // duplicate.
    bool TryOnce(const HttpParams& request, DWORD connect_flags, bool& cut_off,
                 AttemptWaitHook* while_waiting = nullptr);
    static void IgnoreCount(std::uint64_t /*count*/) noexcept {}
    // Without the outbox any more: what it still holds, then what could not be stored while an
    // attempt ran, oldest first. False when the worker is stopping.
    bool DeliverBacklogFromMemory();
    bool DeliverHeld(const HttpParams& request);
    void FallBack() noexcept;
    void PublishWaiting() noexcept;

    std::optional<WinInetClient> client_;
    const bool outbox_chosen_;
    const FinishedOperations finished_;
    const HANDLE stop_;
    std::unique_ptr<Outbox> outbox_;  // open while saved reports are sent from it
    bool fell_back_ = false;
    bool attempt_running_ = false;            // SendDue's attempt, while operations are handled
    std::deque<HttpParams> unstored_;         // reports the disk refused, to go from memory
    std::vector<StoredReport> batch_;         // gathered for the outbox since the last Commit
    std::uint64_t operations_in_memory_ = 0;  // finished once unstored_ is delivered
    OutboxDrops drops_;
    // The oldest saved report's attempts in this process.
    std::uint64_t oldest_sequence_ = 0;
    bool oldest_attempted_ = false;
    bool oldest_cut_off_ = false;
    ULONGLONG next_attempt_ms_ = 0;               // SteadyMs() at which the next attempt is due
    std::uint64_t memory_report_created_ms_ = 0;  // the report Deliver holds, 0 when none
};

}  // namespace mirto

#endif  // MIRTO_CORE_DELIVERY_H
