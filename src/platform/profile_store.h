// The installation's ids in the profile file: section "MIRTO", each value stored as a pair of
// entries, "<key>__length" (4 bytes, the value's byte count, little-endian) and "<key>" (the
// UTF-16 code units and a zero unit), both in the platform's checksummed struct form.
// Worker thread only; the file has no locking of its own.
#ifndef MIRTO_PLATFORM_PROFILE_STORE_H
#define MIRTO_PLATFORM_PROFILE_STORE_H

#include <cstdint>
#include <string>

namespace mirto {

constexpr const wchar_t* kProfileSection = L"MIRTO";
constexpr const wchar_t* kIdentityKey = L"MirtoId";
constexpr const wchar_t* kInstallationKey = L"InstallUUID";

// A stored id is used when it has this many code units.
constexpr std::size_t kMinStoredIdLength = 16;
constexpr std::size_t kMaxStoredIdLength = 64;

// Length entries above this are treated as unreadable before anything is allocated: no valid
// id comes near it, and a damaged or hostile file must not be able to ask for gigabytes.
constexpr std::uint32_t kMaxStoredValueBytes = 512;

// The stored text, or empty when it is missing, damaged or of another size than recorded.
std::wstring ReadProfileValue(const std::wstring& file, const std::wstring& key);

// Writes both entries (the value entry even when the length entry failed); true when both
// were written.
bool WriteProfileValue(const std::wstring& file, const std::wstring& key,
                       const std::wstring& value);

// The stored id when it has 16 to 64 code units; otherwise a new one, stored; empty when the
// new one could not be stored.
std::wstring LoadOrCreateId(const std::wstring& file, const std::wstring& key);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_PROFILE_STORE_H
