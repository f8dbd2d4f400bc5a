// The outbox: reports kept on disk until the collector has accepted them, in
// "<LocalAppData>\mirto\<application id>\outbox\".
//
// Files (outbox/file_layout.h). Each store appends one batch (the reports of the operations the
// worker handled together) to the current file and flushes it; a file that would grow past
// kSegmentBytes is closed and the batch starts a new one, written under a temporary name,
// flushed and renamed. So the folder holds a few dozen files however many reports wait, and a
// store costs a write and a flush. Files are named after their first sequence number ("<16 hex
// digits>.rpt"); sequence numbers never repeat and give the order across restarts.
//
// Marks (outbox/marks_layout.h): the "marks" file records, durably and self-checking, which
// reports of which file the collector accepted (never sent again; a file goes once all its
// reports are accepted), and the report whose attempt began last (one found named there at the
// next start may already have reached the collector, and counts as a possible duplicate when it
// is accepted again).
//
// Order. Reports saved by earlier processes ("restored") go first, in sequence order, then this
// session's. A restored report can be set aside (SetAside): then every restored report for its
// host and port goes after this session's, so reports of a retired collector, or one the
// collector refuses for ever, never hold up the rest. A restored report older than
// kOutboxMaxAgeMs is given up. A file that cannot be opened or read whole now (another program
// holds it, or the system refuses the read for a moment) is passed over and looked at again
// later in this session, or at the next start; only a file that was read and found damaged is
// removed, and counted.
//
// Nothing read from disk is trusted: a report whose layout is damaged, or that is not for port
// 443 over TLS and a host that SetHost would take, is damaged.
//
// Caps: kOutboxMaxReports unsent reports and kOutboxMaxBytes of files. When a new report does not
// fit, files of accepted reports go first, then the oldest level and server events, purchases
// and identifies only when nothing else is left; a new report worth less than everything stored
// is itself the one given up. Nothing is removed before the batch that takes its place is on
// disk, so the folder may hold one batch more than the caps while it is written. A file that
// loses a report is written again without it.
//
// One process at a time uses an outbox: it holds the folder's "lock" file open without sharing
// for as long as it does; a second copy of the game finds it taken and does without.
//
// Other programs may hold any of these files for a moment: opens, renames and deletes are
// tried again for a bounded time (win/held_files.h). Used by the worker thread only.
#ifndef MIRTO_OUTBOX_OUTBOX_H
#define MIRTO_OUTBOX_OUTBOX_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "outbox/file_layout.h"
#include "outbox/marks_layout.h"
#include "outbox/outbox_files.h"
#include "outbox/stored_report.h"
#include "win/scoped_handle.h"

namespace mirto {

constexpr std::size_t kOutboxMaxReports = 4000;
constexpr std::uint64_t kOutboxMaxBytes = std::uint64_t{4} * 1024 * 1024;
constexpr std::uint64_t kSegmentBytes = std::uint64_t{64} * 1024;
constexpr std::uint64_t kOutboxMaxAgeMs = std::uint64_t{30} * 24 * 60 * 60 * 1000;
// While reports are being accepted, their marks are written with each next attempt's and
// flushed at least this often (and whenever nothing more is due).
constexpr ULONGLONG kMarksFlushMs = 100;
// Whether a restored report built at `created_ms` is too old to be sent at `now_ms`; one dated
// after now (a clock that was set back since) is not.
constexpr bool IsExpired(std::uint64_t created_ms, std::uint64_t now_ms) noexcept {
    return now_ms > created_ms && now_ms - created_ms > kOutboxMaxAgeMs;
}
// No outbox file is larger than this (a file of the version before held a batch within the caps,
// and one report alone may fill them); a bigger one is damaged whatever it holds.
constexpr std::uint64_t kLargestOutboxFile = kOutboxMaxBytes + 64 + kStoredHeaderBytes +
                                             2 * (kStoredHostMaxUnits + kStoredPathMaxUnits) +
                                             kStoredBodyMaxBytes;

// What the outbox gave up.
struct OutboxDrops {
    std::uint64_t full = 0;     // reports given up to stay within the caps
    std::uint64_t damaged = 0;  // files, or their damaged rest, or reports, removed unsent
    std::uint64_t expired = 0;  // restored reports older than kOutboxMaxAgeMs, given up
};

class Outbox {
   public:
    // Opens the application's outbox: makes its folders, takes its lock, settles what a process
    // that ended while writing left behind, and lists the saved reports. Null when the folder
    // cannot be made or another process holds the lock.
    // What it gives up from then on is added to `drops`, which must outlive it.
    static std::unique_ptr<Outbox> Open(const std::wstring& application_id, OutboxDrops& drops);

    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;
    // Writes what the marks do not hold yet (a session that ends, not a process killed).
    ~Outbox();

    enum class StoreResult { kStored, kFailed };
    // Stores `batch` after the others, making room within the caps; reports given up to make
    // room (the batch's own among them) are counted in drops.full. kFailed when the disk
    // refused: nothing of the batch is on it, and nothing was removed for it.
    StoreResult Store(const std::vector<StoredReport>& batch);
    StoreResult Store(const StoredReport& report) {
        return Store(std::vector<StoredReport>{report});
    }

    // One report to send, read back from its file.
    struct Pick {
        std::uint64_t sequence = 0;
        bool restored = false;   // saved by an earlier process
        bool set_aside = false;  // a restored report set aside
        StoredReport report;
    };
    // The report whose turn it is, or nothing when none can be read now. Reports set aside are
    // taken only with `include_set_aside`. Reports found damaged or too old on the way are
    // removed and counted.
    std::optional<Pick> Next(bool include_set_aside = true);
    // Records that `sequence`'s attempt begins; true when an earlier attempt (of this process or
    // an earlier one) may have reached the collector.
    bool MarkTried(std::uint64_t sequence);
    // Makes the marks' last write durable when its flush is due (after an attempt, whose wait
    // may have done no chores).
    void FlushMarksIfDue() noexcept;
    // An attempt at `sequence` ended without an answer after the request may have gone out.
    void NoteMayHaveArrived(std::uint64_t sequence) noexcept;
    // Takes the mark back after an attempt that certainly never reached the collector.
    void UnmarkTried(std::uint64_t sequence);
    // Records that the collector accepted `sequence`, which is never sent again (the record
    // is written with the next attempt's mark, or as the next chore). False when that could be
    // neither recorded nor taken off the disk.
    bool Accepted(std::uint64_t sequence) noexcept;
    // Puts the restored reports for `sequence`'s host and port after this session's; one
    // already set aside goes to the back of those set aside.
    void SetAside(std::uint64_t sequence);
    // While `sequence`'s attempt runs, Store never gives it up to make room (0: none).
    void Pin(std::uint64_t sequence) noexcept { pinned_ = sequence; }

    // One piece of the outbox's own work (removing a file whose reports were all accepted,
    // writing a file again without what it lost, reading a file that was held); false when
    // none is due now.
    bool DoChore();
    // How long until a chore is due (INFINITE: none is waiting).
    [[nodiscard]] DWORD ChoreDueInMs() const noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    // What the outbox's files take on the disk (files that could not be read yet included).
    [[nodiscard]] std::uint64_t bytes() const noexcept { return disk_bytes_; }
    // Reports saved by earlier processes that it has listed, at the opening or since (a file
    // another program held is listed once it is let go).
    [[nodiscard]] std::uint64_t restored() const noexcept { return restored_; }
    // When the oldest waiting report was built (ms since 1970), 0 when there is none.
    [[nodiscard]] std::uint64_t oldest_created_ms() const noexcept;

   private:
    struct Entry {
        std::uint64_t sequence;
        std::uint64_t file;   // the file it is in (its first sequence number)
        std::uint64_t bytes;  // its part of the file: sequence number and report
        std::uint64_t created_ms;
        OutboxPriority priority;
        bool tried_earlier;       // an attempt may have reached the collector: named in the
                                  // marks at the opening, or cut off in this process
        bool restored;            // saved by an earlier process
        std::uint32_t host;       // host and port (an index into hosts_), for setting aside
        std::uint64_t set_aside;  // 0, or its place among the reports set aside
        std::string cached;       // its report's bytes while the cache has room, else empty
    };
    struct FileState {
        std::uint64_t size = 0;    // on the disk
        std::size_t listed = 0;    // reports in it still to send
        ULONGLONG held_until = 0;  // GetTickCount64() before which it is not opened again
        DWORD held_pause = 0;      // the pause after it was last found held
        bool unread = false;       // never read yet: another program held it (or, written by
                                   // this session, listed again once memory allows)
        bool own = false;          // written by this session
        bool to_remove = false;    // every report in it accepted (or given up)
        std::uint64_t dead = 0;    // bytes of reports given up, until it is written again
    };

    Outbox(std::wstring folder, FileHandle lock, OutboxDrops& drops)
        : folder_(std::move(folder)), lock_(std::move(lock)), drops_(drops) {}

    // Opening (outbox_index.cpp).
    bool OpenMarks();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> SettleTemporaries();
    void Index();
    // Lists the reports of one file: those not accepted, decoded and sendable, and not too old.
    FileRead ListFile(std::uint64_t file);
    void Held(FileState& state) noexcept;
    // Whether `file` was found held by another program and is left alone for now.
    [[nodiscard]] bool LeftAlone(std::uint64_t file, ULONGLONG now) const noexcept;
    // Gives up what was restored beyond the caps.
    void GiveUpBeyondTheCaps();

    // Writing (outbox.cpp).
    bool Append(const std::string& batch, std::uint64_t first_sequence);
    // Chooses what must go for `adding` more reports of `adding_bytes` to fit, without removing
    // anything: `victims` (stored reports) and, in `keep`, which of the batch's own stay.
    void ChooseVictims(const std::vector<OutboxPriority>& priorities,
                       const std::vector<std::uint64_t>& sizes, std::vector<bool>& keep,
                       std::vector<std::uint64_t>& victims);
    // Gives up the stored reports `victims`, each counted in drops.full, and writes their files
    // again without them.
    void GiveUp(const std::vector<std::uint64_t>& victims) noexcept;
    void Forget(const std::deque<Entry>::iterator& entry);
    // Takes the entry off the list; returns its file's state, which no longer counts it.
    FileState& Unlist(const std::deque<Entry>::iterator& entry);
    // The file's accepted ranges are of no more use (it is gone, or holds only reports to send).
    void ForgetRanges(std::uint64_t file) noexcept;
    bool RewriteFile(std::uint64_t file);
    bool RewriteChanged();
    bool RemoveFile(std::uint64_t file);
    void CloseSegment() noexcept;
    // Writes the marks into the slot the last write did not use; flushed unless `flush` is
    // false (a later flush makes it durable with the rest: a chore once FlushDue()).
    bool WriteMarks(bool flush = true) noexcept;
    // Makes the last write of the marks durable.
    bool FlushMarks() noexcept;
    // The marks were last flushed kMarksFlushMs ago or more.
    [[nodiscard]] bool FlushDue() const noexcept;
    // Records `sequence` of `file` as accepted; false when the marks have no room for it.
    bool AddRange(std::uint64_t file, std::uint64_t sequence) noexcept;
    [[nodiscard]] bool Covered(std::uint64_t file, std::uint64_t sequence) const noexcept;

    // Reading back (outbox_sending.cpp).
    FileRead EntryBytes(const Entry& entry, std::string& out);
    std::deque<Entry>::iterator Find(std::uint64_t sequence);
    std::uint32_t HostIndex(const std::u16string& host, std::uint16_t port);

    [[nodiscard]] std::wstring PathOf(std::uint64_t file, const wchar_t* extension) const;

    std::wstring folder_;  // ends with a backslash
    FileHandle lock_;
    OutboxDrops& drops_;
    FileHandle marks_file_;
    Marks marks_;
    std::deque<Entry> entries_;                 // in sequence order
    std::map<std::uint64_t, FileState> files_;  // every file of ours on the disk, by name
    std::set<std::uint64_t> changed_files_;     // to be written again without what they lost
    // Files whose temporary could not be opened at the start: a later start may take it for the
    // file, so the file's accepted ranges stay until it is gone.
    std::set<std::uint64_t> held_temporaries_;
    std::vector<std::u16string> hosts_;  // the hosts and ports of restored reports
    FileHandle segment_;                 // the file stores append to, while open
    std::uint64_t segment_file_ = 0;
    std::uint64_t read_file_ = 0;  // the file last read back, kept for its next reports
    std::string read_bytes_;
    std::vector<FilePart> read_parts_;
    std::uint64_t legacy_accepted_up_to_ = 0;  // the version before's one mark, while listing
    std::uint64_t disk_bytes_ = 0;
    std::uint64_t dead_bytes_ = 0;  // of all files: what they lose once written again
    std::uint64_t cached_bytes_ = 0;
    std::uint64_t next_sequence_ = 1;
    // While a store runs: the one wait for held files shared by everything it removes or writes
    // again (otherwise each call waits on its own).
    FilePatience* patience_ = nullptr;
    std::uint64_t set_aside_count_ = 0;
    std::uint64_t pinned_ = 0;
    bool marks_changed_ = false;           // marks_ differ from what the file holds
    bool marks_unflushed_ = false;         // the file holds them, but not durably yet
    std::uint64_t attempted_at_open_ = 0;  // the report an earlier process attempted last
    std::uint64_t restored_ = 0;           // reports listed from the disk, ever
    ULONGLONG marks_retry_at_ = 0;         // after a write of them failed
    ULONGLONG marks_flushed_at_ = 0;
    std::uint64_t flushed_slot_ = 1;  // the slot the last flushed write went to
};

}  // namespace mirto

#endif  // MIRTO_OUTBOX_OUTBOX_H
