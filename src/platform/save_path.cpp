// Making the save folder and the profile file, folder by folder.
#include "platform/save_path.h"

#include <windows.h>

#include <shlobj.h>

#include "win/scoped_handle.h"

namespace mirto {
namespace {

constexpr const wchar_t* kOwnFolder = L"\\mirto\\";
constexpr const wchar_t* kProfileFile = L"\\mirto.ini";

bool MakeFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The roaming application-data folder; `create_flag` lets the system create it if missing.
std::optional<std::wstring> AppDataFolder(int create_flag) {
    wchar_t base[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA | create_flag, nullptr, 0, base) != S_OK) {
        return std::nullopt;
    }
    return std::wstring(base);
}

}  // namespace

// The application id names exactly one folder below "mirto": never the folder itself or its
// parent, never a path that leads elsewhere.
bool IsApplicationFolderName(const std::wstring& application_id) {
    return application_id != L"." && application_id != L".." &&
           application_id.find_first_of(L"\\/") == std::wstring::npos;
}

std::optional<std::wstring> CreateSavePath(const std::wstring& application_id) {
    if (!IsApplicationFolderName(application_id)) return std::nullopt;
    const std::optional<std::wstring> base = AppDataFolder(CSIDL_FLAG_CREATE);
    if (!base) return std::nullopt;
    std::wstring path = *base + kOwnFolder;
    if (!MakeFolder(path)) return std::nullopt;
    path += application_id;
    if (!MakeFolder(path)) return std::nullopt;
    path += kProfileFile;
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    return path;
}

std::optional<std::wstring> FindSavePath(const std::wstring& application_id) {
    if (!IsApplicationFolderName(application_id)) return std::nullopt;
    const std::optional<std::wstring> base = AppDataFolder(0);
    if (!base) return std::nullopt;
    return *base + kOwnFolder + application_id + kProfileFile;
}

}  // namespace mirto
