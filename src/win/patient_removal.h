// Removing files and folders that other programs may hold open for a moment.
//
// On Windows an antivirus scanner, the search indexer or a backup tool opens files briefly,
// and while such a handle lacks delete sharing, DeleteFileW fails with a sharing violation or
// access denied; a folder whose last file is being deleted may still read as not empty for a
// moment. So each removal is tried again, with a pause that doubles from kFirstPauseMs, until
// it works or the budget that all removals of one job share has been spent. Whatever was never
// there counts as removed.
//
// Used by one thread at a time; it sleeps on that thread between tries.
#ifndef MIRTO_WIN_PATIENT_REMOVAL_H
#define MIRTO_WIN_PATIENT_REMOVAL_H

#include <windows.h>

#include <string>

namespace mirto {

class PatientRemoval {
   public:
    static constexpr DWORD kFirstPauseMs = 10;

    // `budget_ms`: how long all the removals of this job may wait, in pauses, together.
    explicit PatientRemoval(DWORD budget_ms) noexcept : budget_ms_(budget_ms) {}

    // True when the file is gone.
    bool RemoveFile(const std::wstring& path) noexcept;
    // Removes an empty folder; true when it is gone.
    bool RemoveFolder(const std::wstring& path) noexcept;
    // Removes a folder when it is empty and leaves it otherwise, without waiting.
    static void RemoveFolderIfEmpty(const std::wstring& path) noexcept;

   private:
    template <typename Remove>
    bool Patiently(Remove remove) noexcept;

    DWORD budget_ms_;
    DWORD pause_ms_ = kFirstPauseMs;
};

}  // namespace mirto

#endif  // MIRTO_WIN_PATIENT_REMOVAL_H
