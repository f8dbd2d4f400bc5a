// Writing the outbox: stores, the caps, files written again or removed, and the marks.
#include "outbox/outbox.h"

#include <algorithm>
#include <map>
#include <utility>

#include "outbox/file_layout.h"
#include "win/held_files.h"

namespace mirto {
namespace {

// The reports of this session whose bytes are kept in memory as well, so that sending them
// reads nothing back from the disk.
constexpr std::uint64_t kCacheBytes = std::uint64_t{1024} * 1024;

}  // namespace

Outbox::~Outbox() {
    if (!marks_file_) return;
    if (marks_changed_) {
        WriteMarks();
    } else if (marks_unflushed_) {
        FlushMarks();
    }
}

Outbox::StoreResult Outbox::Store(const std::vector<StoredReport>& batch) {
    if (batch.empty()) return StoreResult::kStored;
    // Files that turn out to be held cost one wait in all; they are tried again as chores.
    FilePatience patience;
    patience_ = &patience;
    struct Unshare {
        FilePatience*& shared;
        ~Unshare() { shared = nullptr; }
    } unshare{patience_};
    std::vector<std::string> reports;
    std::vector<OutboxPriority> priorities;
    std::vector<std::uint64_t> sizes;
    reports.reserve(batch.size());
    for (const StoredReport& report : batch) {
        reports.push_back(EncodeStoredReport(report));
        priorities.push_back(report.priority);
        sizes.push_back(kSequenceBytes + reports.back().size());
    }
    std::vector<bool> keep(batch.size(), true);
    std::vector<std::uint64_t> victims;
    ChooseVictims(priorities, sizes, keep, victims);
    if (next_sequence_ + batch.size() > kMaxSequence) return StoreResult::kFailed;

    const std::uint64_t first = next_sequence_;
    std::uint64_t sequence = first;
    std::string payload;
    std::vector<Entry> added;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (!keep[i]) continue;
        AddPart(payload, sequence, reports[i]);
        added.push_back(Entry{sequence, 0, sizes[i], batch[i].created_ms, batch[i].priority, false,
                              false, 0, 0, std::move(reports[i])});
        ++sequence;
    }
    if (added.empty()) {
        // Every report of it is given up. What must go to bring the outbox back within the caps
        // (it was beyond them already: a file held at the start was listed since) goes all the
        // same, with no batch to wait for.
        drops_.full += batch.size();
        GiveUp(victims);
        return StoreResult::kStored;
    }
    if (!Append(Batch(added.size(), payload), first)) return StoreResult::kFailed;
    // From here on the batch is on the disk: nothing may make the store look failed.
    next_sequence_ = sequence;
    drops_.full += batch.size() - added.size();
    const std::uint64_t file = segment_file_;
    FileState& state = files_[file];
    try {
        for (Entry& entry : added) {
            entry.file = file;
            if (cached_bytes_ + entry.cached.size() > kCacheBytes) {
                std::string().swap(entry.cached);  // nothing kept, not even the buffer
            }
            entries_.push_back(std::move(entry));
            cached_bytes_ += entries_.back().cached.size();
            ++state.listed;
        }
    } catch (...) {
        // The batch is on the disk but the list has no room for it: its file is listed again,
        // whole, once memory allows (a chore), and nothing of it is lost. The report being
        // attempted stays listed, so that its answer is recorded.
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            if (entry->file == file && entry->sequence != pinned_) {
                cached_bytes_ -= entry->cached.size();
                entry = entries_.erase(entry);
            } else {
                ++entry;
            }
        }
        CloseSegment();
        state.listed = 0;
        for (const Entry& entry : entries_) state.listed += entry.file == file ? 1 : 0;
        state.unread = true;
        state.own = true;
        return StoreResult::kStored;
    }
    // Only now, with the batch on the disk, does what made room for it go.
    GiveUp(victims);
    return StoreResult::kStored;
}

void Outbox::GiveUp(const std::vector<std::uint64_t>& victims) noexcept {
    // (Memory running out here leaves the rest listed, beyond the caps for the moment.)
    try {
        for (const std::uint64_t victim : victims) {
            const auto entry = Find(victim);
            if (entry == entries_.end()) continue;
            ++drops_.full;
            Forget(entry);
        }
        RewriteChanged();  // what fails here is tried again as a chore
    } catch (...) {
    }
}

void Outbox::ChooseVictims(const std::vector<OutboxPriority>& priorities,
                           const std::vector<std::uint64_t>& sizes, std::vector<bool>& keep,
                           std::vector<std::uint64_t>& victims) {
    std::uint64_t adding_bytes = 0;
    for (const std::uint64_t size : sizes) adding_bytes += size;
    const std::uint64_t overhead = sizes.empty() ? 0 : kFileHeaderBytes + kBatchHeaderBytes;
    // Files another program holds are left alone: nothing in them is taken to make room, and
    // what they lost still takes its room until they are written again.
    const ULONGLONG now = GetTickCount64();
    std::uint64_t held_dead = 0;
    for (const auto& [file, state] : files_) {
        if (state.held_until > now) held_dead += state.dead;
    }
    // What the files will take once those that lost reports are written again.
    const auto taken = [this, held_dead] {
        return disk_bytes_ - std::min(disk_bytes_, dead_bytes_ - std::min(dead_bytes_, held_dead));
    };
    // Files whose reports were all accepted cost nothing to lose: they go first.
    if (taken() + overhead + adding_bytes > kOutboxMaxBytes) {
        std::vector<std::uint64_t> accepted;
        for (const auto& [file, state] : files_) {
            if (state.to_remove && state.held_until <= now) accepted.push_back(file);
        }
        for (const std::uint64_t file : accepted) {
            if (taken() + overhead + adding_bytes <= kOutboxMaxBytes) break;
            RemoveFile(file);
        }
    }
    std::size_t count = entries_.size();
    std::uint64_t bytes = taken() + overhead;
    // Candidates are taken oldest first, level and server events before the rest; the report
    // being attempted is never one. What was taken for a report that is given up after all is
    // taken back.
    std::vector<bool> chosen(entries_.size(), false);
    // A file a report is taken from is written again without it: one that another program
    // holds now (looked at once per file) is left alone, and so is one still to be read, which
    // holds reports that are not listed (taking its last listed one would remove them all).
    std::map<std::uint64_t, bool> writable;
    const auto can_take_from = [&](std::uint64_t file) {
        const auto known = writable.find(file);
        if (known != writable.end()) return known->second;
        const auto state = files_.find(file);
        bool can = !LeftAlone(file, now) && (state == files_.end() || !state->second.unread);
        if (can && file != segment_file_ && IsHeldElsewhere(PathOf(file, kSavedExtension))) {
            Held(files_[file]);
            can = false;
        }
        writable.emplace(file, can);
        return can;
    };
    const auto take = [&](bool drop_first_only, std::vector<std::size_t>& tentative) -> bool {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const Entry& entry = entries_[i];
            if (chosen[i] || entry.sequence == pinned_) continue;
            if (drop_first_only && entry.priority != OutboxPriority::kDropFirst) continue;
            if (!can_take_from(entry.file)) continue;
            chosen[i] = true;
            tentative.push_back(i);
            --count;
            bytes -= std::min(bytes, entry.bytes);
            return true;
        }
        return false;
    };
    const auto over = [&] { return count > kOutboxMaxReports || bytes > kOutboxMaxBytes; };
    // Each new report in turn, then (for what was restored beyond the caps) none.
    for (std::size_t i = 0; i <= priorities.size(); ++i) {
        const bool adding = i < priorities.size();
        if (!adding && overhead != 0 && std::find(keep.begin(), keep.end(), true) == keep.end()) {
            // Every new report was given up: no batch is written, and its headers take no room.
            bytes -= std::min(bytes, overhead);
        }
        if (adding) {
            if (sizes[i] > kOutboxMaxBytes) {
                keep[i] = false;
                continue;
            }
            ++count;
            bytes += sizes[i];
        }
        std::vector<std::size_t> tentative;
        while (over()) {
            if (take(true, tentative)) continue;
            if (adding && priorities[i] == OutboxPriority::kDropFirst) break;
            if (!take(false, tentative)) break;
        }
        if (adding && over()) {
            // Worth less than everything stored, or nothing else can go: this one is given up,
            // and what was taken for it stays.
            keep[i] = false;
            --count;
            bytes -= sizes[i];
            for (const std::size_t index : tentative) {
                chosen[index] = false;
                ++count;
                bytes += entries_[index].bytes;
            }
            continue;
        }
        for (const std::size_t index : tentative) victims.push_back(entries_[index].sequence);
    }
}

bool Outbox::Append(const std::string& batch, std::uint64_t first_sequence) {
    if (segment_) {
        FileState& state = files_[segment_file_];
        if (state.size + batch.size() <= kSegmentBytes) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(state.size & 0xFFFFFFFFU);
            at.OffsetHigh = static_cast<DWORD>(state.size >> 32);
            DWORD written = 0;
            if (read_file_ == segment_file_) read_file_ = 0;  // what was read of it is outdated
            if (::WriteFile(segment_.get(), batch.data(), static_cast<DWORD>(batch.size()),
                            &written, &at) &&
                written == batch.size() && FlushFileBuffers(segment_.get())) {
                state.size += batch.size();
                disk_bytes_ += batch.size();
                return true;
            }
            // Whatever part of it was written is cut off again, so the file ends with whole
            // batches; a file that cannot even be cut is closed, and nothing more is added to it.
            LARGE_INTEGER end;
            end.QuadPart = static_cast<LONGLONG>(state.size);
            const bool cut = SetFilePointerEx(segment_.get(), end, nullptr, FILE_BEGIN) &&
                             SetEndOfFile(segment_.get());
            if (!cut) CloseSegment();
            return false;
        }
    }
    CloseSegment();
    const std::wstring temporary = PathOf(first_sequence, kTemporaryExtension);
    const std::string content = FileHeader() + batch;
    FileHandle file = WriteFlushedFile(temporary, content);
    if (!file) return false;  // (a temporary it could write to but not fill is left empty)
    if (!ReplaceHeldFile(temporary, PathOf(first_sequence, kSavedExtension))) {
        SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
        SetEndOfFile(file.get());
        file.reset();
        DeleteHeldFile(temporary);
        return false;
    }
    segment_ = std::move(file);
    segment_file_ = first_sequence;
    files_[first_sequence].size = content.size();
    disk_bytes_ += content.size();
    return true;
}

void Outbox::CloseSegment() noexcept {
    segment_.reset();
    segment_file_ = 0;
}

Outbox::FileState& Outbox::Unlist(const std::deque<Entry>::iterator& entry) {
    const std::uint64_t file = entry->file;
    cached_bytes_ -= entry->cached.size();
    if (entry->sequence == pinned_) pinned_ = 0;
    entries_.erase(entry);
    FileState& state = files_[file];
    if (state.listed > 0) --state.listed;
    return state;
}

void Outbox::ForgetRanges(std::uint64_t file) noexcept {
    const auto before = marks_.accepted.size();
    marks_.accepted.erase(
        std::remove_if(marks_.accepted.begin(), marks_.accepted.end(),
                       [file](const AcceptedRange& range) { return range.file == file; }),
        marks_.accepted.end());
    if (marks_.accepted.size() != before) marks_changed_ = true;
}

void Outbox::Forget(const std::deque<Entry>::iterator& entry) {
    const std::uint64_t file = entry->file;
    const std::uint64_t entry_bytes = entry->bytes;
    FileState& state = Unlist(entry);
    // A file still to be read holds reports that are not listed yet: it stays whole, and is
    // judged when it is read.
    if (state.unread) return;
    if (state.listed == 0) {
        changed_files_.erase(file);
        RemoveFile(file);
    } else {
        changed_files_.insert(file);
        state.dead += entry_bytes;
        dead_bytes_ += entry_bytes;
    }
}

bool Outbox::LeftAlone(std::uint64_t file, ULONGLONG now) const noexcept {
    const auto state = files_.find(file);
    return state != files_.end() && state->second.held_until > now;
}

bool Outbox::RewriteFile(std::uint64_t file) {
    // Only what is listed is written again: a file still to be read is left whole.
    if (files_[file].unread) return false;
    std::string payload;
    std::size_t reports = 0;
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (entry->file != file) {
            ++entry;
            continue;
        }
        std::string bytes;
        const FileRead read = EntryBytes(*entry, bytes);
        if (read == FileRead::kHeld) return false;
        if (read != FileRead::kRead) {
            // Lost since it was listed: it cannot be written again, nor sent.
            ++drops_.damaged;
            const std::uint64_t sequence = entry->sequence;
            cached_bytes_ -= entry->cached.size();
            entry = entries_.erase(entry);
            if (sequence == pinned_) pinned_ = 0;
            if (files_[file].listed > 0) --files_[file].listed;
            continue;
        }
        AddPart(payload, entry->sequence, bytes);
        ++reports;
        ++entry;
    }
    if (reports == 0) {
        changed_files_.erase(file);
        return RemoveFile(file);
    }
    if (file == segment_file_) CloseSegment();
    const std::string content = FileHeader() + Batch(reports, payload);
    FilePatience own;
    if (!ReplaceDurably(PathOf(file, kTemporaryExtension), PathOf(file, kSavedExtension), content,
                        patience_ != nullptr ? *patience_ : own)) {
        return false;
    }
    FileState& state = files_[file];
    disk_bytes_ = disk_bytes_ - std::min(disk_bytes_, state.size) + content.size();
    state.size = content.size();
    dead_bytes_ -= std::min(dead_bytes_, state.dead);
    state.dead = 0;
    changed_files_.erase(file);
    if (read_file_ == file) read_file_ = 0;
    // The file holds only reports still to send now (and its temporary, held or not, is gone).
    held_temporaries_.erase(file);
    ForgetRanges(file);
    return true;
}

bool Outbox::RewriteChanged() {
    bool all = true;
    const ULONGLONG now = GetTickCount64();
    for (auto file = changed_files_.begin(); file != changed_files_.end();) {
        const std::uint64_t name = *file++;
        FileState& state = files_[name];
        if (state.held_until > now) {
            all = false;
            continue;
        }
        if (!RewriteFile(name)) {
            Held(state);
            all = false;
        }
    }
    return all;
}

bool Outbox::RemoveFile(std::uint64_t file) {
    if (file == segment_file_) CloseSegment();
    if (read_file_ == file) read_file_ = 0;
    FileState& state = files_[file];
    FilePatience own;
    FilePatience& patience = patience_ != nullptr ? *patience_ : own;
    if (!DeleteHeldFile(PathOf(file, kSavedExtension), patience)) {
        state.to_remove = true;
        Held(state);
        return false;
    }
    disk_bytes_ -= std::min(disk_bytes_, state.size);
    dead_bytes_ -= std::min(dead_bytes_, state.dead);
    state.size = 0;
    state.dead = 0;
    changed_files_.erase(file);
    // A temporary of its name held at the start would be taken for the file by a later start:
    // it goes too, and until it has, the file's accepted ranges stay (tried again as a chore).
    if (held_temporaries_.count(file) != 0) {
        if (!DeleteHeldFile(PathOf(file, kTemporaryExtension), patience)) {
            state.to_remove = true;
            Held(state);
            return false;
        }
        held_temporaries_.erase(file);
    }
    files_.erase(file);
    ForgetRanges(file);
    return true;
}

void Outbox::Held(FileState& state) noexcept {
    state.held_pause = state.held_pause == 0 ? kHeldFirstPauseMs
                                             : std::min(2 * state.held_pause, kHeldLongestPauseMs);
    state.held_until = GetTickCount64() + state.held_pause;
}

bool Outbox::WriteMarks(bool flush) noexcept {
    try {
        ++marks_.generation;
        const std::string bytes = EncodeMarks(marks_);
        // Never into the slot that holds the marks last flushed: until the next flush, a power
        // loss may undo or cut short any write since, and that slot must still be whole.
        const std::uint64_t slot = 1 - flushed_slot_;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(slot * kMarksSlotBytes);
        DWORD written = 0;
        if (::WriteFile(marks_file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                        &at) &&
            written == bytes.size() && (!flush || FlushFileBuffers(marks_file_.get()))) {
            marks_changed_ = false;
            marks_unflushed_ = !flush;
            if (flush) {
                flushed_slot_ = slot;
                marks_flushed_at_ = GetTickCount64();
            }
            return true;
        }
    } catch (...) {
        // No memory for the slot's bytes: as if the disk had refused.
    }
    // The slot it went to may hold part of it: only a whole write, flushed, is made of it now.
    marks_changed_ = true;
    marks_unflushed_ = false;
    return false;
}

bool Outbox::FlushMarks() noexcept {
    if (FlushFileBuffers(marks_file_.get())) {
        // The unflushed write went to the slot the last flushed one did not use.
        flushed_slot_ = 1 - flushed_slot_;
        marks_flushed_at_ = GetTickCount64();
        marks_unflushed_ = false;
        return true;
    }
    marks_changed_ = true;
    marks_unflushed_ = false;
    return false;
}

bool Outbox::FlushDue() const noexcept {
    return GetTickCount64() - marks_flushed_at_ >= kMarksFlushMs;
}

bool Outbox::Covered(std::uint64_t file, std::uint64_t sequence) const noexcept {
    return std::any_of(marks_.accepted.begin(), marks_.accepted.end(),
                       [file, sequence](const AcceptedRange& range) {
                           return range.file == file && range.first <= sequence &&
                                  sequence <= range.last;
                       });
}

bool Outbox::AddRange(std::uint64_t file, std::uint64_t sequence) noexcept {
    // A range may grow over sequence numbers that its file does not hold any more, never over
    // a report of the file still to be sent.
    const auto unsent_between = [this, file](std::uint64_t low, std::uint64_t high) {
        auto entry = std::lower_bound(
            entries_.begin(), entries_.end(), low + 1,
            [](const Entry& e, std::uint64_t value) { return e.sequence < value; });
        for (; entry != entries_.end() && entry->sequence < high; ++entry) {
            if (entry->file == file) return true;
        }
        return false;
    };
    for (AcceptedRange& range : marks_.accepted) {
        if (range.file != file) continue;
        if (range.first <= sequence && sequence <= range.last) return true;
        if (sequence > range.last && !unsent_between(range.last, sequence)) {
            range.last = sequence;
            marks_changed_ = true;
            return true;
        }
        if (sequence < range.first && !unsent_between(sequence, range.first)) {
            range.first = sequence;
            marks_changed_ = true;
            return true;
        }
    }
    if (marks_.accepted.size() >= kMaxAcceptedRanges) return false;
    marks_.accepted.push_back(AcceptedRange{file, sequence, sequence});
    marks_changed_ = true;
    return true;
}

std::wstring Outbox::PathOf(std::uint64_t file, const wchar_t* extension) const {
    return folder_ + OutboxFileName(file, extension);
}

}  // namespace mirto
