// A game built for the MSVC ABI, without any C runtime: it links against mirto.lib and calls
// the decorated C++ exports and a Unity one, then waits for a line on standard input.
#include <mirto/mirto.h>

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall ReadFile(void* file, void* buffer, unsigned long size,
                                             unsigned long* read, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
}

extern "C" void entry() {
    mirto::OnStart(L"msvc-app", L"lld", L"2.0");
    mirto::SetUser(L"msvc-user", nullptr);
    UnitySetLevel(21);
    mirto::OnCharge(L"order-9", L"gem", 5, L"EUR", 0, nullptr);
    char line[8];
    unsigned long read = 0;
    ReadFile(GetStdHandle(static_cast<unsigned long>(-10)), line, sizeof(line), &read, nullptr);
    ExitProcess(0);
}
