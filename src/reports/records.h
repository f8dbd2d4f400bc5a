// Operation records: one per accepted call, carrying copies of the call's arguments from the
// game's thread to the worker, in the order of the exported function. The export fills the
// record; the worker hands it to the operation's handler and deletes it afterwards. Portable:
// no Windows header.
#ifndef MIRTO_REPORTS_RECORDS_H
#define MIRTO_REPORTS_RECORDS_H

#include <cstdint>
#include <string>

namespace mirto {

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

// The four texts first and the two integers last, so that the integers share one slot of
// alignment instead of padding two (a full queue holds 500 of these).
struct OnChargeRecord {
    std::wstring order_id;
    std::wstring product;
    std::wstring currency_type;
    std::wstring payment;
    std::int32_t amount;
    std::int32_t virtual_currency_amount;
};

}  // namespace mirto

#endif  // MIRTO_REPORTS_RECORDS_H
