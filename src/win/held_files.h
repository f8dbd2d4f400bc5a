// File calls that other programs can make fail for a moment.
//
// On Windows an antivirus scanner, the search indexer or a backup tool opens files briefly, and
// while such a handle lacks the sharing a call needs, a rename, a delete or an open without
// sharing fails with a sharing violation, a lock violation or access denied; a folder whose
// last file is being deleted may still read as not empty for a moment. These calls try again,
// with a pause that doubles from kFirstPauseMs, until they work, fail with another error, or
// their patience is spent; then they give up with the error of their last try. Whatever a
// removal finds already gone counts as removed.
//
// They sleep on the calling thread between tries: the worker's, never a game thread.
#ifndef MIRTO_WIN_HELD_FILES_H
#define MIRTO_WIN_HELD_FILES_H

#include <windows.h>

#include <algorithm>
#include <string>

#include "win/scoped_handle.h"

namespace mirto {

// How long one call waits for a held file on its own, in pauses: a scanner's look at a file
// takes milliseconds, a backup tool's can take longer, and a file still held after this is
// tried again later (or the caller goes on without it) rather than holding up the worker.
constexpr DWORD kHeldFilePatienceMs = 1270;  // 10 + 20 + ... + 640

// Whether an error is one that a program holding the file causes, and that passes.
bool IsPassingFileError(DWORD error) noexcept;

// The pauses that calls may spend waiting for held files. Give one to several calls and their
// pauses together never exceed its budget (a job of many removals); used by one thread at a
// time.
class FilePatience {
   public:
    static constexpr DWORD kFirstPauseMs = 10;

    explicit FilePatience(DWORD budget_ms = kHeldFilePatienceMs) noexcept : budget_ms_(budget_ms) {}

    // Calls `call` until its result is true, the error it left is not one that `passing`
    // accepts, or the budget is spent; returns its last result.
    template <typename Call, typename Passing>
    auto Try(Call call, Passing passing) -> decltype(call()) {
        auto result = call();
        while (!result && passing(GetLastError()) && budget_ms_ > 0) {
            const DWORD pause = std::min(pause_ms_, budget_ms_);
            Sleep(pause);
            budget_ms_ -= pause;
            pause_ms_ *= 2;
            result = call();
        }
        return result;
    }

   private:
    DWORD budget_ms_;
    DWORD pause_ms_ = kFirstPauseMs;
};

// CreateFileW, tried again while the file is held. A folder where the file should be fails
// with ERROR_DIRECTORY, at once.
FileHandle OpenHeldFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING, tried again while either file is held.
bool ReplaceHeldFile(const std::wstring& from, const std::wstring& to);
bool ReplaceHeldFile(const std::wstring& from, const std::wstring& to, FilePatience& patience);

// DeleteFileW, tried again while the file is held; true also when there was nothing to delete.
bool DeleteHeldFile(const std::wstring& path, FilePatience& patience);
bool DeleteHeldFile(const std::wstring& path);

// Removes an empty folder, tried again while it is held or still reads as not empty; true when
// it is gone.
bool RemoveHeldFolder(const std::wstring& path, FilePatience& patience);

// Removes a folder when it is empty and leaves it otherwise, without waiting.
void RemoveFolderIfEmpty(const std::wstring& path) noexcept;

}  // namespace mirto

#endif  // MIRTO_WIN_HELD_FILES_H
