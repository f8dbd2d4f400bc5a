// The flat UTF-8 entry points for the Unity native-plugin interface. Each converts its texts
// to UTF-16 on the calling thread and forwards to the function of namespace mirto, which does
// every check and writes every message. A null pointer is taken as the empty string.
#include <cstring>
#include <string>

#include "mirto/mirto.h"
#include "win/text_conversion.h"

namespace {

// Longer than this many UTF-8 bytes, a text is certain to exceed 128 UTF-16 code units
// (no UTF-8 sequence, valid or not, yields fewer than one code unit per 3 bytes), so only
// this much is converted: the call is refused all the same, without costing the game time.
constexpr std::size_t kMaxUtf8BytesConverted = 3 * 128 + 3;

std::wstring Argument(const char* text) {
    if (text == nullptr) return {};
    const std::size_t length = strnlen(text, kMaxUtf8BytesConverted + 1);
    return mirto::Utf8ToWide(text, static_cast<std::int32_t>(length));
}

}  // namespace

extern "C" {

void MIRTO_CALL UnitySetHost(const char* host) noexcept {
    try {
        mirto::SetHost(Argument(host).c_str());
    } catch (...) {
    }
}

void MIRTO_CALL UnityOnStart(const char* application_id, const char* channel,
                             const char* game_version) noexcept {
    try {
        const std::wstring id = Argument(application_id);
        const std::wstring wide_channel = Argument(channel);
        const std::wstring version = Argument(game_version);
        mirto::OnStart(id.c_str(), wide_channel.c_str(), version.c_str());
    } catch (...) {
    }
}

void MIRTO_CALL UnitySetUser(const char* user_id, const char* user_name) noexcept {
    try {
        const std::wstring id = Argument(user_id);
        const std::wstring name = Argument(user_name);
        mirto::SetUser(id.c_str(), name.c_str());
    } catch (...) {
    }
}

void MIRTO_CALL UnitySetLevel(int level) noexcept { mirto::SetLevel(level); }

void MIRTO_CALL UnitySetServer(const char* server) noexcept {
    try {
        mirto::SetServer(Argument(server).c_str());
    } catch (...) {
    }
}

void MIRTO_CALL UnityOnCharge(const char* order_id, const char* product, int amount,
                              const char* currency_type, int virtual_currency_amount,
                              const char* payment) noexcept {
    try {
        const std::wstring order = Argument(order_id);
        const std::wstring wide_product = Argument(product);
        const std::wstring currency = Argument(currency_type);
        const std::wstring wide_payment = Argument(payment);
        mirto::OnCharge(order.c_str(), wide_product.c_str(), amount, currency.c_str(),
                        virtual_currency_amount, wide_payment.c_str());
    } catch (...) {
    }
}

void MIRTO_CALL UnitySetOutbox(int enabled) noexcept { mirto::SetOutbox(enabled != 0); }

int MIRTO_CALL UnityFlush(unsigned int timeout_ms) noexcept {
    return mirto::Flush(timeout_ms) ? 1 : 0;
}

void MIRTO_CALL UnityGetDeliveryStats(MirtoDeliveryStats* stats) noexcept {
    mirto::GetDeliveryStats(stats);
}

void MIRTO_CALL UnitySetLogCallback(MirtoLogCallback callback, void* context) noexcept {
    mirto::SetLogCallback(callback, context);
}

void MIRTO_CALL UnitySetConsentRequired(int required) noexcept {
    mirto::SetConsentRequired(required != 0);
}

void MIRTO_CALL UnitySetConsent(int granted) noexcept { mirto::SetConsent(granted != 0); }

int MIRTO_CALL UnityDeleteLocalData(unsigned int timeout_ms) noexcept {
    return mirto::DeleteLocalData(timeout_ms) ? 1 : 0;
}

int MIRTO_CALL UnityShutdown(unsigned int timeout_ms) noexcept {
    return mirto::Shutdown(timeout_ms) ? 1 : 0;
}

}  // extern "C"
