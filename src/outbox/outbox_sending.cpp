// Sending from the outbox: whose turn it is, reading it back, the marks of attempts and
// acceptances, setting restored reports aside, and the chores done while an attempt runs.
#include <algorithm>
#include <utility>

#include "outbox/file_layout.h"
#include "outbox/outbox.h"
#include "win/held_files.h"
#include "win/wall_clock.h"

namespace mirto {

std::optional<Outbox::Pick> Outbox::Next(bool include_set_aside) {
    for (;;) {
        const ULONGLONG tick = GetTickCount64();
        // Restored reports not set aside, then this session's, in sequence order; then those set
        // aside, in the order they were set aside. Reports in files held by other programs wait.
        auto pick = entries_.end();
        for (int pass = 0; pass < 2 && pick == entries_.end(); ++pass) {
            pick = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
                return entry.set_aside == 0 && entry.restored == (pass == 0) &&
                       files_[entry.file].held_until <= tick;
            });
        }
        if (pick == entries_.end() && include_set_aside) {
            for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
                if (entry->set_aside == 0 || files_[entry->file].held_until > tick) continue;
                if (pick == entries_.end() || entry->set_aside < pick->set_aside) pick = entry;
            }
        }
        if (pick == entries_.end()) return std::nullopt;

        if (pick->restored && IsExpired(pick->created_ms, WallClockMs())) {
            ++drops_.expired;
            Forget(pick);
            continue;
        }
        std::string bytes;
        const FileRead read = EntryBytes(*pick, bytes);
        if (read == FileRead::kHeld) {
            Held(files_[pick->file]);  // its file waits; the next report goes meanwhile
            continue;
        }
        std::optional<StoredReport> report;
        if (read == FileRead::kRead) {
            report = DecodeStoredReport(reinterpret_cast<const unsigned char*>(bytes.data()),
                                        bytes.size());
        }
        if (!report || !IsSendable(*report)) {
            // Gone or changed since it was listed: damaged, whatever happened to it.
            ++drops_.damaged;
            Forget(pick);
            continue;
        }
        return Pick{pick->sequence, pick->restored, pick->set_aside != 0, std::move(*report)};
    }
}

bool Outbox::MarkTried(std::uint64_t sequence) {
    const auto entry = Find(sequence);
    if (entry == entries_.end()) return false;
    if (marks_.attempted != sequence || marks_changed_) {
        marks_.attempted = sequence;
        // One write for the mark and the acceptances recorded since the last one; flushed now
        // and then (a process that ends, however it ends, leaves a write done). A mark not
        // written only means a cut-off attempt is not counted as such.
        WriteMarks(FlushDue());
    } else if (marks_unflushed_ && FlushDue()) {
        // A retry writes nothing: what the last write holds is made durable all the same.
        FlushMarks();
    }
    return entry->tried_earlier;
}

void Outbox::UnmarkTried(std::uint64_t sequence) {
    const auto entry = Find(sequence);
    if (entry == entries_.end() || entry->tried_earlier || marks_.attempted != sequence) return;
    marks_.attempted = 0;
    WriteMarks(FlushDue());
}

bool Outbox::Accepted(std::uint64_t sequence) noexcept {
    const auto entry = Find(sequence);
    if (entry == entries_.end()) return true;
    const std::uint64_t file = entry->file;
    // Neither needs memory (the ranges have room reserved): the report is never handed out
    // again, whatever follows.
    const bool recorded = AddRange(file, sequence);
    FileState& state = Unlist(entry);
    // (A file still to be read holds reports that are not listed yet: it stays.)
    if (state.listed == 0 && !state.unread) {
        // Every report in it accepted: the file goes while the next attempt runs.
        state.to_remove = true;
        changed_files_.erase(file);
        if (file == segment_file_) CloseSegment();
    }
    // Written with the next attempt's mark, or as the next chore.
    if (recorded) return true;
    // No room in the marks: it must leave its file now, or the next start would send it again.
    try {
        if (state.unread) return false;
        if (state.listed == 0) return RemoveFile(file);
        return RewriteFile(file);
    } catch (...) {
        return false;
    }
}

void Outbox::FlushMarksIfDue() noexcept {
    if (!marks_changed_ && marks_unflushed_ && FlushDue()) FlushMarks();
}

void Outbox::NoteMayHaveArrived(std::uint64_t sequence) noexcept {
    const auto entry = Find(sequence);
    if (entry != entries_.end()) entry->tried_earlier = true;
}

void Outbox::SetAside(std::uint64_t sequence) {
    const auto entry = Find(sequence);
    if (entry == entries_.end() || !entry->restored) return;
    if (entry->set_aside != 0) {
        entry->set_aside = ++set_aside_count_;
        return;
    }
    const std::uint32_t host = entry->host;
    for (Entry& other : entries_) {
        if (other.restored && other.host == host && other.set_aside == 0) {
            other.set_aside = ++set_aside_count_;
        }
    }
}

bool Outbox::DoChore() {
    const ULONGLONG now = GetTickCount64();
    if (marks_changed_ && marks_retry_at_ <= now) {
        if (!WriteMarks()) marks_retry_at_ = now + kHeldFirstPauseMs;
        return true;
    }
    // Written with an attempt's mark and not flushed since: the attempts that follow may write
    // nothing (one cut off is marked already), so the flush does not wait for them.
    if (!marks_changed_ && marks_unflushed_ && FlushDue()) {
        if (!FlushMarks()) marks_retry_at_ = now + kHeldFirstPauseMs;
        return true;
    }
    for (auto& [file, state] : files_) {
        if (state.held_until > now) continue;
        const std::uint64_t name = file;
        if (state.to_remove) {
            RemoveFile(name);
            return true;
        }
        if (state.unread) {
            // Read at last: its reports join the others in sequence order.
            if (ListFile(name) == FileRead::kHeld) Held(files_[name]);
            return true;
        }
        if (changed_files_.count(name) != 0) {
            if (!RewriteFile(name)) Held(files_[name]);
            return true;
        }
    }
    return false;
}

DWORD Outbox::ChoreDueInMs() const noexcept {
    const ULONGLONG now = GetTickCount64();
    if (marks_changed_ && marks_retry_at_ <= now) return 0;
    ULONGLONG due = 0;
    bool waiting = false;
    if (marks_changed_) {
        due = marks_retry_at_;  // after a write of them failed
        waiting = true;
    } else if (marks_unflushed_) {
        due = marks_flushed_at_ + kMarksFlushMs;
        waiting = true;
    }
    for (const auto& [file, state] : files_) {
        // A file held by another program is a chore too: its reports are sent once it is not.
        if (!state.to_remove && !state.unread && changed_files_.count(file) == 0 &&
            (state.listed == 0 || state.held_until <= now)) {
            continue;
        }
        if (!waiting || state.held_until < due) due = state.held_until;
        waiting = true;
    }
    if (!waiting) return INFINITE;
    return due <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(due - now, INFINITE - 1));
}

std::uint64_t Outbox::oldest_created_ms() const noexcept {
    std::uint64_t oldest = 0;
    for (const Entry& entry : entries_) {
        if (oldest == 0 || entry.created_ms < oldest) oldest = entry.created_ms;
    }
    return oldest;
}

FileRead Outbox::EntryBytes(const Entry& entry, std::string& out) {
    if (!entry.cached.empty()) {
        out = entry.cached;
        return FileRead::kRead;
    }
    if (read_file_ != entry.file) {
        read_file_ = 0;
        const FileRead read =
            ReadWholeFile(PathOf(entry.file, kSavedExtension), kLargestOutboxFile, read_bytes_);
        if (read != FileRead::kRead) return read;
        read_parts_ = ParseOutboxFile(read_bytes_, entry.file).parts;
        read_file_ = entry.file;
    }
    for (const FilePart& part : read_parts_) {
        if (part.sequence == entry.sequence) {
            out.assign(read_bytes_, part.at, part.size);
            return FileRead::kRead;
        }
    }
    return FileRead::kDamaged;
}

std::deque<Outbox::Entry>::iterator Outbox::Find(std::uint64_t sequence) {
    const auto at = std::lower_bound(
        entries_.begin(), entries_.end(), sequence,
        [](const Entry& entry, std::uint64_t value) { return entry.sequence < value; });
    return at != entries_.end() && at->sequence == sequence ? at : entries_.end();
}

std::uint32_t Outbox::HostIndex(const std::u16string& host, std::uint16_t port) {
    std::u16string key = host;
    key.push_back(u':');
    key += static_cast<char16_t>(port);
    const auto known = std::find(hosts_.begin(), hosts_.end(), key);
    if (known != hosts_.end()) return static_cast<std::uint32_t>(known - hosts_.begin());
    hosts_.push_back(std::move(key));
    return static_cast<std::uint32_t>(hosts_.size() - 1);
}

}  // namespace mirto
