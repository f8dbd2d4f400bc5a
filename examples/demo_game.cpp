// A small game session, as a game would report it: start, sign-in, a few levels, the server,
// two purchases, and two mistakes the library refuses. The library's debugger-output lines are
// shown on the console (a game would see them in its debugger). Press Enter to quit once the
// reports have been delivered.
//
// With "outbox-away", a game that keeps its reports on disk plays a short session while the
// collector is away and quits after a bounded Flush; with "outbox-back" the same game starts
// again, and the reports it saved go out first. Both show the delivery counters.
//
// With "consent-ask", a game asks the player before anything leaves: its reports are held
// until the player agrees (Enter), then they go out. With "consent-refuse" the player says no:
// nothing is sent, and the game then deletes what the library kept.
#include <windows.h>

#include <cstdio>
#include <string>

#include "mirto/mirto.h"

namespace {

// OutputDebugStringA raises this exception when no debugger is attached; showing its text
// here stands in for a debugger.
LONG CALLBACK ShowDebuggerLine(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    std::printf("  [debugger] %s", reinterpret_cast<const char*>(record->ExceptionInformation[1]));
    std::fflush(stdout);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void Say(const char* what) {
    std::printf("demo game: %s\n", what);
    std::fflush(stdout);
}

void ShowCounters() {
    mirto::DeliveryStats stats{};
    stats.size = sizeof(stats);
    mirto::GetDeliveryStats(&stats);
    std::printf(
        "demo game: counters: %llu delivered, %llu saved reports found at the start, %llu waiting "
        "in the outbox, %llu failed attempts, %llu possible duplicates\n",
        stats.reports_delivered, stats.reports_restored, stats.waiting_in_outbox,
        stats.attempts_failed, stats.possible_duplicates);
    std::fflush(stdout);
}

void ShowConsentCounters() {
    mirto::DeliveryStats stats{};
    stats.size = sizeof(stats);
    mirto::GetDeliveryStats(&stats);
    static const char* const kStates[] = {"not asked", "waiting for the player", "granted",
                                          "refused"};
    std::printf(
        "demo game: counters: consent %s, %u operations held, %llu delivered, %llu operations "
        "and %llu reports dropped for the player's choice\n",
        stats.consent_state < 4 ? kStates[stats.consent_state] : "?", stats.operations_held,
        stats.reports_delivered, stats.operations_dropped_consent, stats.reports_dropped_consent);
    std::fflush(stdout);
}

// Gives the library's thread a moment to take the calls just made (at most 2 s).
void WaitUntilHeld(unsigned int operations) {
    for (int i = 0; i < 200; ++i) {
        mirto::DeliveryStats stats{};
        stats.size = sizeof(stats);
        mirto::GetDeliveryStats(&stats);
        if (stats.operations_held >= operations) return;
        Sleep(10);
    }
}

void PlayShortSession(const wchar_t* app_id, const wchar_t* user, int level, const wchar_t* order) {
    std::printf(
        "demo game: mirto::OnStart(L\"%ls\", ...), SetUser(L\"%ls\", ...), SetLevel(%d), "
        "OnCharge(L\"%ls\", ...)\n",
        app_id, user, level, order);
    std::fflush(stdout);
    mirto::OnStart(app_id, L"store", L"1.4.0");
    mirto::SetUser(user, L"Noa");
    mirto::SetLevel(level);
    mirto::OnCharge(order, L"skin", 199, L"EUR", 0, L"card");
}

int ConsentAsk() {
    Say("mirto::SetConsentRequired(true)  (before OnStart: nothing leaves until the player "
        "answers)");
    mirto::SetConsentRequired(true);
    PlayShortSession(L"demo-consent", L"player-8", 2, L"order-3001");
    WaitUntilHeld(4);
    const bool flushed = mirto::Flush(3000);
    std::printf(
        "demo game: mirto::Flush(3000) returned %s at once: the reports wait for the player\n",
        flushed ? "true" : "false");
    ShowConsentCounters();
    Say("asking the player: \"May we send anonymous statistics?\" (waiting for the answer)");
    std::getchar();
    Say("the player agreed: mirto::SetConsent(true)  (the held reports go out, in order)");
    mirto::SetConsent(true);
    std::getchar();
    ShowConsentCounters();
    return 0;
}

int ConsentRefuse() {
    mirto::SetConsentRequired(true);
    Say("mirto::SetConsentRequired(true)");
    PlayShortSession(L"demo-refuse", L"player-9", 4, L"order-4001");
    Say("the player said no: mirto::SetConsent(false)  (what is held is dropped)");
    mirto::SetConsent(false);
    Say("mirto::SetLevel(5)  (accepted, but reports nothing now)");
    mirto::SetLevel(5);
    const bool flushed = mirto::Flush(3000);
    std::printf("demo game: mirto::Flush(3000) returned %s: nothing is left to send\n",
                flushed ? "true" : "false");
    ShowConsentCounters();
    const bool deleted = mirto::DeleteLocalData(3000);
    std::printf(
        "demo game: mirto::DeleteLocalData(3000) returned %s: the profile with the stored answer "
        "is %s\n",
        deleted ? "true" : "false", deleted ? "gone" : "NOT gone");
    return flushed && deleted ? 0 : 1;
}

int OutboxAway() {
    Say("mirto::SetOutbox(true)  (before OnStart: every report is kept on disk until delivered)");
    mirto::SetOutbox(true);
    Say("mirto::OnStart(L\"demo-outbox\", L\"store\", L\"1.4.0\")  (the collector is away)");
    mirto::OnStart(L"demo-outbox", L"store", L"1.4.0");
    Say("mirto::SetUser(L\"player-7\", L\"Mia\"), SetLevel(5), OnCharge(L\"order-2001\", ...)");
    mirto::SetUser(L"player-7", L"Mia");
    mirto::SetLevel(5);
    mirto::OnCharge(L"order-2001", L"map pack", 299, L"EUR", 0, L"card");
    const bool safe = mirto::Flush(3000);
    std::printf("demo game: mirto::Flush(3000) returned %s: every report is %s\n",
                safe ? "true" : "false", safe ? "on disk" : "NOT on disk yet");
    ShowCounters();
    Say("quitting with the collector still away");
    return safe ? 0 : 1;
}

int OutboxBack() {
    mirto::SetOutbox(true);
    Say("mirto::SetOutbox(true); mirto::OnStart(L\"demo-outbox\", ...)  (the collector is back)");
    mirto::OnStart(L"demo-outbox", L"store", L"1.4.0");
    std::getchar();
    ShowCounters();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    AddVectoredExceptionHandler(1, ShowDebuggerLine);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "outbox-away") return OutboxAway();
    if (mode == "outbox-back") return OutboxBack();
    if (mode == "consent-ask") return ConsentAsk();
    if (mode == "consent-refuse") return ConsentRefuse();

    Say("mirto::OnStart(L\"demo-game\", L\"store\", L\"1.4.0\")");
    mirto::OnStart(L"demo-game", L"store", L"1.4.0");
    Say("mirto::SetUser(L\"player-42\", L\"Ava\")");
    mirto::SetUser(L"player-42", L"Ava");
    for (int level = 1; level <= 3; ++level) {
        std::printf("demo game: mirto::SetLevel(%d)\n", level);
        mirto::SetLevel(level);
    }
    Say("mirto::SetServer(L\"eu-west-1\")");
    mirto::SetServer(L"eu-west-1");
    Say("mirto::OnCharge(L\"order-1001\", L\"gem pack\", 499, L\"EUR\", 500, L\"card\")");
    mirto::OnCharge(L"order-1001", L"gem pack", 499, L"EUR", 500, L"card");
    Say("UnityOnCharge(\"order-1002\", u8\"épée\", 199, \"EUR\", 0, nullptr)");
    UnityOnCharge("order-1002",
                  "\xC3\xA9p\xC3\xA9"
                  "e",
                  199, "EUR", 0, nullptr);

    Say("mirto::SetLevel(-1)  (refused: a level is 0 or more)");
    mirto::SetLevel(-1);
    Say("mirto::SetServer(L\"\")  (refused: a server is required)");
    mirto::SetServer(L"");

    Say("all calls returned; the worker delivers the reports in the background");
    std::getchar();
    return 0;
}
