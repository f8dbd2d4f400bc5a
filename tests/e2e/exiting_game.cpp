// A game that ends while the library is busy: it starts a session, keeps reporting for a
// while and then leaves the way games do, by returning from main or by calling ExitProcess,
// with the exit code it was given. Whatever the worker is doing at that moment (building a
// report, waiting for the collector, pausing before a retry), the process must end at once
// with that code.
//   exiting_game.exe <return|exit> <exit code> <milliseconds of reporting> <app id>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "mirto/mirto.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 64;
    const bool by_return = std::wstring(argv[1]) == L"return";
    const int code = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    const DWORD reporting = static_cast<DWORD>(std::wcstol(argv[3], nullptr, 10));

    mirto::OnStart(argv[4], L"exit", L"1.0");
    mirto::SetUser(L"leaver", L"");
    const ULONGLONG end = GetTickCount64() + reporting;
    for (int i = 0; GetTickCount64() < end; ++i) {
        mirto::SetLevel(i);
        mirto::OnCharge(L"order", L"gem", 1 + i, L"EUR", 0, L"card");
        Sleep(1);
    }
    if (by_return) return code;
    ExitProcess(static_cast<UINT>(code));
}
