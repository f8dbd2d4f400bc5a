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
// No whole report is larger than this; a bigger file is damaged whatever it holds.
constexpr std::uint64_t kLargestFile =
    kStoredHeaderBytes + 2 * (kStoredHostMaxUnits + kStoredPathMaxUnits) + kStoredBodyMaxBytes;

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

std::optional<StoredReport> Decode(const std::string& bytes) {
    return DecodeStoredReport(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
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

    std::vector<std::pair<std::uint64_t, std::wstring>> found;
    WIN32_FIND_DATAW data;
    const FindHandle search(FindFirstFileW((folder_ + L"*").c_str(), &data));
    if (search) {
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
            const std::optional<OwnName> name = ParseName(data.cFileName);
            if (!name) continue;
            next_sequence_ = std::max(next_sequence_, name->sequence + 1);
            if (name->extension == kTemporaryExtension) {
                // Written by a process that ended before renaming it: never a whole report.
                DeleteFileW((folder_ + data.cFileName).c_str());
                continue;
            }
            if (name->sequence <= delivered_written_) {
                // Accepted by the collector; the process ended before it removed the file.
                DeleteFileW((folder_ + data.cFileName).c_str());
                continue;
            }
            found.emplace_back(name->sequence, name->extension);
        } while (FindNextFileW(search.get(), &data));
    }
    std::sort(found.begin(), found.end());
    for (const auto& [sequence, extension] : found) {
        const std::wstring path = PathOf(sequence, extension.c_str());
        const std::optional<std::string> bytes = ReadWholeFile(path);
        if (!bytes) continue;  // held open by someone else: not ours to judge
        const std::optional<StoredReport> report = Decode(*bytes);
        if (!report) {
            DeleteFileW(path.c_str());
            ++drops.damaged;
            continue;
        }
        entries_.push_back(Entry{sequence, bytes->size(), report->created_ms, report->priority,
                                 sequence == attempt_written_, std::string()});
        bytes_ += bytes->size();
    }
}

Outbox::StoreResult Outbox::Store(const StoredReport& report, OutboxDrops& drops) {
    std::string bytes = EncodeStoredReport(report);
    if (!MakeRoom(report, bytes.size(), drops)) return StoreResult::kGivenUp;
    const std::uint64_t sequence = next_sequence_;
    const std::wstring temporary = PathOf(sequence, kTemporaryExtension);
    const std::wstring saved = PathOf(sequence, kSavedExtension);
    // The data is flushed before the rename, so the final name never shows a partial report.
    if (!WriteDurably(temporary, bytes) ||
        !MoveFileExW(temporary.c_str(), saved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        return StoreResult::kFailed;
    }
    ++next_sequence_;
    const std::uint64_t size = bytes.size();
    if (cached_bytes_ + size <= kCacheBytes) {
        cached_bytes_ += size;
    } else {
        std::string().swap(bytes);  // nothing kept, not even the buffer
    }
    entries_.push_back(
        Entry{sequence, size, report.created_ms, report.priority, false, std::move(bytes)});
    bytes_ += size;
    return StoreResult::kStored;
}

bool Outbox::MakeRoom(const StoredReport& report, std::uint64_t bytes, OutboxDrops& drops) {
    if (bytes > kOutboxMaxBytes) {
        ++drops.full;
        return false;
    }
    // The oldest report stays while its attempt runs.
    while (entries_.size() + 1 > kOutboxMaxReports || bytes_ + bytes > kOutboxMaxBytes) {
        const auto candidates = entries_.begin() + (oldest_pinned_ ? 1 : 0);
        auto victim = std::find_if(candidates, entries_.end(), [](const Entry& entry) {
            return entry.priority == OutboxPriority::kDropFirst;
        });
        if (victim == entries_.end()) {
            if (report.priority == OutboxPriority::kDropFirst || candidates == entries_.end()) {
                ++drops.full;
                return false;
            }
            victim = candidates;
        }
        // A file that cannot be removed still counts against the caps on the next start;
        // here it is given up all the same.
        Remove(victim);
        ++drops.full;
    }
    return true;
}

std::optional<StoredReport> Outbox::Oldest(OutboxDrops& drops) {
    while (!entries_.empty()) {
        std::optional<StoredReport> report;
        if (!entries_.front().cached.empty()) {
            report = Decode(entries_.front().cached);
        } else if (const std::optional<std::string> bytes =
                       ReadWholeFile(PathOf(entries_.front()))) {
            report = Decode(*bytes);
        }
        if (report) return report;
        // Gone or changed since it was listed: damaged, whatever happened to it.
        Remove(entries_.begin());
        ++drops.damaged;
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
    if (!WriteMark(8, sequence)) return Remove(entries_.begin());
    delivered_written_ = sequence;
    // The file goes later; from now on the outbox only knows it as one to remove.
    try {
        delivered_files_.push_back(sequence);
    } catch (...) {
        return Remove(entries_.begin());
    }
    Entry& oldest = entries_.front();
    bytes_ -= oldest.bytes;
    cached_bytes_ -= oldest.cached.size();
    oldest_pinned_ = false;
    entries_.pop_front();
    return true;
}

bool Outbox::RemoveOneDelivered() {
    if (delivered_files_.empty()) return false;
    DeleteFileW(PathOf(delivered_files_.front(), kSavedExtension).c_str());
    delivered_files_.pop_front();
    return !delivered_files_.empty();
}

bool Outbox::Remove(const std::deque<Entry>::iterator& entry) {
    const bool removed =
        DeleteFileW(PathOf(*entry).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    bytes_ -= entry->bytes;
    cached_bytes_ -= entry->cached.size();
    if (entry == entries_.begin()) oldest_pinned_ = false;
    entries_.erase(entry);
    return removed;
}

std::wstring Outbox::PathOf(std::uint64_t sequence, const wchar_t* extension) const {
    wchar_t name[kSequenceDigits + 1] = {};
    for (std::size_t i = 0; i < kSequenceDigits; ++i) {
        const unsigned digit = static_cast<unsigned>((sequence >> (4 * (15 - i))) & 0xF);
        name[i] = static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'a' + digit - 10);
    }
    return folder_ + name + extension;
}

std::wstring Outbox::PathOf(const Entry& entry) const {
    return PathOf(entry.sequence, kSavedExtension);
}

}  // namespace mirto
