// What every report shares: the envelope around the handler's properties, the way from a
// finished envelope to a delivered request, and the preconditions the handlers test.
//
// Report text is UTF-8 from the start: string values are converted from UTF-16 straight to
// UTF-8 and the written JSON is percent-encoded as it stands, so every character reaches the
// collector intact whatever the machine's ANSI code page.
#ifndef MIRTO_REPORTS_ENVELOPE_H
#define MIRTO_REPORTS_ENVELOPE_H

#include <cstdint>
#include <string>

#include "json/json.h"

namespace mirto {

constexpr const char* kModuleName = "DodeZarevuze";
constexpr const char* kLibraryVersion = "0.0.3";
constexpr const wchar_t* kLibraryVersionWide = L"0.0.3";
constexpr const wchar_t* kIndexPrefix = L"game_analysis-";
constexpr const wchar_t* kIdentifyPath = L"/identify";
constexpr const wchar_t* kEventPath = L"/event";
constexpr std::uint16_t kReportPort = 443;
constexpr const wchar_t* kReportHeaders = L"Content-Type: application/octet-stream";

// The form in which a UTF-16 value enters a report.
std::string ReportText(const std::wstring& wide);

// Member helpers; like the JSON builder they leave a member out when memory runs short.
void AddText(JsonNode* object, const char* key, const char* value);
void AddText(JsonNode* object, const char* key, const std::string& value);
void AddInteger(JsonNode* object, const char* key, std::int64_t value);

// The identify form: "module", "index", "identify", "properties".
JsonNode* NewIdentifyEnvelope(const std::string& index, const std::string& identify,
                              JsonNode* properties);

// The event form: "name" first, then as the identify form.
JsonNode* NewEventEnvelope(const char* name, const std::string& index, const std::string& identify,
                           JsonNode* properties);

// Takes the envelope, writes it compactly, percent-encodes it and posts it to the current
// collection host at `path`, returning once the collector has accepted it.
void SubmitReport(JsonNode* envelope, const wchar_t* path);

// The shared preconditions.
bool StartDone();
bool UserSet();

}  // namespace mirto

#endif  // MIRTO_REPORTS_ENVELOPE_H
