// Facts about the machine and the game for the reports, gathered once by the start handler on
// the worker thread: the installation id, the primary screen's size, the Windows version and,
// when the game gave none, the executable's file version.
#ifndef MIRTO_PLATFORM_DEVICE_INFO_H
#define MIRTO_PLATFORM_DEVICE_INFO_H

#include <string>

namespace mirto {

// Never fails: whatever cannot be found is "unknown" (or empty ids when storing failed).
void CollectDeviceInfo();

// The file version of the executable at `path` as "a.b.c.d", or empty when it has none.
std::wstring FileVersionOf(const std::wstring& path);

}  // namespace mirto

#endif  // MIRTO_PLATFORM_DEVICE_INFO_H
