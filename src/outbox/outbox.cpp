// The outbox's files: making the folder, listing, writing, reading back and removing reports.
#include "outbox/outbox.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace mirto {
namespace {

constexpr const wchar_t* kSavedExtension = L".rpt";
constexpr const wchar_t* kTemporaryExtension = L".tmp";
// The reports of this session whose bytes are kept in memory as well, so that sending them
// reads nothing back from the disk.
constexpr std::uint64_t kCacheBytes = std::uint64_t{1024} * 1024;
constexpr std::size_t kSequenceDigits = 16;
// No file of the outbox is larger than this (a batch stays within the caps, and one report
// alone may fill them); a bigger file is damaged whatever it holds.
constexpr std::uint64_t kLargestFile = kOutboxMaxBytes + 8 + kStoredHeaderBytes +
                                       2 * (kStoredHostMaxUnits + kStoredPathMaxUnits) +
                                       kStoredBodyMaxBytes;

bool MakeFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The sequence number and extension of one of the outbox's own file names; nothing for any
// other name (a foreign file, left alone).
struct OwnName {
    std::uint64_t sequence;
    std::wstring extension;
};

std::optional<OwnName> ParseName(const std::wstring& name) {
    if (name.size() != kSequenceDigits + 4) return std::nullopt;
    std::uint64_t sequence = 0;
    for (std::size_t i = 0; i < kSequenceDigits; ++i) {
        const wchar_t c = name[i];
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else {
            return std::nullopt;
        }
        sequence = (sequence << 4) | digit;
    }
    std::wstring extension = name.substr(kSequenceDigits);
    if (extension != kSavedExtension && extension != kTemporaryExtension) {
        return std::nullopt;
    }
    if (sequence == 0) return std::nullopt;
    return OwnName{sequence, std::move(extension)};
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > kLargestFile) {
        return std::string();  // unreadable size or too large: damaged
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size())) {
        return std::string();
    }
    return bytes;
}

constexpr std::size_t kSequenceBytes = 8;

std::uint64_t ReadLittleEndian(const std::string& bytes, std::size_t at, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

void PutSequence(std::string& out, std::uint64_t sequence) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((sequence >> (8 * i)) & 0xFF));
}

// One report's part of a file: where it starts and how long it is, its sequence number
// included.
struct Part {
    std::uint64_t sequence;
    std::size_t at;
    std::size_t size;
};

// The parts of a file, in order, as far as their lengths are whole and believable; `damaged`
// when something other than whole parts follows.
std::vector<Part> SplitParts(const std::string& bytes, bool* damaged) {
    std::vector<Part> parts;
    std::size_t at = 0;
    *damaged = false;
    while (at < bytes.size()) {
        if (bytes.size() - at < kSequenceBytes + kStoredHeaderBytes) {
            *damaged = true;
            break;
        }
        const std::size_t header = at + kSequenceBytes;
        const std::uint64_t host = ReadLittleEndian(bytes, header + 28, 4);
        const std::uint64_t path = ReadLittleEndian(bytes, header + 32, 4);
        const std::uint64_t body = ReadLittleEndian(bytes, header + 36, 4);
        if (host > kStoredHostMaxUnits || path > kStoredPathMaxUnits ||
            body > kStoredBodyMaxBytes) {
            *damaged = true;
            break;
        }
        const auto size = static_cast<std::size_t>(kSequenceBytes + kStoredHeaderBytes +
                                                   2 * (host + path) + body);
        if (size > bytes.size() - at) {
            *damaged = true;
            break;
        }
        parts.push_back(Part{ReadLittleEndian(bytes, at, 8), at, size});
        at += size;
    }
    return parts;
}

// The report of one part, or nothing when the part is damaged.
std::optional<StoredReport> DecodePart(const std::string& part) {
    if (part.size() < kSequenceBytes) return std::nullopt;
    return DecodeStoredReport(reinterpret_cast<const unsigned char*>(part.data()) + kSequenceBytes,
                              part.size() - kSequenceBytes);
}

// Writes `bytes` to a new file at `path` and flushes it to the disk.
bool WriteDurably(const std::wstring& path, const std::string& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size() && FlushFileBuffers(file.get());
}

// Writes `bytes` under a temporary name, flushed, then renames it to `final_path`: the final
// name never shows anything but the whole of them.
bool ReplaceDurably(const std::wstring& temporary, const std::wstring& final_path,
                    const std::string& bytes) {
    if (WriteDurably(temporary, bytes) &&
        MoveFileExW(temporary.c_str(), final_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    DeleteFileW(temporary.c_str());
    return false;
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
    FileHandle lock(CreateFileW((folder + L"lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!lock) return nullptr;
    FileHandle attempt(CreateFileW((folder + L"attempt").c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!attempt) return nullptr;
    std::unique_ptr<Outbox> outbox(new Outbox(folder, std::move(lock), std::move(attempt)));
    outbox->Index(drops);
    return outbox;
}

void Outbox::Index(OutboxDrops& drops) {
    // The report whose attempt the last process to use the outbox began last, and the last
    // one the collector accepted.
    unsigned char marks[16] = {};
    DWORD read = 0;
    if (!ReadFile(attempt_.get(), marks, sizeof(marks), &read, nullptr)) read = 0;
    for (int i = 7; i >= 0; --i) {
        if (read >= 8) attempt_written_ = (attempt_written_ << 8) | marks[i];
        if (read >= 16) delivered_written_ = (delivered_written_ << 8) | marks[8 + i];
    }
    next_sequence_ = std::max({next_sequence_, attempt_written_ + 1, delivered_written_ + 1});

    std::vector<std::uint64_t> found;
    WIN32_FIND_DATAW data;
    const FindHandle search(FindFirstFileW((folder_ + L"*").c_str(), &data));
    if (search) {
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
            const std::optional<OwnName> name = ParseName(data.cFileName);
            if (!name) continue;
            next_sequence_ = std::max(next_sequence_, name->sequence + 1);
            if (name->extension == kTemporaryExtension) {
                // Written by a process that ended before renaming it: never a whole batch.
                DeleteFileW((folder_ + data.cFileName).c_str());
                continue;
            }
            found.push_back(name->sequence);
        } while (FindNextFileW(search.get(), &data));
    }
    std::sort(found.begin(), found.end());
    for (const std::uint64_t file : found) {
        const std::wstring path = PathOf(file, kSavedExtension);
        const std::optional<std::string> bytes = ReadWholeFile(path);
        if (!bytes) continue;  // held open by someone else: not ours to judge
        bool damaged = false;
        std::size_t listed = 0;
        for (const Part& part : SplitParts(*bytes, &damaged)) {
            const std::optional<StoredReport> report =
                DecodePart(bytes->substr(part.at, part.size));
            if (!report) {
                damaged = true;
                break;
            }
            next_sequence_ = std::max(next_sequence_, part.sequence + 1);
            // Accepted by the collector already: the file outlived its process.
            if (part.sequence <= delivered_written_) continue;
            entries_.push_back(Entry{part.sequence, file, part.size, report->created_ms,
                                     report->priority, part.sequence == attempt_written_,
                                     std::string()});
            bytes_ += part.size;
            ++listed;
        }
        if (damaged) ++drops.damaged;
        if (listed == 0) {
            DeleteFileW(path.c_str());
            continue;
        }
        reports_in_file_[file] = listed;
        if (damaged) changed_files_.insert(file);  // written again without the damage
    }
    RewriteChanged();
}

Outbox::StoreResult Outbox::Store(const std::vector<StoredReport>& batch, OutboxDrops& drops) {
    const std::uint64_t file = next_sequence_;
    std::uint64_t sequence = file;
    std::string file_bytes;
    std::vector<Entry> added;
    std::uint64_t added_bytes = 0;
    for (const StoredReport& report : batch) {
        std::string part;
        PutSequence(part, sequence);
        part += EncodeStoredReport(report);
        if (!MakeRoom(report.priority, part.size(), added.size(), added_bytes, drops)) continue;
        file_bytes += part;
        added_bytes += part.size();
        added.push_back(Entry{sequence, file, part.size(), report.created_ms, report.priority,
                              false, std::move(part)});
        ++sequence;
    }
    if (!RewriteChanged()) return StoreResult::kFailed;
    if (added.empty()) return StoreResult::kStored;
    if (!ReplaceDurably(PathOf(file, kTemporaryExtension), PathOf(file, kSavedExtension),
                        file_bytes)) {
        return StoreResult::kFailed;
    }
    next_sequence_ = sequence;
    reports_in_file_[file] = added.size();
    for (Entry& entry : added) {
        if (cached_bytes_ + entry.cached.size() <= kCacheBytes) {
            cached_bytes_ += entry.cached.size();
        } else {
            std::string().swap(entry.cached);  // nothing kept, not even the buffer
        }
        bytes_ += entry.bytes;
        entries_.push_back(std::move(entry));
    }
    return StoreResult::kStored;
}

bool Outbox::MakeRoom(OutboxPriority priority, std::uint64_t bytes, std::size_t adding,
                      std::uint64_t adding_bytes, OutboxDrops& drops) {
    if (bytes > kOutboxMaxBytes) {
        ++drops.full;
        return false;
    }
    // The oldest report stays while its attempt runs.
    while (entries_.size() + adding + 1 > kOutboxMaxReports ||
           bytes_ + adding_bytes + bytes > kOutboxMaxBytes) {
        const auto candidates = entries_.begin() + (oldest_pinned_ ? 1 : 0);
        auto victim = std::find_if(candidates, entries_.end(), [](const Entry& entry) {
            return entry.priority == OutboxPriority::kDropFirst;
        });
        if (victim == entries_.end()) {
            if (priority == OutboxPriority::kDropFirst || candidates == entries_.end()) {
                ++drops.full;
                return false;
            }
            victim = candidates;
        }
        Forget(victim);
        ++drops.full;
    }
    return true;
}

void Outbox::Forget(const std::deque<Entry>::iterator& entry) {
    const std::uint64_t file = entry->file;
    bytes_ -= entry->bytes;
    cached_bytes_ -= entry->cached.size();
    if (entry == entries_.begin()) oldest_pinned_ = false;
    entries_.erase(entry);
    const auto holding = reports_in_file_.find(file);
    if (holding != reports_in_file_.end() && --holding->second == 0) {
        reports_in_file_.erase(holding);
        changed_files_.erase(file);
        DeleteFileW(PathOf(file, kSavedExtension).c_str());
    } else {
        changed_files_.insert(file);
    }
    if (read_file_ == file) read_file_ = 0;
}

bool Outbox::RewriteChanged() {
    while (!changed_files_.empty()) {
        const std::uint64_t file = *changed_files_.begin();
        std::string content;
        for (const Entry& entry : entries_) {
            if (entry.file != file) continue;
            const std::optional<std::string> part = EntryBytes(entry);
            if (!part) return false;
            content += *part;
        }
        if (!ReplaceDurably(PathOf(file, kTemporaryExtension), PathOf(file, kSavedExtension),
                            content)) {
            return false;
        }
        changed_files_.erase(file);
        if (read_file_ == file) read_file_ = 0;
    }
    return true;
}

std::optional<std::string> Outbox::EntryBytes(const Entry& entry) {
    if (!entry.cached.empty()) return entry.cached;
    if (read_file_ != entry.file) {
        std::optional<std::string> bytes = ReadWholeFile(PathOf(entry.file, kSavedExtension));
        if (!bytes) return std::nullopt;
        read_bytes_ = std::move(*bytes);
        read_file_ = entry.file;
    }
    bool damaged = false;
    for (const Part& part : SplitParts(read_bytes_, &damaged)) {
        if (part.sequence == entry.sequence) return read_bytes_.substr(part.at, part.size);
    }
    return std::nullopt;
}

std::optional<StoredReport> Outbox::Oldest(OutboxDrops& drops) {
    while (!entries_.empty()) {
        const std::optional<std::string> part = EntryBytes(entries_.front());
        std::optional<StoredReport> report;
        if (part) report = DecodePart(*part);
        if (report) return report;
        // Gone or changed since it was listed: damaged, whatever happened to it.
        Forget(entries_.begin());
        ++drops.damaged;
        RewriteChanged();
    }
    return std::nullopt;
}

bool Outbox::MarkOldestTried() {
    if (entries_.empty()) return false;
    WriteAttempt(entries_.front().sequence);
    return entries_.front().tried_earlier;
}

void Outbox::UnmarkOldestTried() {
    if (entries_.empty() || entries_.front().tried_earlier) return;
    WriteAttempt(0);
}

// One write into the open attempt file: no flush, which a process that ends needs none of.
bool Outbox::WriteMark(std::uint64_t offset, std::uint64_t sequence) noexcept {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(sequence >> (8 * i));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    DWORD written = 0;
    return WriteFile(attempt_.get(), bytes, sizeof(bytes), &written, &at) &&
           written == sizeof(bytes);
}

// A write that fails only means a cut-off attempt would not be counted as such.
void Outbox::WriteAttempt(std::uint64_t sequence) noexcept {
    if (sequence != attempt_written_ && WriteMark(0, sequence)) attempt_written_ = sequence;
}

bool Outbox::RemoveOldest() {
    if (entries_.empty()) return true;
    const std::uint64_t sequence = entries_.front().sequence;
    if (!WriteMark(8, sequence)) {
        // Not recorded: the report must leave its file now, or it would be sent again.
        Forget(entries_.begin());
        return RewriteChanged();
    }
    delivered_written_ = sequence;
    const std::uint64_t file = entries_.front().file;
    bytes_ -= entries_.front().bytes;
    cached_bytes_ -= entries_.front().cached.size();
    oldest_pinned_ = false;
    entries_.pop_front();
    const auto holding = reports_in_file_.find(file);
    if (holding != reports_in_file_.end() && --holding->second == 0) {
        // Every report in it accepted: the file goes while the next attempt runs.
        reports_in_file_.erase(holding);
        changed_files_.erase(file);
        if (read_file_ == file) read_file_ = 0;
        try {
            delivered_files_.push_back(file);
        } catch (...) {
            DeleteFileW(PathOf(file, kSavedExtension).c_str());
        }
    }
    return true;
}

bool Outbox::RemoveOneDelivered() {
    if (delivered_files_.empty()) return false;
    DeleteFileW(PathOf(delivered_files_.front(), kSavedExtension).c_str());
    delivered_files_.pop_front();
    return !delivered_files_.empty();
}

std::wstring Outbox::PathOf(std::uint64_t file, const wchar_t* extension) const {
    wchar_t name[kSequenceDigits + 1] = {};
    for (std::size_t i = 0; i < kSequenceDigits; ++i) {
        const unsigned digit = static_cast<unsigned>((file >> (4 * (15 - i))) & 0xF);
        name[i] = static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'a' + digit - 10);
    }
    return folder_ + name + extension;
}

}  // namespace mirto
