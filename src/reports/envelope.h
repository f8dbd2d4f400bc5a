// What every report shares: the member helpers, the envelope around the report's properties,
// and the way from a finished envelope to its JSON text. Portable: no Windows header.
//
// Report text is UTF-8 from the start (report_text.h), so every character reaches the
// collector intact whatever the machine's ANSI code page.
#ifndef MIRTO_REPORTS_ENVELOPE_H
#define MIRTO_REPORTS_ENVELOPE_H

#include <cstdint>
#include <string>

#include "json/json.h"

namespace mirto {

// The fixed description of the device that reports carry.
constexpr const char* kDeviceModel = "Windows";
constexpr const char* kDeviceName = "unknown";
constexpr const char* kProvider = "unknown";
constexpr const char* kNetwork = "windows_-1";

// Member helpers; like the JSON builder they leave a member out when memory runs short.
void AddText(JsonNode* object, const char* key, const char* value);
void AddText(JsonNode* object, const char* key, const std::string& value);
void AddInteger(JsonNode* object, const char* key, std::int64_t value);

// The identify form: "module", "index", "identify", "properties". Null when memory runs out.
JsonTree NewIdentifyEnvelope(const std::string& index, const std::string& identify,
                             JsonTree properties);

// The event form: "name" first, then as the identify form.
JsonTree NewEventEnvelope(const char* name, const std::string& index, const std::string& identify,
                          JsonTree properties);

// The envelope's compact JSON text; empty for a null envelope or when memory runs short.
std::string WriteReport(JsonTree envelope);

}  // namespace mirto

#endif  // MIRTO_REPORTS_ENVELOPE_H
