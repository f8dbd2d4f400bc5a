// Folders the Windows benchmarks use and clean up after themselves: the system's known folders,
// and the removal of a folder with everything under it.
#ifndef MIRTO_BENCH_WINDOWS_BENCH_FOLDERS_H
#define MIRTO_BENCH_WINDOWS_BENCH_FOLDERS_H

#include <windows.h>

#include <shlobj.h>

#include <string>

namespace mirto_bench {

inline std::wstring KnownFolder(int csidl) {
    wchar_t base[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, csidl, nullptr, 0, base) != S_OK) return {};
    return base;
}

// Removes `folder` and everything under it.
inline void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &data));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace mirto_bench

#endif  // MIRTO_BENCH_WINDOWS_BENCH_FOLDERS_H
