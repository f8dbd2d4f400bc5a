// Envelope building and writing. Every tree here lives for one report.
#include "reports/envelope.h"

#include <utility>

#include "transport/protocol.h"

namespace mirto {
namespace {

JsonTree NewEnvelope(const char* name, const std::string& index, const std::string& identify,
                     JsonTree properties) {
    JsonTree envelope(NewJsonObject());
    if (envelope == nullptr) return nullptr;
    if (name != nullptr) AddText(envelope.get(), "name", name);
    AddText(envelope.get(), "module", kModuleName);
    AddText(envelope.get(), "index", index);
    AddText(envelope.get(), "identify", identify);
    AddJsonMember(envelope.get(), "properties", std::move(properties));
    return envelope;
}

}  // namespace

void AddText(JsonNode* object, const char* key, const char* value) {
    JsonTree node(NewJsonString(value));
    AddJsonMember(object, key, std::move(node));
}

void AddText(JsonNode* object, const char* key, const std::string& value) {
    AddText(object, key, value.c_str());
}

void AddInteger(JsonNode* object, const char* key, std::int64_t value) {
    JsonTree node(NewJsonInteger(value));
    AddJsonMember(object, key, std::move(node));
}

JsonTree NewIdentifyEnvelope(const std::string& index, const std::string& identify,
                             JsonTree properties) {
    return NewEnvelope(nullptr, index, identify, std::move(properties));
}

JsonTree NewEventEnvelope(const char* name, const std::string& index, const std::string& identify,
                          JsonTree properties) {
    return NewEnvelope(name, index, identify, std::move(properties));
}

std::string WriteReport(JsonTree envelope) {
    if (envelope == nullptr) return {};
    const std::uint32_t size = MeasureJson(envelope.get(), kReportJsonOptions);
    // The writer adds the terminator, which the string keeps in its own room past the end.
    std::string text(size - 1, '\0');
    WriteJson(text.data(), envelope.get(), kReportJsonOptions);
    return text;
}

}  // namespace mirto
