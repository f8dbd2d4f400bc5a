// Each try, the errors worth another one, and the pauses between them.
#include "win/patient_removal.h"

#include <algorithm>

namespace mirto {
namespace {

bool AlreadyGone(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// What another program's handle, or a deletion still pending, makes a removal fail with.
bool HeldByAnother(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_DIR_NOT_EMPTY;
}

}  // namespace

template <typename Remove>
bool PatientRemoval::Patiently(Remove remove) noexcept {
    for (;;) {
        if (remove()) return true;
        const DWORD error = GetLastError();
        if (AlreadyGone(error)) return true;
        if (!HeldByAnother(error) || budget_ms_ == 0) return false;
        const DWORD pause = std::min(pause_ms_, budget_ms_);
        Sleep(pause);
        budget_ms_ -= pause;
        pause_ms_ *= 2;
    }
}

bool PatientRemoval::RemoveFile(const std::wstring& path) noexcept {
    return Patiently([&path] { return DeleteFileW(path.c_str()) != FALSE; });
}

bool PatientRemoval::RemoveFolder(const std::wstring& path) noexcept {
    return Patiently([&path] { return RemoveDirectoryW(path.c_str()) != FALSE; });
}

void PatientRemoval::RemoveFolderIfEmpty(const std::wstring& path) noexcept {
    RemoveDirectoryW(path.c_str());
}

}  // namespace mirto
