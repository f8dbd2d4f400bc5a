// A helper program for the tests, with the library's code linked in. It prints, one per line:
//   id_process ids <app id>        the identity and installation ids stored for <app id>, made
//                                  as the start handler makes them
//   id_process version <app id>    the game version found when the game gave none
// It has no version resource of its own. Exit code 0 when it printed what was asked.
#include <windows.h>

#include <optional>
#include <string>

#include "platform/device_info.h"
#include "platform/profile_store.h"
#include "platform/save_path.h"

namespace {

bool PrintLine(const std::wstring& text) {
    const std::wstring line = text + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size,
                        nullptr, nullptr);
    DWORD written = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(),
                     static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    const std::wstring mode = argv[1];
    const std::optional<std::wstring> profile = mirto::CreateSavePath(argv[2]);
    if (!profile) return 3;
    if (mode == L"ids") {
        const std::wstring identity = mirto::LoadOrCreateId(*profile, mirto::kIdentityKey);
        const std::wstring installation = mirto::LoadOrCreateId(*profile, mirto::kInstallationKey);
        return PrintLine(identity) && PrintLine(installation) ? 0 : 1;
    }
    if (mode == L"version") {
        return PrintLine(mirto::CollectDeviceFacts(*profile, L"").game_version) ? 0 : 1;
    }
    return 2;
}
