// A small game session, as a game would report it: start, sign-in, a few levels, the server,
// two purchases, and two mistakes the library refuses. The library's debugger-output lines are
// shown on the console (a game would see them in its debugger). Press Enter to quit once the
// reports have been delivered.
#include <windows.h>

#include <cstdio>

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

}  // namespace

int main() {
    AddVectoredExceptionHandler(1, ShowDebuggerLine);

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
