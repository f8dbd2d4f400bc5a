// Gathering the device facts from the system, the profile and the executable.
#include "platform/device_info.h"

#include <windows.h>

#include <psapi.h>

#include <memory>
#include <new>
#include <utility>

#include "platform/profile_store.h"

namespace mirto {
namespace {

constexpr DWORD kModulePathCapacity = 512;

// The main executable's full path, or empty when it cannot be had whole.
std::wstring ExecutablePath() {
    wchar_t path[kModulePathCapacity] = {};
    const DWORD length =
        K32GetModuleFileNameExW(GetCurrentProcess(), nullptr, path, kModulePathCapacity);
    if (length == 0 || length >= kModulePathCapacity) return {};
    return std::wstring(path, length);
}

}  // namespace

std::wstring FileVersionOf(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[size]);
    if (block == nullptr || !GetFileVersionInfoW(path.c_str(), 0, size, block.get())) return {};
    void* found = nullptr;
    UINT found_size = 0;
    if (!VerQueryValueW(block.get(), L"\\", &found, &found_size) || found == nullptr ||
        found_size < sizeof(VS_FIXEDFILEINFO)) {
        return {};
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(found);
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

DeviceFacts CollectDeviceFacts(const std::wstring& profile_path, const std::wstring& game_version) {
    DeviceFacts facts;
    facts.install_uuid = LoadOrCreateId(profile_path, kInstallationKey);
    facts.persist_uuid = facts.install_uuid;
    facts.screen_width = GetSystemMetrics(SM_CXSCREEN);
    facts.screen_height = GetSystemMetrics(SM_CYSCREEN);

    const DWORD version = GetVersion();
    facts.system_version = L"Windows " + std::to_wstring(LOBYTE(LOWORD(version))) + L"." +
                           std::to_wstring(HIBYTE(LOWORD(version)));

    if (!game_version.empty()) {
        facts.game_version = game_version;
        return facts;
    }
    const std::wstring path = ExecutablePath();
    std::wstring file_version = path.empty() ? std::wstring() : FileVersionOf(path);
    facts.game_version = file_version.empty() ? L"unknown" : std::move(file_version);
    return facts;
}

}  // namespace mirto
