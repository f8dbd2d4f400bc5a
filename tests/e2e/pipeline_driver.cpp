// Drives one report through the delivery with the library's code linked in, on a thread that
// plays the worker: pipeline_driver HOST PATH [QUIT_AFTER_MS]. It submits the level event of
// user u9 in session A1 and prints, with milliseconds since the start, each delivery attempt
// and the connect flags it used (which the collector cannot see: they are read from this
// program's calls to InternetConnectW), then "returned" when the submission is over. With
// QUIT_AFTER_MS the worker thread is told to stop after that time (its stop event is set), as
// Shutdown does once its time has run out.
#include <windows.h>

#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/delivery.h"
#include "core/host_slot.h"
#include "reports/report_builders.h"
#include "support/import_patch.h"

namespace {

ULONGLONG start_time = 0;
HANDLE stop = nullptr;
std::wstring path;
std::atomic<int> attempts{0};
mirto_test::ImportPatch* connect_patch = nullptr;

unsigned long long Elapsed() { return GetTickCount64() - start_time; }

HINTERNET WINAPI ObservedConnect(HINTERNET session, LPCWSTR host, INTERNET_PORT port, LPCWSTR user,
                                 LPCWSTR password, DWORD service, DWORD flags, DWORD_PTR context) {
    std::printf("%llu attempt %d flags 0x%08lx\n", Elapsed(), ++attempts, flags);
    std::fflush(stdout);
    using Connect = decltype(&InternetConnectW);
    return connect_patch->original<Connect>()(session, host, port, user, password, service, flags,
                                              context);
}

DWORD WINAPI Worker(void*) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    mirto::Delivery delivery(false, nullptr, stop);
    if (!delivery.Connect(L"A1")) {
        std::puts("no internet session");
        return 1;
    }
    mirto::ReportContext context;
    context.index = L"game_analysis-A1";
    context.user = L"u9";
    mirto::SubmitJson(delivery, path.c_str(),
                      mirto::LevelEventJson(context, mirto::SetLevelRecord{7}),
                      mirto::ReportPriority::kDropFirst);
    std::printf("%llu returned\n", Elapsed());
    std::fflush(stdout);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    start_time = GetTickCount64();
    mirto::CollectionHost().Set(argv[1]);
    path = argv[2];
    mirto_test::ImportPatch patch("wininet.dll", "InternetConnectW",
                                  reinterpret_cast<void*>(&ObservedConnect));
    connect_patch = &patch;
    stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE worker = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
    if (argc > 3) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
        SetEvent(stop);
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    CloseHandle(stop);
    return 0;
}
