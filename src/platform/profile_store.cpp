#include "platform/profile_store.h"

#include <windows.h>

#include <memory>
#include <new>

#include "platform/id_generator.h"

namespace mirto {
namespace {

std::wstring LengthKey(const std::wstring& key) { return key + L"__length"; }

}  // namespace

std::wstring ReadProfileValue(const std::wstring& file, const std::wstring& key) {
    unsigned char length_bytes[4] = {};
    if (!GetPrivateProfileStructW(kProfileSection, LengthKey(key).c_str(), length_bytes,
                                  sizeof(length_bytes), file.c_str())) {
        return {};
    }
    const std::uint32_t length = static_cast<std::uint32_t>(length_bytes[0]) |
                                 static_cast<std::uint32_t>(length_bytes[1]) << 8 |
                                 static_cast<std::uint32_t>(length_bytes[2]) << 16 |
                                 static_cast<std::uint32_t>(length_bytes[3]) << 24;
    if (length == 0 || length > kMaxStoredValueBytes) return {};

    std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[length]);
    if (bytes == nullptr) return {};
    if (!GetPrivateProfileStructW(kProfileSection, key.c_str(), bytes.get(), length,
                                  file.c_str())) {
        return {};
    }
    // Code units are little-endian; stop at the first zero unit, never past the bytes read.
    std::wstring value;
    for (std::uint32_t at = 0; at + 1 < length; at += 2) {
        const auto unit = static_cast<wchar_t>(bytes[at] | bytes[at + 1] << 8);
        if (unit == L'\0') break;
        value.push_back(unit);
    }
    return value;
}

bool WriteProfileValue(const std::wstring& file, const std::wstring& key,
                       const std::wstring& value) {
    const std::uint32_t length = static_cast<std::uint32_t>(2 * value.size() + 2);
    const unsigned char length_bytes[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    const bool length_written =
        WritePrivateProfileStructW(kProfileSection, LengthKey(key).c_str(),
                                   const_cast<unsigned char*>(length_bytes), sizeof(length_bytes),
                                   file.c_str()) != FALSE;

    std::unique_ptr<unsigned char[]> bytes(new unsigned char[length]);
    for (std::size_t i = 0; i <= value.size(); ++i) {
        const wchar_t unit = i < value.size() ? value[i] : L'\0';
        bytes[2 * i] = static_cast<unsigned char>(unit & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>((unit >> 8) & 0xFF);
    }
    const bool value_written = WritePrivateProfileStructW(kProfileSection, key.c_str(), bytes.get(),
                                                          length, file.c_str()) != FALSE;
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
