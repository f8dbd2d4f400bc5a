// Drives one report through the submission pipeline with the library's code linked in, on a
// thread that plays the worker: pipeline_driver HOST PATH [QUIT_AFTER_MS]. It submits the
// level event of user u9 in session A1 and prints, with milliseconds since the start, each
// delivery attempt and the connect flags it used (which the collector cannot see), then
// "returned" when the submission is over. With QUIT_AFTER_MS the worker thread is told to
// quit after that time, as the library's unload does.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/session.h"
#include "reports/envelope.h"
#include "transport/http_client.h"
#include "transport/internet_session.h"

namespace {

ULONGLONG start_time = 0;
std::wstring path;

unsigned long long Elapsed() { return GetTickCount64() - start_time; }

void OnAttempt(int attempt, DWORD connect_flags) {
    std::printf("%llu attempt %d flags 0x%08lx\n", Elapsed(), attempt, connect_flags);
    std::fflush(stdout);
}

DWORD WINAPI Worker(void*) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    mirto::Session& session = mirto::GetSession();
    session.index_name = L"game_analysis-A1";
    session.user_id = L"u9";
    if (!mirto::OpenInternetSession()) {
        std::puts("no internet session");
        return 1;
    }
    mirto::JsonNode* properties = mirto::NewJsonObject();
    mirto::AddText(properties, "identifyType", "user");
    mirto::AddInteger(properties, "level", 7);
    mirto::AddText(properties, "ga_ver", mirto::kLibraryVersion);
    mirto::AddText(properties, "device", "Windows");
    mirto::SubmitReport(mirto::NewEventEnvelope("level", "game_analysis-A1", "u9", properties),
                        path.c_str());
    std::printf("%llu returned\n", Elapsed());
    std::fflush(stdout);
    mirto::CloseInternetSession();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    start_time = GetTickCount64();
    mirto::GetSession().server_host.Set(argv[1]);
    path = argv[2];
    mirto::SetAttemptObserverForTesting(OnAttempt);
    DWORD worker_id = 0;
    HANDLE worker = CreateThread(nullptr, 0, Worker, nullptr, 0, &worker_id);
    if (argc > 3) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
        PostThreadMessageW(worker_id, WM_QUIT, 0, 0);
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    return 0;
}
