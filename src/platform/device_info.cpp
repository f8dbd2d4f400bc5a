#include "platform/device_info.h"

#include <windows.h>

#include <psapi.h>

#include <memory>
#include <new>

#include "core/session.h"
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

void CollectDeviceInfo() {
    Session& session = GetSession();
    session.install_uuid = LoadOrCreateId(session.profile_path, kInstallationKey);
    session.persist_uuid = session.install_uuid;
    session.screen_width = GetSystemMetrics(SM_CXSCREEN);
    session.screen_height = GetSystemMetrics(SM_CYSCREEN);

    const DWORD version = GetVersion();
    session.system_version += L"Windows " + std::to_wstring(LOBYTE(LOWORD(version))) + L"." +
                              std::to_wstring(HIBYTE(LOWORD(version)));

    if (!session.game_version.empty()) return;
    const std::wstring path = ExecutablePath();
    std::wstring file_version = path.empty() ? std::wstring() : FileVersionOf(path);
    session.game_version = file_version.empty() ? L"unknown" : std::move(file_version);
}

}  // namespace mirto
