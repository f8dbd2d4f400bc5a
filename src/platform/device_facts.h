// What the reports say about the machine and the game, gathered once by a start (see
// device_info.h) and then only read. Portable: no Windows header.
#ifndef MIRTO_PLATFORM_DEVICE_FACTS_H
#define MIRTO_PLATFORM_DEVICE_FACTS_H

#include <cstdint>
#include <string>

namespace mirto {

struct DeviceFacts {
    std::int32_t screen_width = 0;
    std::int32_t screen_height = 0;
    std::wstring system_version;  // "Windows <major>.<minor>"
    std::wstring game_version;    // as the game gave it, else the executable's, else "unknown"
    std::wstring install_uuid;    // empty when it could not be stored
    std::wstring persist_uuid;    // the installation id again
};

}  // namespace mirto

#endif  // MIRTO_PLATFORM_DEVICE_FACTS_H
