// Opening the outbox: its folders and lock, its marks, what an earlier process left behind, and
// the list of saved reports.
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "outbox/file_layout.h"
#include "outbox/outbox.h"
#include "outbox/outbox_files.h"
#include "win/held_files.h"
#include "win/wall_clock.h"

namespace mirto {
namespace {

bool MakeFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::uint64_t LittleEndian(const unsigned char* data) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | data[i];
    return value;
}

std::uint64_t SizeOf(const WIN32_FIND_DATAW& data) {
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

std::unique_ptr<Outbox> Outbox::Open(const std::wstring& application_id, OutboxDrops& drops) {
    wchar_t base[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base) !=
        S_OK) {
        return nullptr;
    }
    std::wstring folder = std::wstring(base) + L"\\mirto\\";
    if (!MakeFolder(folder)) return nullptr;
    folder += application_id + L"\\";
    if (!MakeFolder(folder)) return nullptr;
    folder += L"outbox\\";
    if (!MakeFolder(folder)) return nullptr;
    // Another copy of the game holds it for as long as it runs; a scanner only for a moment.
    FileHandle lock = OpenHeldFile(folder + L"lock", GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    if (!lock) return nullptr;
    std::unique_ptr<Outbox> outbox(new Outbox(folder, std::move(lock), drops));
    if (!outbox->OpenMarks()) return nullptr;
    outbox->Index();
    return outbox;
}

bool Outbox::OpenMarks() {
    marks_file_ = OpenHeldFile(folder_ + L"marks", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               OPEN_ALWAYS);
    if (!marks_file_) return false;
    std::string bytes(2 * kMarksSlotBytes, '\0');
    DWORD read = 0;
    if (!::ReadFile(marks_file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read,
                    nullptr)) {
        read = 0;
    }
    bytes.resize(read);
    std::size_t slot = 0;
    marks_ = NewestMarks(bytes, &slot);
    flushed_slot_ = slot;
    // Nothing from disk raises sequence numbers past the outbox's own.
    if (marks_.attempted > kMaxSequence) marks_.attempted = 0;
    marks_.accepted.erase(std::remove_if(marks_.accepted.begin(), marks_.accepted.end(),
                                         [](const AcceptedRange& range) {
                                             return range.last > kMaxSequence ||
                                                    range.first > range.last;
                                         }),
                          marks_.accepted.end());
    // Room for every range it may hold: recording an acceptance never needs memory.
    marks_.accepted.reserve(kMaxAcceptedRanges);
    attempted_at_open_ = marks_.attempted;
    return true;
}

// A temporary is a file written by a process that ended before renaming it, or whose rename a
// power loss undid after it had been reported stored (and was appended to afterwards, through
// the handle kept open). Where no saved file of its name is left, it is kept as that file, with
// whatever whole batches it holds. Where one is, the temporary is that file written again
// without what it lost (one batch), kept when it is whole. Any other is a store that never
// finished, and goes. Returns the saved files, with their sizes.
std::vector<std::pair<std::uint64_t, std::uint64_t>> Outbox::SettleTemporaries() {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> saved;
    std::vector<std::uint64_t> temporaries;
    WIN32_FIND_DATAW data;
    const FindHandle search(FindFirstFileW((folder_ + L"*").c_str(), &data));
    if (search) {
        do {
            const std::optional<OwnName> name = ParseOutboxFileName(data.cFileName);
            if (!name) continue;
            // (A folder under such a name is not ours, but no file of ours may take its name.)
            next_sequence_ = std::max(next_sequence_, name->sequence + 1);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
            if (name->temporary) {
                temporaries.push_back(name->sequence);
            } else {
                saved.emplace_back(name->sequence, SizeOf(data));
            }
        } while (FindNextFileW(search.get(), &data));
    }
    for (const std::uint64_t file : temporaries) {
        const std::wstring temporary = PathOf(file, kTemporaryExtension);
        std::string bytes;
        const FileRead read = ReadWholeFile(temporary, kLargestOutboxFile, bytes);
        // Looked at again at the next start, and may then be kept as the file it names: none of
        // the reports it holds may share a number with a new one meanwhile, and its file's
        // acceptances stay recorded.
        const auto leave_for_next_start = [this, file] {
            next_sequence_ = std::max(next_sequence_, file + kOutboxMaxReports + 1);
            held_temporaries_.insert(file);
        };
        if (read == FileRead::kHeld) {
            leave_for_next_start();
            continue;
        }
        const ParsedFile parsed = ParseOutboxFile(bytes, file);
        const auto known = std::find_if(saved.begin(), saved.end(),
                                        [file](const auto& s) { return s.first == file; });
        const bool batches = read == FileRead::kRead && parsed.layout == FileLayout::kBatches;
        const bool keep = known == saved.end() ? batches && parsed.batches > 0
                                               : batches && parsed.batches == 1 && !parsed.damaged;
        if (!keep) {
            DeleteHeldFile(temporary);
            continue;
        }
        if (!ReplaceHeldFile(temporary, PathOf(file, kSavedExtension))) {
            leave_for_next_start();  // read, but held against its rename
            continue;
        }
        if (known == saved.end()) {
            saved.emplace_back(file, bytes.size());
        } else {
            known->second = bytes.size();
        }
    }
    std::sort(saved.begin(), saved.end());
    return saved;
}

void Outbox::Index() {
    // The marks of the version before held only the last report accepted: every report up to
    // it, in that version's files, had been accepted.
    const std::wstring old_marks = folder_ + L"attempt";
    bool old_marks_found = false;
    {
        const FileHandle old(CreateFileW(old_marks.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        unsigned char bytes[16] = {};
        DWORD read = 0;
        old_marks_found = static_cast<bool>(old);
        if (old && ::ReadFile(old.get(), bytes, sizeof(bytes), &read, nullptr) && read >= 8) {
            if (marks_.attempted == 0 && LittleEndian(bytes) <= kMaxSequence) {
                marks_.attempted = attempted_at_open_ = LittleEndian(bytes);
            }
            if (read >= 16 && LittleEndian(bytes + 8) <= kMaxSequence) {
                legacy_accepted_up_to_ = LittleEndian(bytes + 8);
            }
        }
    }
    next_sequence_ = std::max({next_sequence_, marks_.attempted + 1, legacy_accepted_up_to_ + 1});
    for (const AcceptedRange& range : marks_.accepted) {
        next_sequence_ = std::max(next_sequence_, range.last + 1);
    }

    for (const auto& [file, size] : SettleTemporaries()) {
        // (One larger than any outbox file is damaged once it can be read; until then it takes
        // nothing from the caps.)
        files_[file].size = size <= kLargestOutboxFile ? size : 0;
        disk_bytes_ += files_[file].size;
        if (ListFile(file) == FileRead::kHeld) {
            FileState& state = files_[file];
            state.unread = true;
            Held(state);
            // Its reports are not known yet: none of them may share a number with a new one.
            next_sequence_ = std::max(next_sequence_, file + kOutboxMaxReports + 1);
        }
        // Far beyond the caps (files this version did not write): given up now, so that what
        // is listed stays bounded however many such files there are.
        if (entries_.size() > 2 * kOutboxMaxReports) GiveUpBeyondTheCaps();
    }
    legacy_accepted_up_to_ = 0;
    // Ranges of files that are gone are of no more use; those of a held temporary's file still
    // cover what a later start may read from it.
    const auto before = marks_.accepted.size();
    marks_.accepted.erase(std::remove_if(marks_.accepted.begin(), marks_.accepted.end(),
                                         [this](const AcceptedRange& range) {
                                             return files_.count(range.file) == 0 &&
                                                    held_temporaries_.count(range.file) == 0;
                                         }),
                          marks_.accepted.end());
    if (marks_.accepted.size() != before) marks_changed_ = true;
    GiveUpBeyondTheCaps();
    RewriteChanged();
    if ((marks_changed_ || old_marks_found) && WriteMarks() && old_marks_found) {
        DeleteHeldFile(old_marks);
    }
}

// Reports restored beyond the caps (saved by a version with other caps, or in files that could
// not be read when the caps were last applied) are given up as a store would.
void Outbox::GiveUpBeyondTheCaps() {
    std::vector<std::uint64_t> victims;
    std::vector<bool> keep;
    ChooseVictims({}, {}, keep, victims);
    drops_.full += victims.size();
    for (const std::uint64_t sequence : victims) {
        const auto entry = Find(sequence);
        if (entry != entries_.end()) Forget(entry);
    }
}

FileRead Outbox::ListFile(std::uint64_t file) {
    std::string bytes;
    const FileRead read = ReadWholeFile(PathOf(file, kSavedExtension), kLargestOutboxFile, bytes);
    if (read == FileRead::kHeld) return read;
    FileState& state = files_[file];
    state.unread = false;
    if (read == FileRead::kGone) {
        disk_bytes_ -= std::min(disk_bytes_, state.size);
        files_.erase(file);
        return read;
    }
    if (read == FileRead::kRead) {
        disk_bytes_ = disk_bytes_ - std::min(disk_bytes_, state.size) + bytes.size();
        state.size = bytes.size();
    }
    const ParsedFile parsed = read == FileRead::kRead ? ParseOutboxFile(bytes, file) : ParsedFile{};
    // No file of ours holds more reports than the outbox may.
    bool damaged = read != FileRead::kRead || parsed.damaged || parsed.parts.empty() ||
                   parsed.parts.size() > kOutboxMaxReports;
    const bool own = state.own;
    bool changed = damaged;
    const std::uint64_t now = WallClockMs();
    std::vector<Entry> listed;
    for (const FilePart& part : parsed.parts) {
        if (damaged && parsed.parts.size() > kOutboxMaxReports) break;
        const auto known = Find(part.sequence);
        // Listed already from this file (the report being attempted when this session's file
        // was listed again).
        if (known != entries_.end() && known->file == file && own) continue;
        // A number that is not the outbox's own, or that another report has already: damaged.
        if (part.sequence == 0 || part.sequence > kMaxSequence || known != entries_.end() ||
            std::any_of(listed.begin(), listed.end(),
                        [&part](const Entry& e) { return e.sequence == part.sequence; })) {
            damaged = changed = true;
            continue;
        }
        next_sequence_ = std::max(next_sequence_, part.sequence + 1);
        // Accepted by the collector already: the file outlived its process.
        if (Covered(file, part.sequence)) continue;
        if (part.sequence <= legacy_accepted_up_to_ && parsed.layout != FileLayout::kBatches) {
            if (AddRange(file, part.sequence)) continue;
        }
        const std::optional<StoredReport> report = DecodeStoredReport(
            reinterpret_cast<const unsigned char*>(bytes.data()) + part.at, part.size);
        if (!report || !IsSendable(*report)) {
            damaged = changed = true;
            continue;
        }
        if (IsExpired(report->created_ms, now)) {
            ++drops_.expired;
            changed = true;
            continue;
        }
        listed.push_back(Entry{part.sequence, file, kSequenceBytes + part.size, report->created_ms,
                               report->priority, part.sequence == attempted_at_open_, !own,
                               HostIndex(report->host, report->port), 0, std::string()});
    }
    if (damaged) ++drops_.damaged;
    files_[file].listed += listed.size();
    if (!own) restored_ += listed.size();
    for (Entry& entry : listed) {
        const auto at = std::lower_bound(
            entries_.begin(), entries_.end(), entry.sequence,
            [](const Entry& e, std::uint64_t sequence) { return e.sequence < sequence; });
        entries_.insert(at, std::move(entry));
    }
    if (files_[file].listed == 0) {
        RemoveFile(file);
    } else if (changed) {
        // Written again without what it lost (in the current layout). Files of the version
        // before that lost nothing are sent as they are.
        changed_files_.insert(file);
    }
    return damaged ? FileRead::kDamaged : FileRead::kRead;
}

}  // namespace mirto
