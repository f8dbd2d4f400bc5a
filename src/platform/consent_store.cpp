// Reading and writing the decision entry, and removing the profile.
#include "platform/consent_store.h"

#include <windows.h>

#include <optional>

#include "platform/profile_store.h"
#include "platform/save_path.h"

namespace mirto {
namespace {

constexpr const wchar_t* kGrantedText = L"granted";
constexpr const wchar_t* kRefusedText = L"refused";

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

StoredConsent ReadStoredConsent(const std::wstring& application_id) {
    const std::optional<std::wstring> profile = FindSavePath(application_id);
    if (!profile || !Exists(*profile)) return StoredConsent::kNone;
    // A profile another program holds for a moment reads as holding nothing: wait for it.
    static_cast<void>(
        OpenHeldFile(*profile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    const std::wstring text = ReadProfileValue(*profile, kConsentKey);
    if (text == kGrantedText) return StoredConsent::kGranted;
    if (text == kRefusedText) return StoredConsent::kRefused;
    return StoredConsent::kNone;
}

bool StoreConsent(const std::wstring& application_id, bool granted, FilePatience& patience) {
    // Making the file opens it, and writing opens it again: either fails while it is held.
    return patience.Try(
        [&] {
            const std::optional<std::wstring> profile = CreateSavePath(application_id);
            return profile &&
                   WriteProfileValue(*profile, kConsentKey, granted ? kGrantedText : kRefusedText);
        },
        IsPassingFileError);
}

bool RemoveProfile(const std::wstring& application_id, FilePatience& patience) {
    const std::optional<std::wstring> profile = FindSavePath(application_id);
    if (!profile) return true;  // no such folder can exist
    if (!DeleteHeldFile(*profile, patience)) return false;
    RemoveFolderIfEmpty(profile->substr(0, profile->find_last_of(L'\\')));
    return true;
}

}  // namespace mirto
