// Reading and writing the id entries of the profile file through the platform's struct entries.
#include "platform/profile_store.h"

#include <windows.h>

#include <memory>
#include <new>
#include <vector>

#include "platform/id_generator.h"
#include "platform/stored_value.h"

namespace mirto {
namespace {

std::wstring LengthKey(const std::wstring& key) { return key + L"__length"; }

}  // namespace

std::wstring ReadProfileValue(const std::wstring& file, const std::wstring& key) {
    unsigned char length_bytes[kStoredLengthBytes] = {};
    if (!GetPrivateProfileStructW(kProfileSection, LengthKey(key).c_str(), length_bytes,
                                  sizeof(length_bytes), file.c_str())) {
        return {};
    }
    const std::uint32_t length = DecodeStoredLength(length_bytes);
    if (length == 0 || length > kMaxStoredValueBytes) return {};

    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[length]);
    if (bytes == nullptr) return {};
    if (!GetPrivateProfileStructW(kProfileSection, key.c_str(), bytes.get(), length,
                                  file.c_str())) {
        return {};
    }
    const std::u16string text = DecodeStoredText(bytes.get(), length);
    return std::wstring(text.begin(), text.end());
}

bool WriteProfileValue(const std::wstring& file, const std::wstring& key,
                       const std::wstring& value) {
    std::vector<unsigned char> bytes = EncodeStoredText(std::u16string(value.begin(), value.end()));
    unsigned char length_bytes[kStoredLengthBytes] = {};
    EncodeStoredLength(static_cast<std::uint32_t>(bytes.size()), length_bytes);
    const bool length_written =
        WritePrivateProfileStructW(kProfileSection, LengthKey(key).c_str(), length_bytes,
                                   sizeof(length_bytes), file.c_str()) != FALSE;
    // Written even when the length entry was not: a pair that disagrees reads as unreadable.
    const bool value_written =
        WritePrivateProfileStructW(kProfileSection, key.c_str(), bytes.data(),
                                   static_cast<UINT>(bytes.size()), file.c_str()) != FALSE;
    return length_written && value_written;
}

std::wstring LoadOrCreateId(const std::wstring& file, const std::wstring& key) {
    std::wstring stored = ReadProfileValue(file, key);
    if (stored.size() >= kMinStoredIdLength && stored.size() <= kMaxStoredIdLength) {
        return stored;
    }
    std::wstring fresh = GenerateId();
    if (fresh.empty() || !WriteProfileValue(file, key, fresh)) return {};
    return fresh;
}

}  // namespace mirto
