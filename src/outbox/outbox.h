// The outbox: reports kept on disk until the collector has accepted them, one file each, in
// "<LocalAppData>\mirto\<application id>\outbox\".
//
// A report is written under a temporary name, flushed to the disk and only then renamed to its
// final name, so a process killed at any instant leaves either the whole report or none. File
// names are sequence numbers ("<16 hex digits>.rpt"), so the reports leave in the order they
// were stored, across restarts. The outbox's "attempt" file holds two sequence numbers, each
// written with a plain write (which outlives the process however it ends): the report whose
// attempt began last, and the last report the collector accepted. A report found named as
// attempted at the next start may already have reached the collector (its attempt was cut off
// before an answer) and is counted as a possible duplicate when it is sent again. Reports up to
// the accepted one are never sent again: their files are removed later, while the next attempt
// runs (RemoveOneDelivered), or at the next start.
//
// One process at a time uses an outbox: it holds the folder's "lock" file open without
// sharing for as long as it does, and the system lets go of it when the process ends, however
// it ends. A second copy of the game finds the lock taken and does without.
//
// The outbox is capped in reports and bytes. When a new report does not fit, the oldest level
// and server events are given up first, purchases and identifies only when nothing else is
// left; a new report that is worth less than everything stored is itself the one given up.
//
// Used by the worker thread only.
#ifndef MIRTO_OUTBOX_OUTBOX_H
#define MIRTO_OUTBOX_OUTBOX_H

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "outbox/stored_report.h"
#include "win/scoped_handle.h"

namespace mirto {

constexpr std::size_t kOutboxMaxReports = 4000;
constexpr std::uint64_t kOutboxMaxBytes = std::uint64_t{4} * 1024 * 1024;

// What the outbox gave up, added to by each call that gives something up.
struct OutboxDrops {
    std::uint64_t full = 0;     // reports given up to stay within the caps
    std::uint64_t damaged = 0;  // files that were not one whole report, removed unsent
};

class Outbox {
   public:
    // Opens the application's outbox: makes its folders, takes its lock, removes temporaries
    // left by a process that ended while writing, and lists the saved reports (damaged ones
    // are removed and counted). Null when the folder cannot be made or another process holds
    // the lock.
    static std::unique_ptr<Outbox> Open(const std::wstring& application_id, OutboxDrops& drops);

    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;
    ~Outbox() = default;

    enum class StoreResult { kStored, kGivenUp, kFailed };
    // Stores `report` after the others, making room within the caps first. kGivenUp when the
    // report itself was given up (counted in drops.full); kFailed when the disk refused, and
    // nothing of the report is left on it.
    StoreResult Store(const StoredReport& report, OutboxDrops& drops);

    // The oldest saved report, read back from its file; files found damaged on the way are
    // removed and counted. Nothing when the outbox is empty.
    std::optional<StoredReport> Oldest(OutboxDrops& drops);
    // Marks the oldest report as being attempted; true when an earlier process had already
    // attempted it.
    bool MarkOldestTried();
    // Takes the mark back after an attempt that certainly never reached the collector (no
    // connection was made), unless an earlier process had marked it.
    void UnmarkOldestTried();
    // Records that the collector has accepted the oldest report and takes it from the list;
    // its file is removed later (RemoveOneDelivered). False when the record could not be
    // written, and then the file is removed at once: false again when that fails too.
    bool RemoveOldest();
    // Removes one file of an accepted report; true while more are left to remove.
    bool RemoveOneDelivered();

    // While the oldest report's attempt runs, Store never gives it up to make room.
    void PinOldest(bool pinned) noexcept { oldest_pinned_ = pinned && !entries_.empty(); }

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] std::uint64_t bytes() const noexcept { return bytes_; }
    // The oldest saved report's sequence number, 0 when there is none.
    [[nodiscard]] std::uint64_t oldest_sequence() const noexcept {
        return entries_.empty() ? 0 : entries_.front().sequence;
    }
    // When the oldest saved report was built (ms since 1970), 0 when there is none.
    [[nodiscard]] std::uint64_t oldest_created_ms() const noexcept {
        return entries_.empty() ? 0 : entries_.front().created_ms;
    }

   private:
    struct Entry {
        std::uint64_t sequence;
        std::uint64_t bytes;
        std::uint64_t created_ms;
        OutboxPriority priority;
        bool tried_earlier;  // named in the attempt file when the outbox was opened
        std::string cached;  // the file's bytes, kept while the cache has room; else empty
    };

    Outbox(const std::wstring& folder, FileHandle lock, FileHandle attempt)
        : folder_(folder), lock_(std::move(lock)), attempt_(std::move(attempt)) {}

    void Index(OutboxDrops& drops);
    bool MakeRoom(const StoredReport& report, std::uint64_t bytes, OutboxDrops& drops);
    bool Remove(const std::deque<Entry>::iterator& entry);
    bool WriteMark(std::uint64_t offset, std::uint64_t sequence) noexcept;
    void WriteAttempt(std::uint64_t sequence) noexcept;
    [[nodiscard]] std::wstring PathOf(std::uint64_t sequence, const wchar_t* extension) const;
    [[nodiscard]] std::wstring PathOf(const Entry& entry) const;

    std::wstring folder_;  // ends with a backslash
    FileHandle lock_;
    FileHandle attempt_;                 // the "attempt" file
    std::uint64_t attempt_written_ = 0;    // what it holds: the report attempted last
    std::uint64_t delivered_written_ = 0;  // and the last one accepted
    std::deque<std::uint64_t> delivered_files_;  // accepted, file not yet removed
    std::deque<Entry> entries_;          // in sequence order
    std::uint64_t bytes_ = 0;
    std::uint64_t cached_bytes_ = 0;
    std::uint64_t next_sequence_ = 1;
    bool oldest_pinned_ = false;
};

}  // namespace mirto

#endif  // MIRTO_OUTBOX_OUTBOX_H
