// Operation records: one heap record per accepted call, carrying copies of the call's
// arguments from the game's thread to the worker. The exported function allocates the record;
// once the post succeeds the worker owns it and deletes it after the handler has returned.
#ifndef MIRTO_CORE_OPERATIONS_H
#define MIRTO_CORE_OPERATIONS_H

#include <windows.h>

#include <cstdint>
#include <string>

namespace mirto {

// Thread-message ids of the operations (first parameter 0, second the record's address).
constexpr UINT kOpOnStart = 2486;
constexpr UINT kOpSetUser = 2487;
constexpr UINT kOpSetLevel = 2488;
constexpr UINT kOpSetServer = 2489;
constexpr UINT kOpOnCharge = 2490;

constexpr std::int32_t kMaxPendingOperations = 500;

struct OnStartRecord {
    std::wstring application_id;
    std::wstring channel;
    std::wstring game_version;
};

struct SetUserRecord {
    std::wstring user_id;
    std::wstring user_name;
};

struct SetLevelRecord {
    std::int32_t level;
};

struct SetServerRecord {
    std::wstring server;
};

// The four texts first and the two integers last; the worker hands them to the handler in the
// order of the exported function again.
struct OnChargeRecord {
    std::wstring order_id;
    std::wstring product;
    std::wstring currency_type;
    std::wstring payment;
    std::int32_t amount;
    std::int32_t virtual_currency_amount;
};

}  // namespace mirto

#endif  // MIRTO_CORE_OPERATIONS_H
