// Facts about the machine and the game for the reports, gathered once by the start handler on
// the worker thread and returned: the installation id, the primary screen's size, the Windows
// version and, when the game gave none, the executable's file version.
#ifndef MIRTO_PLATFORM_DEVICE_INFO_H
#define MIRTO_PLATFORM_DEVICE_INFO_H

#include <string>

#include "platform/device_facts.h"

namespace mirto {

// The facts of this machine, with the installation id loaded from (or first stored in) the
// profile file at `profile_path`, and `game_version` unless it is empty. Never fails: whatever
// cannot be found is "unknown" (or empty ids when storing failed).
DeviceFacts CollectDeviceFacts(const std::wstring& profile_path, const std::wstring& game_version);

// The file version of the executable at `path` as "a.b.c.d", or empty when it has none.
std::wstring FileVersionOf(const std::wstring& path);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_DEVICE_INFO_H
