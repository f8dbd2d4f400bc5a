// Processes for the Windows tests: fresh application ids, this program's own path, a child
// program's output and exit code, and running one test alone in a new process of this program.
// The toolchain's win32 thread model has no std::thread or std::process; these use the system.
#ifndef MIRTO_TESTS_SUPPORT_PROCESS_H
#define MIRTO_TESTS_SUPPORT_PROCESS_H

#include <windows.h>

#include <gtest/gtest.h>
#include <string>

namespace mirto_test {

// An application id no other test (of this or another process) uses: its profile folder is new.
inline std::wstring FreshAppId(const std::wstring& prefix, const std::wstring& tag) {
    static int counter = 0;
    return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter) + L"-" + tag;
}

inline std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

inline std::wstring OwnFolder() {
    const std::wstring path = OwnPath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

struct ChildResult {
    bool started = false;
    DWORD start_error = 0;
    DWORD exit_code = 1;
    std::string output;  // standard output (and error, when asked)
};

// Runs a command line to its end and collects its output.
inline ChildResult RunChild(std::wstring command, bool with_stderr = false) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        result.start_error = GetLastError();
        return result;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = with_stderr ? write_end : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    result.started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process) != FALSE;
    result.start_error = result.started ? 0 : GetLastError();
    CloseHandle(write_end);
    char chunk[256];
    DWORD got = 0;
    while (result.started && ReadFile(read_end, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        result.output.append(chunk, got);
    }
    CloseHandle(read_end);
    if (result.started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return result;
}

// For tests of process-wide state (the one worker, the first start): call first thing in the
// test and return when it gives true. In the test program's own process it runs this test alone
// in a new process of the program, checks that it passed there, and gives true; in that new
// process it gives false and the test runs. So every such test starts from a process where the
// library has done nothing yet, whatever ran before it.
inline bool RanInFreshProcess() {
    constexpr const wchar_t* kMarker = L"MIRTO_TEST_FRESH_PROCESS";
    if (GetEnvironmentVariableW(kMarker, nullptr, 0) != 0) return false;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    std::wstring command = L"\"" + OwnPath() + L"\" --gtest_brief=1 --gtest_filter=" +
                           std::wstring(name.begin(), name.end());
    SetEnvironmentVariableW(kMarker, L"1");
    const ChildResult child = RunChild(command, true);
    SetEnvironmentVariableW(kMarker, nullptr);
    EXPECT_TRUE(child.started) << "error " << child.start_error;
    EXPECT_EQ(child.exit_code, 0u) << name << " in its own process:\n" << child.output;
    EXPECT_NE(child.output.find("1 test"), std::string::npos)
        << name << " did not run in its own process:\n"
        << child.output;
    return true;
}

}  // namespace mirto_test

#endif  // MIRTO_TESTS_SUPPORT_PROCESS_H
