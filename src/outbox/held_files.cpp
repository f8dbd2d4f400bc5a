// The bounded retries of held_files.h.
#include "outbox/held_files.h"

namespace mirto {
namespace {

// Pauses between tries, 1,270 ms in all: a scanner's look at a file takes milliseconds, a
// backup tool's can take longer, and a file still held after this is tried again later (or the
// caller goes on without it) rather than holding up the worker.
constexpr DWORD kPausesMs[] = {10, 20, 40, 80, 160, 320, 640};

template <typename Call>
auto TryWhileHeld(Call call) -> decltype(call()) {
    auto result = call();
    for (const DWORD pause : kPausesMs) {
        if (result || !IsPassingFileError(GetLastError())) break;
        Sleep(pause);
        result = call();
    }
    return result;
}

}  // namespace

bool IsPassingFileError(DWORD error) noexcept {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

FileHandle OpenHeldFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    return TryWhileHeld([&] {
        FileHandle file(CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        // A folder where the file should be is refused as access denied too, and that does
        // not pass.
        if (!file && GetLastError() == ERROR_ACCESS_DENIED) {
            const DWORD attributes = GetFileAttributesW(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                SetLastError(ERROR_DIRECTORY);
            } else {
                SetLastError(ERROR_ACCESS_DENIED);
            }
        }
        return file;
    });
}

bool ReplaceHeldFile(const std::wstring& from, const std::wstring& to) {
    return TryWhileHeld(
        [&] { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; });
}

bool DeleteHeldFile(const std::wstring& path) {
    return TryWhileHeld([&] {
        return DeleteFileW(path.c_str()) != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND ||
               GetLastError() == ERROR_PATH_NOT_FOUND;
    });
}

}  // namespace mirto
