// Each call's try and the errors worth another one.
#include "win/held_files.h"

namespace mirto {
namespace {

bool AlreadyGone(DWORD error) noexcept {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A folder's last file may still be on its way out.
bool PassingForFolder(DWORD error) noexcept {
    return IsPassingFileError(error) || error == ERROR_DIR_NOT_EMPTY;
}

}  // namespace

bool IsPassingFileError(DWORD error) noexcept {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

FileHandle OpenHeldFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    FilePatience patience;
    return patience.Try(
        [&] {
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
        },
        IsPassingFileError);
}

bool ReplaceHeldFile(const std::wstring& from, const std::wstring& to) {
    FilePatience patience;
    return ReplaceHeldFile(from, to, patience);
}

bool ReplaceHeldFile(const std::wstring& from, const std::wstring& to, FilePatience& patience) {
    return patience.Try(
        [&] { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; },
        IsPassingFileError);
}

bool DeleteHeldFile(const std::wstring& path, FilePatience& patience) {
    return patience.Try(
        [&] { return DeleteFileW(path.c_str()) != FALSE || AlreadyGone(GetLastError()); },
        IsPassingFileError);
}

bool DeleteHeldFile(const std::wstring& path) {
    FilePatience patience;
    return DeleteHeldFile(path, patience);
}

bool RemoveHeldFolder(const std::wstring& path, FilePatience& patience) {
    return patience.Try(
        [&] { return RemoveDirectoryW(path.c_str()) != FALSE || AlreadyGone(GetLastError()); },
        PassingForFolder);
}

void RemoveFolderIfEmpty(const std::wstring& path) noexcept { RemoveDirectoryW(path.c_str()); }

}  // namespace mirto
