// The charge handler: the device charge event always (once started), then the user charge
// event while a user is set, strictly one after the other. Worker thread only.
#include <windows.h>

#include "core/handlers.h"
#include "core/session.h"
#include "reports/envelope.h"

namespace mirto {
namespace {

struct ChargeTexts {
    std::string order_id;
    std::string product;
    std::string currency_type;
    std::string payment;
    std::int32_t amount;
    std::int32_t virtual_currency_amount;
};

// The members both charge events share, after "identifyType": texts first, then amounts.
JsonNode* NewChargeProperties(const char* identify_type, const std::string& device,
                              const ChargeTexts& charge) {
    JsonNode* properties = NewJsonObject();
    AddText(properties, "identifyType", identify_type);
    AddText(properties, "ga_ver", kLibraryVersion);
    AddText(properties, "device", device);
    AddText(properties, "order_id", charge.order_id);
    AddText(properties, "product", charge.product);
    AddText(properties, "currency_type", charge.currency_type);
    AddText(properties, "payment", charge.payment);
    AddInteger(properties, "amount", charge.amount);
    AddInteger(properties, "virtual_currency_amount", charge.virtual_currency_amount);
    return properties;
}

}  // namespace

void HandleOnCharge(const std::wstring& order_id, const std::wstring& product, std::int32_t amount,
                    const std::wstring& currency_type, std::int32_t virtual_currency_amount,
                    const std::wstring& payment) {
    const Session& session = GetSession();
    if (!StartDone()) {
        OutputDebugStringA("Mirto: need call OnStart && SetUser first\r\n");
        return;
    }
    const std::string index = ReportText(session.index_name);
    const std::string device = ReportText(session.device_model);
    const ChargeTexts charge{ReportText(order_id),
                             ReportText(product),
                             ReportText(currency_type),
                             ReportText(payment),
                             amount,
                             virtual_currency_amount};

    JsonNode* device_properties = NewChargeProperties("mobile", device, charge);
    AddText(device_properties, "install_uuid", ReportText(session.install_uuid));
    AddText(device_properties, "persist_uuid", ReportText(session.persist_uuid));
    SubmitReport(
        NewEventEnvelope("charge", index, ReportText(session.identify_id), device_properties),
        kEventPath);

    if (!UserSet()) return;
    SubmitReport(NewEventEnvelope("charge", index, ReportText(session.user_id),
                                  NewChargeProperties("user", device, charge)),
                 kEventPath);
}

}  // namespace mirto
