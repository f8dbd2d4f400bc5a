// The outbox's file work below its bookkeeping: its file names, reading a file whole, writing one
// durably under a temporary name. Used by outbox*.cpp only; worker thread.
#ifndef MIRTO_OUTBOX_OUTBOX_FILES_H
#define MIRTO_OUTBOX_OUTBOX_FILES_H

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "win/held_files.h"
#include "win/scoped_handle.h"

namespace mirto {

constexpr const wchar_t* kSavedExtension = L".rpt";
constexpr const wchar_t* kTemporaryExtension = L".tmp";

// A file that another program held is opened again after this pause, doubling up to the most.
constexpr DWORD kHeldFirstPauseMs = 2000;
constexpr DWORD kHeldLongestPauseMs = 60000;

// No sequence number beyond this is the outbox's: numbers never wrap, whatever a file says.
constexpr std::uint64_t kMaxSequence = std::uint64_t{1} << 62;

// "<16 hex digits><extension>".
std::wstring OutboxFileName(std::uint64_t sequence, const wchar_t* extension);

// The sequence number and extension of one of the outbox's own file names; nothing for any
// other name (a foreign file, left alone).
struct OwnName {
    std::uint64_t sequence;
    bool temporary;
};
std::optional<OwnName> ParseOutboxFileName(const std::wstring& name);

enum class FileRead {
    kRead,
    kHeld,     // another program holds it, or it could not be read whole now: try again later
    kGone,     // no such file
    kDamaged,  // too large for an outbox file, or its read fails for good
};
// Reads a whole file of at most `largest` bytes into `bytes`, in one try.
FileRead ReadWholeFile(const std::wstring& path, std::uint64_t largest, std::string& bytes);

// Writes `bytes` to a new file at `path` and flushes it; the open handle when it did (shared for
// reading and renaming, so the caller may rename it and go on appending), else none.
FileHandle WriteFlushedFile(const std::wstring& path, const std::string& bytes);

// Whether another program holds `path` open so that it could not be replaced now (one try).
bool IsHeldElsewhere(const std::wstring& path);

// Writes `bytes` under `temporary`, flushed, then renames it to `final_path`: the final name
// never shows anything but the whole of them. A temporary left behind by a failure is emptied,
// so that it is never taken for a whole file later. Waits for held files out of `patience`.
bool ReplaceDurably(const std::wstring& temporary, const std::wstring& final_path,
                    const std::string& bytes, FilePatience& patience);

}  // namespace mirto

#endif  // MIRTO_OUTBOX_OUTBOX_FILES_H
