// Counting the saved reports through the outbox itself, then removing its files and folder.
#include "outbox/outbox_removal.h"

#include <windows.h>

#include <shlobj.h>

#include <memory>
#include <vector>

#include "outbox/outbox.h"
#include "platform/save_path.h"
#include "win/scoped_handle.h"

namespace mirto {
namespace {

// "<LocalAppData>\mirto\<application id>\", found without creating anything; never for an id
// that would lead out of the library's own folder.
bool ApplicationFolder(const std::wstring& application_id, std::wstring& folder) {
    if (!IsApplicationFolderName(application_id)) return false;
    wchar_t base[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base) != S_OK) return false;
    folder = std::wstring(base) + L"\\mirto\\" + application_id + L"\\";
    return true;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    const FindHandle search(FindFirstFileW((folder + L"*").c_str(), &data));
    if (!search) return files;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            files.push_back(folder + data.cFileName);
        }
    } while (FindNextFileW(search.get(), &data));
    return files;
}

}  // namespace

OutboxDiscard DiscardOutbox(const std::wstring& application_id, FilePatience& patience) {
    std::wstring application;
    if (!ApplicationFolder(application_id, application)) return OutboxDiscard{true, 0};
    const std::wstring folder = application + L"outbox\\";
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return OutboxDiscard{true, 0};
    }
    OutboxDiscard discard{false, 0};
    {
        // Opening it takes its lock and lists what it holds: another process that holds the
        // outbox keeps it, whole.
        OutboxDrops drops;
        const std::unique_ptr<Outbox> outbox = Outbox::Open(application_id, drops);
        if (!outbox) return discard;
        discard.reports = outbox->size();
    }
    // The lock first: a process that takes the outbox meanwhile keeps the rest of it.
    discard.left_behind = true;
    if (!DeleteHeldFile(folder + L"lock", patience)) return discard;
    bool removed = true;
    for (const std::wstring& file : FilesIn(folder))
        removed = DeleteHeldFile(file, patience) && removed;
    discard.left_behind = !removed;
    discard.removed = removed && RemoveHeldFolder(folder, patience);
    RemoveFolderIfEmpty(application);
    return discard;
}

}  // namespace mirto
