// Every line the library writes to the debugger output, in one place: the refusals of the
// exported functions (written on the game's thread) and the handlers' lines (written on the
// worker thread). Each line ends in CR LF.
#ifndef MIRTO_REPORTS_MESSAGES_H
#define MIRTO_REPORTS_MESSAGES_H

#include "transport/protocol.h"

namespace mirto {

// The refusal lines of one queueing export. Each refusal writes exactly one of them, and
// nothing else happens.
struct RefusalLines {
    const char* no_worker;
    const char* queue_full;
    const char* params_error;
};

#define MIRTO_REFUSAL_LINES(name)                                  \
    RefusalLines {                                                 \
        "Mirto: " name " failed, operation queue init failed\r\n", \
            "Mirto: " name " failed, operation queue is full\r\n", \
            "Mirto: " name " failed, params error\r\n"             \
    }

constexpr RefusalLines kOnStartLines = MIRTO_REFUSAL_LINES("OnStart");
constexpr RefusalLines kSetUserLines = MIRTO_REFUSAL_LINES("SetUser");
constexpr RefusalLines kSetLevelLines = MIRTO_REFUSAL_LINES("SetLevel");
constexpr RefusalLines kSetServerLines = MIRTO_REFUSAL_LINES("SetServer");
constexpr RefusalLines kOnChargeLines = MIRTO_REFUSAL_LINES("OnCharge");

#undef MIRTO_REFUSAL_LINES

constexpr const char* kSetHostParamsError = "Mirto: SetHost failed, params error\r\n";
constexpr const char* kSetOutboxTooLateLine = "Mirto: SetOutbox failed, OnStart already called\r\n";
constexpr const char* kGetDeliveryStatsParamsError =
    "Mirto: GetDeliveryStats failed, params error\r\n";
constexpr const char* kSetConsentRequiredTooLateLine =
    "Mirto: SetConsentRequired failed, OnStart already called\r\n";
constexpr const char* kDeleteLocalDataNeedStartLine =
    "Mirto: DeleteLocalData failed, need call OnStart first\r\n";

// The handlers' lines.
constexpr const char* kDuplicateStartLine = "Mirto: duplicate call OnStart\r\n";
constexpr const char* kSavePathFailedLine = "Mirto: init failed, can not create save path\r\n";
constexpr const char* kInternetFailedLine = "Mirto: init failed, can not init internet\r\n";
constexpr const char* kNeedStartLine = "Mirto: need call OnStart first\r\n";
constexpr const char* kNeedStartAndUserLine = "Mirto: need call OnStart && SetUser first\r\n";
// Written once, when the outbox cannot be opened or written and the session goes on without it.
constexpr const char* kOutboxFallbackLine =
    "Mirto: outbox failed, can not use the disk, delivering from memory only\r\n";

// The success line of a start, in pieces around the values it shows; written in the ANSI code
// page: "Mirto: init succeed (<report version>), game version: <v>, appid: <id>, channel: <c>".
constexpr const wchar_t* kStartLineOpening =
    L"Mirto: init succeed (" MIRTO_WIDEN(MIRTO_REPORT_VERSION) L"), game version: ";
constexpr const wchar_t* kStartLineAppId = L", appid: ";
constexpr const wchar_t* kStartLineChannel = L", channel: ";
constexpr const wchar_t* kLineEnd = L"\r\n";

}  // namespace mirto

#endif  // MIRTO_REPORTS_MESSAGES_H
