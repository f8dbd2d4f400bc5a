// File calls that other programs can make fail for a moment. On Windows, antivirus, the search
// indexer and backup tools open files briefly, and while they do a rename, a delete or an open
// without sharing fails with a sharing violation or access denied. These calls try again for a
// bounded time (about 1.5 s in all, the pause growing from 10 ms), then give up with the error
// of their last try. Other errors end them at once. They run on the worker thread, never on a
// game thread.
#ifndef MIRTO_OUTBOX_HELD_FILES_H
#define MIRTO_OUTBOX_HELD_FILES_H

#include <windows.h>

#include <string>

#include "win/scoped_handle.h"

namespace mirto {

// CreateFileW, tried again while the file is held.
FileHandle OpenHeldFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING, tried again while either file is held.
bool ReplaceHeldFile(const std::wstring& from, const std::wstring& to);

// DeleteFileW, tried again while the file is held; true also when there was nothing to delete.
bool DeleteHeldFile(const std::wstring& path);

// Whether an error is one that a program holding the file causes, and that passes.
bool IsPassingFileError(DWORD error) noexcept;

}  // namespace mirto

#endif  // MIRTO_OUTBOX_HELD_FILES_H
