// Envelope building and submission. Every document, buffer and request here lives for one
// SubmitReport call on the worker thread.
#include "reports/envelope.h"

#include <memory>

#include "core/session.h"
#include "transport/http_client.h"
#include "transport/percent_encode.h"
#include "transport/text_conversion.h"

namespace mirto {
namespace {

JsonNode* NewEnvelope(const char* name, const std::string& index, const std::string& identify,
                      JsonNode* properties) {
    JsonNode* envelope = NewJsonObject();
    if (envelope == nullptr) {
        FreeJson(properties);
        return nullptr;
    }
    if (name != nullptr) AddText(envelope, "name", name);
    AddText(envelope, "module", kModuleName);
    AddText(envelope, "index", index);
    AddText(envelope, "identify", identify);
    if (AddJsonMember(envelope, "properties", properties) == nullptr) FreeJson(properties);
    return envelope;
}

}  // namespace

std::string ReportText(const std::wstring& wide) { return WideToUtf8Bytes(wide); }

void AddText(JsonNode* object, const char* key, const char* value) {
    JsonNode* node = NewJsonString(value);
    if (AddJsonMember(object, key, node) == nullptr) FreeJson(node);
}

void AddText(JsonNode* object, const char* key, const std::string& value) {
    AddText(object, key, value.c_str());
}

void AddInteger(JsonNode* object, const char* key, std::int64_t value) {
    JsonNode* node = NewJsonInteger(value);
    if (AddJsonMember(object, key, node) == nullptr) FreeJson(node);
}

JsonNode* NewIdentifyEnvelope(const std::string& index, const std::string& identify,
                              JsonNode* properties) {
    return NewEnvelope(nullptr, index, identify, properties);
}

JsonNode* NewEventEnvelope(const char* name, const std::string& index, const std::string& identify,
                           JsonNode* properties) {
    return NewEnvelope(name, index, identify, properties);
}

void SubmitReport(JsonNode* envelope, const wchar_t* path) {
    if (envelope == nullptr) return;
    std::string body;
    {
        const std::uint32_t size = MeasureJson(envelope, kReportJsonOptions);
        std::unique_ptr<char[]> text(new (std::nothrow) char[size]);
        if (text == nullptr) {
            FreeJson(envelope);
            return;
        }
        WriteJson(text.get(), envelope, kReportJsonOptions);
        FreeJson(envelope);
        body = PercentEncode(reinterpret_cast<const unsigned char*>(text.get()),
                             static_cast<std::int32_t>(size - 1));
    }
    const HttpParams request(GetSession().server_host.Get(), kReportPort, path, kReportHeaders,
                             body.data(), static_cast<std::int32_t>(body.size()));
    request.Send();
}

bool StartDone() { return !GetSession().index_name.empty(); }

bool UserSet() { return !GetSession().user_id.empty(); }

}  // namespace mirto
