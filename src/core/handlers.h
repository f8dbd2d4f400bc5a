// The report handlers that the worker dispatches to, one per operation. They run on the
// worker thread only, one at a time, and never free their arguments.
#ifndef MIRTO_CORE_HANDLERS_H
#define MIRTO_CORE_HANDLERS_H

#include <cstdint>
#include <string>

namespace mirto {

void HandleOnStart(const std::wstring& application_id, const std::wstring& channel,
                   const std::wstring& game_version);
void HandleSetUser(const std::wstring& user_id, const std::wstring& user_name);
void HandleSetLevel(std::int32_t level);
void HandleSetServer(const std::wstring& server);
void HandleOnCharge(const std::wstring& order_id, const std::wstring& product, std::int32_t amount,
                    const std::wstring& currency_type, std::int32_t virtual_currency_amount,
                    const std::wstring& payment);

}  // namespace mirto

#endif  // MIRTO_CORE_HANDLERS_H
