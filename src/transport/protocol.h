// The collector protocol in one place: what every report carries to say where it comes from,
// where it goes, and how the request is made. The report version is part of the wire format
// (reports, the user agent and the start line carry it, and the collector may rely on it); it
// is not the package version, which the build takes from CMake's project() alone.
//
// Portable apart from the request flags, which are spelled with WinINet's own names and so
// exist only where its header does.
#ifndef MIRTO_TRANSPORT_PROTOCOL_H
#define MIRTO_TRANSPORT_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>

#include <wininet.h>
#endif

#define MIRTO_REPORT_VERSION "0.0.3"
#define MIRTO_WIDEN_(text) L##text
#define MIRTO_WIDEN(text) MIRTO_WIDEN_(text)

namespace mirto {

constexpr const char* kReportVersion = MIRTO_REPORT_VERSION;
constexpr const wchar_t* kReportVersionWide = MIRTO_WIDEN(MIRTO_REPORT_VERSION);
constexpr const char* kModuleName = "DodeZarevuze";
constexpr const wchar_t* kIndexPrefix = L"game_analysis-";

constexpr const wchar_t* kIdentifyPath = L"/identify";
constexpr const wchar_t* kEventPath = L"/event";
constexpr std::uint16_t kReportPort = 443;
constexpr const wchar_t* kReportHeaders = L"Content-Type: application/octet-stream";
constexpr const wchar_t* kUserAgent = L"Mirto_Win" MIRTO_WIDEN(MIRTO_REPORT_VERSION);

// A collection host the library sends to: 1 to 128 code units, none of them a space, a control
// character or DEL. No such name can be reached, and a line break in it would end the request's
// Host header early. Whatever names a host (SetHost, a report read back from the disk) is held to
// this rule.
constexpr std::size_t kMaxHostUnits = 128;
template <typename Unit>
constexpr bool IsCollectionHost(const Unit* units, std::size_t count) noexcept {
    if (units == nullptr || count == 0 || count > kMaxHostUnits) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const auto unit = static_cast<std::uint32_t>(units[i]);
        if (unit <= 0x20 || unit == 0x7F) return false;
    }
    return true;
}

// Connect, receive and send time-outs; the pause between two attempts; the longest one
// attempt may take, however slowly the collector answers.
constexpr std::uint32_t kTimeoutMs = 5000;
constexpr std::uint32_t kRetryWaitMs = 5000;
constexpr std::uint32_t kAttemptBoundMs = 30000;

#ifdef _WIN32
// A report's first attempt asks for a connection that is already open.
constexpr DWORD kFirstAttemptConnectFlags = INTERNET_FLAG_EXISTING_CONNECT;
constexpr DWORD kSecureRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                      INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION |
                                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;
#endif

}  // namespace mirto

#endif  // MIRTO_TRANSPORT_PROTOCOL_H
