// Making the save folder and the profile file, folder by folder.
#include "platform/save_path.h"

#include <windows.h>

#include <shlobj.h>

#include "win/scoped_handle.h"

namespace mirto {
namespace {

// The application id names exactly one folder below "mirto": never the folder itself or its
// parent, never a path that leads elsewhere.
bool IsOneFolderName(const std::wstring& name) {
    return name != L"." && name != L".." && name.find_first_of(L"\\/") == std::wstring::npos;
}

bool MakeFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

std::optional<std::wstring> CreateSavePath(const std::wstring& application_id) {
    if (!IsOneFolderName(application_id)) return std::nullopt;
    wchar_t base[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base) != S_OK) {
        return std::nullopt;
    }
    std::wstring path = std::wstring(base) + L"\\mirto\\";
    if (!MakeFolder(path)) return std::nullopt;
    path += application_id;
    if (!MakeFolder(path)) return std::nullopt;
    path += L"\\mirto.ini";
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    return path;
}

}  // namespace mirto
