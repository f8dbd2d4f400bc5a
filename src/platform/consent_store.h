// The player's decision in the application's profile file, under a key of its own ("Consent",
// stored like the ids: a "__length" entry and the text "granted" or "refused"), so files that
// earlier versions wrote, which have no such key, read as "nothing decided" and everything
// else in them as before. Removing the application's profile (ids and decision) belongs here
// too. Worker thread only.
#ifndef MIRTO_PLATFORM_CONSENT_STORE_H
#define MIRTO_PLATFORM_CONSENT_STORE_H

#include <string>

#include "win/held_files.h"

namespace mirto {

constexpr const wchar_t* kConsentKey = L"Consent";

enum class StoredConsent { kNone, kGranted, kRefused };

// The decision stored for the application. Reads only: no folder or file is created, and a
// profile that does not exist is not opened at all. kNone for anything but a whole entry
// holding one of the two texts.
StoredConsent ReadStoredConsent(const std::wstring& application_id);

// Stores the decision, making the folders and the profile file as a start does when they are
// missing (and nothing else: no id is made), tried again while another program holds the
// profile. True when it was written.
bool StoreConsent(const std::wstring& application_id, bool granted, FilePatience& patience);

// Removes the application's profile file, and its folder when nothing else is left in it.
// True when the file is gone (or never was).
bool RemoveProfile(const std::wstring& application_id, FilePatience& patience);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_CONSENT_STORE_H
