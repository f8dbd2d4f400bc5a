// The outbox's file names, reads and durable writes (outbox_files.h).
#include "outbox/outbox_files.h"

#include <utility>

#include "win/held_files.h"

namespace mirto {
namespace {

constexpr std::size_t kSequenceDigits = 16;

// Read errors that last: the medium itself is damaged. Any other (a range another program has
// locked, the system short of resources, a drive not ready or gone for a moment) may pass.
bool IsLastingReadError(DWORD error) noexcept {
    return error == ERROR_CRC || error == ERROR_SECTOR_NOT_FOUND || error == ERROR_FILE_CORRUPT ||
           error == ERROR_DISK_CORRUPT;
}

}  // namespace

std::wstring OutboxFileName(std::uint64_t sequence, const wchar_t* extension) {
    wchar_t name[kSequenceDigits + 1] = {};
    for (std::size_t i = 0; i < kSequenceDigits; ++i) {
        const auto digit = static_cast<unsigned>((sequence >> (4 * (15 - i))) & 0xF);
        name[i] = static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'a' + digit - 10);
    }
    return std::wstring(name) + extension;
}

std::optional<OwnName> ParseOutboxFileName(const std::wstring& name) {
    if (name.size() != kSequenceDigits + 4) return std::nullopt;
    std::uint64_t sequence = 0;
    for (std::size_t i = 0; i < kSequenceDigits; ++i) {
        const wchar_t c = name[i];
        unsigned digit = 0;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else if (c >= L'A' && c <= L'F') {
            // NTFS does not tell cases apart: this is the name the outbox would write.
            digit = static_cast<unsigned>(c - L'A' + 10);
        } else {
            return std::nullopt;
        }
        sequence = (sequence << 4) | digit;
    }
    std::wstring extension = name.substr(kSequenceDigits);
    for (wchar_t& c : extension) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    if (sequence == 0 || sequence > kMaxSequence ||
        (extension != kSavedExtension && extension != kTemporaryExtension)) {
        return std::nullopt;
    }
    return OwnName{sequence, extension == kTemporaryExtension};
}

FileRead ReadWholeFile(const std::wstring& path, std::uint64_t largest, std::string& bytes) {
    // One try: a file another program holds is read later, without holding up the worker.
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileRead::kGone;
        // Held by another program, or refused for a reason that may pass: never judged
        // damaged unread.
        return FileRead::kHeld;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) return FileRead::kHeld;
    if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > largest) {
        return FileRead::kDamaged;
    }
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        // Read again later when the failure passes; a file that can never be read is damaged
        // (else it would be read again for ever, and count against the caps).
        return IsLastingReadError(GetLastError()) ? FileRead::kDamaged : FileRead::kHeld;
    }
    // Short of what the size said (the file changed meanwhile): read again later, whole.
    return read == bytes.size() ? FileRead::kRead : FileRead::kHeld;
}

FileHandle WriteFlushedFile(const std::wstring& path, const std::string& bytes) {
    FileHandle file =
        OpenHeldFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_ALWAYS);
    if (!file) return FileHandle();
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get())) {
        // Never left to look whole: cut to nothing (a later start removes it).
        SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
        SetEndOfFile(file.get());
        return FileHandle();
    }
    return file;
}

bool IsHeldElsewhere(const std::wstring& path) {
    const FileHandle probe(CreateFileW(path.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe && IsPassingFileError(GetLastError());
}

bool ReplaceDurably(const std::wstring& temporary, const std::wstring& final_path,
                    const std::string& bytes, FilePatience& patience) {
    FileHandle file = WriteFlushedFile(temporary, bytes);
    if (!file) return false;  // (a temporary it could write to but not fill is left empty)
    file.reset();
    if (ReplaceHeldFile(temporary, final_path, patience)) return true;
    // The temporary is whole: were it left so, a later start would take it for a store that
    // finished. Emptied, it is only a leftover.
    if (!DeleteHeldFile(temporary, patience)) {
        const FileHandle again = OpenHeldFile(
            temporary, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, TRUNCATE_EXISTING);
        static_cast<void>(again);
    }
    return false;
}

}  // namespace mirto
