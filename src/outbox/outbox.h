// The outbox: reports kept on disk until the collector has accepted them, in
// "<LocalAppData>\mirto\<application id>\outbox\".
//
// Reports are stored a batch at a time (the reports of the operations the worker found queued
// together), one file per batch: each report in it is its sequence number (8 bytes, little
// endian) followed by the report's own layout (outbox/stored_report.h). A file is written under a
// temporary name, flushed to the disk and only then renamed to its final name, so a process
// killed at any instant leaves either the whole batch or none of it. File names are the first
// sequence number in them ("<16 hex digits>.rpt"), so the reports leave in the order they were
// stored, across restarts.
//
// The outbox's "attempt" file holds two sequence numbers, each written with a plain write (which
// outlives the process however it ends): the report whose attempt began last, and the last
// report the collector accepted. A report found named as attempted at the next start may already
// have reached the collector (its attempt was cut off before an answer) and is counted as a
// possible duplicate when it is sent again. Reports up to the accepted one are never sent again:
// a file whose reports have all been accepted is removed later, while the next attempt runs
// (RemoveOneDelivered), or at the next start.
//
// One process at a time uses an outbox: it holds the folder's "lock" file open without
// sharing for as long as it does, and the system lets go of it when the process ends, however
// it ends. A second copy of the game finds the lock taken and does without.
//
// The outbox is capped in reports and bytes. When a new report does not fit, the oldest level
// and server events are given up first, purchases and identifies only when nothing else is
// left; a new report that is worth less than everything stored is itself the one given up. A
// file that loses a report that way is written again without it.
//
// Used by the worker thread only.
#ifndef MIRTO_OUTBOX_OUTBOX_H
#define MIRTO_OUTBOX_OUTBOX_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "outbox/stored_report.h"
#include "win/scoped_handle.h"

namespace mirto {

constexpr std::size_t kOutboxMaxReports = 4000;
constexpr std::uint64_t kOutboxMaxBytes = std::uint64_t{4} * 1024 * 1024;

// What the outbox gave up, added to by each call that gives something up.
struct OutboxDrops {
    std::uint64_t full = 0;     // reports given up to stay within the caps
    std::uint64_t damaged = 0;  // files, or their damaged rest, removed unsent
};

class Outbox {
   public:
    // Opens the application's outbox: makes its folders, takes its lock, removes temporaries
    // left by a process that ended while writing, and lists the saved reports (damaged files
    // are removed and counted). Null when the folder cannot be made or another process holds
    // the lock.
    static std::unique_ptr<Outbox> Open(const std::wstring& application_id, OutboxDrops& drops);

    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;
    ~Outbox() = default;

    enum class StoreResult { kStored, kFailed };
    // Stores `batch` after the others, in one file, making room within the caps first; reports
    // given up to make room (the batch's own among them) are counted in drops.full. kFailed when
    // the disk refused: nothing of the batch is left on it.
    StoreResult Store(const std::vector<StoredReport>& batch, OutboxDrops& drops);
    StoreResult Store(const StoredReport& report, OutboxDrops& drops) {
        return Store(std::vector<StoredReport>{report}, drops);
    }

    // The oldest saved report, read back from its file; reports found damaged on the way are
    // removed and counted. Nothing when the outbox is empty.
    std::optional<StoredReport> Oldest(OutboxDrops& drops);
    // Marks the oldest report as being attempted; true when an earlier process had already
    // attempted it.
    bool MarkOldestTried();
    // Takes the mark back after an attempt that certainly never reached the collector (no
    // connection was made), unless an earlier process had marked it.
    void UnmarkOldestTried();
    // Records that the collector has accepted the oldest report and takes it from the list; a
    // file left without reports is removed later (RemoveOneDelivered). False when the record
    // could not be written (the report's file is then written again without it at once).
    bool RemoveOldest();
    // Removes one file whose reports have all been accepted; true while more are left.
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
        std::uint64_t file;   // the file it is in (its first sequence number)
        std::uint64_t bytes;  // its part of the file, sequence number included
        std::uint64_t created_ms;
        OutboxPriority priority;
        bool tried_earlier;  // named in the attempt file when the outbox was opened
        std::string cached;  // its part of the file, kept while the cache has room; else empty
    };

    Outbox(const std::wstring& folder, FileHandle lock, FileHandle attempt)
        : folder_(folder), lock_(std::move(lock)), attempt_(std::move(attempt)) {}

    void Index(OutboxDrops& drops);
    bool MakeRoom(OutboxPriority priority, std::uint64_t bytes, std::size_t adding,
                  std::uint64_t adding_bytes, OutboxDrops& drops);
    // Takes an entry out of the list; its file is removed, or marked to be written again.
    void Forget(const std::deque<Entry>::iterator& entry);
    // Writes each marked file again with the reports it still holds; false when the disk
    // refused.
    bool RewriteChanged();
    [[nodiscard]] std::optional<std::string> EntryBytes(const Entry& entry);
    bool WriteMark(std::uint64_t offset, std::uint64_t sequence) noexcept;
    void WriteAttempt(std::uint64_t sequence) noexcept;
    [[nodiscard]] std::wstring PathOf(std::uint64_t file, const wchar_t* extension) const;

    std::wstring folder_;  // ends with a backslash
    FileHandle lock_;
    FileHandle attempt_;                   // the "attempt" file
    std::uint64_t attempt_written_ = 0;    // what it holds: the report attempted last
    std::uint64_t delivered_written_ = 0;  // and the last one accepted
    std::deque<Entry> entries_;            // in sequence order
    std::map<std::uint64_t, std::size_t> reports_in_file_;  // files holding listed reports
    std::set<std::uint64_t> changed_files_;      // to be written again without a report they lost
    std::deque<std::uint64_t> delivered_files_;  // every report accepted, file not yet removed
    std::uint64_t read_file_ = 0;  // the file last read back, kept for its next reports
    std::string read_bytes_;
    std::uint64_t bytes_ = 0;
    std::uint64_t cached_bytes_ = 0;
    std::uint64_t next_sequence_ = 1;
    bool oldest_pinned_ = false;
};

}  // namespace mirto

#endif  // MIRTO_OUTBOX_OUTBOX_H
