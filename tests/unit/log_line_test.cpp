// The library's lines in the game's log: what the callback receives, on which thread, what a
// call from inside the callback does, and when a replaced callback is certainly done. The
// debugger line is captured alongside: it must stay exactly what it was without a callback.
// Runs with the ANSI code page 1252 (LC_ALL=en_US.UTF-8), in which 0xE9 is U+00E9.
#include "log/log_line.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

#include "support/debug_capture.h"
#include "support/threads.h"

namespace {

mirto_test::DebugCapture capture;

struct Received {
    std::string text;
    DWORD thread;
    bool operator==(const Received& other) const {
        return text == other.text && thread == other.thread;
    }
};

void PrintTo(const Received& received, std::ostream* out) {
    *out << testing::PrintToString(received.text) << " on thread " << received.thread;
}

// What a callback was given; its context. Written from any thread.
struct Log {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<Received> lines;
    // Run inside the callback, after the line is recorded.
    void (*inside)(Log& log) = nullptr;

    void Add(const char* text) {
        AcquireSRWLockExclusive(&lock);
        lines.push_back(Received{text, GetCurrentThreadId()});
        ReleaseSRWLockExclusive(&lock);
    }
    std::vector<Received> Lines() {
        AcquireSRWLockExclusive(&lock);
        std::vector<Received> copy = lines;
        ReleaseSRWLockExclusive(&lock);
        return copy;
    }
};

void __cdecl Record(const char* line, void* context) {
    auto& log = *static_cast<Log*>(context);
    log.Add(line);
    if (log.inside != nullptr) log.inside(log);
}

std::vector<std::string> DebuggerTexts() {
    std::vector<std::string> texts;
    for (const mirto_test::DebugLine& line : capture.Lines()) texts.push_back(line.text);
    return texts;
}

// The system's own conversion to the ANSI code page: what the debugger line always was.
std::string InAnsi(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, ansi.data(), size, nullptr, nullptr);
    ansi.resize(static_cast<std::size_t>(size - 1));
    return ansi;
}

class LogLine : public testing::Test {
   protected:
    void SetUp() override { capture.Clear(); }
    void TearDown() override { mirto::SetLineCallback(nullptr, nullptr); }
};

TEST_F(LogLine, TheCallbackGetsEachLineAsUtf8WithoutItsLineEndOnTheThreadThatWroteIt) {
    ASSERT_EQ(GetACP(), 1252u) << "this test needs the ANSI code page 1252";
    Log log;
    mirto::SetLineCallback(Record, &log);
    mirto::WriteLine("Mirto: SetLevel failed, params error\r\n");
    DWORD other = 0;
    mirto_test::RunOnThreads(1, [&other](int) {
        other = GetCurrentThreadId();
        mirto::WriteLine("Mirto: need call OnStart first\r\n");
    });
    mirto::WriteLine("Mirto: caf\xe9\r\n");  // an ANSI byte
    // Game texts that code page 1252 cannot hold: U+6E38 U+620F and U+1F600.
    const std::wstring game_text = L"Mirto: init succeed, appid: \x6e38\x620f \xd83d\xde00\r\n";
    mirto::WriteLine(game_text);
    mirto::SetLineCallback(nullptr, nullptr);
    mirto::WriteLine("Mirto: duplicate call OnStart\r\n");

    const DWORD self = GetCurrentThreadId();
    EXPECT_EQ(log.Lines(), (std::vector<Received>{
                               {"Mirto: SetLevel failed, params error", self},
                               {"Mirto: need call OnStart first", other},
                               {"Mirto: caf\xc3\xa9", self},
                               {"Mirto: init succeed, appid: \xe6\xb8\xb8\xe6\x88\x8f "
                                "\xf0\x9f\x98\x80",
                                self},
                           }));
    // The debugger gets every line as before: ANSI, with its CR LF, also after the removal.
    EXPECT_EQ(DebuggerTexts(), (std::vector<std::string>{
                                   "Mirto: SetLevel failed, params error\r\n",
                                   "Mirto: need call OnStart first\r\n",
                                   "Mirto: caf\xe9\r\n",
                                   InAnsi(game_text),
                                   "Mirto: duplicate call OnStart\r\n",
                               }));
}

Log* replacement = nullptr;

TEST_F(LogLine, CallsFromInsideTheCallbackNeitherReenterItNorWait) {
    Log log;
    Log other;
    replacement = &other;
    // The first line's callback writes a line of its own, then hands over to `other` and
    // returns: the replacement does not wait for the call it is made from.
    log.inside = [](Log& self) {
        self.inside = nullptr;
        mirto::WriteLine("Mirto: SetLevel failed, params error\r\n");
        mirto::SetLineCallback(Record, replacement);
    };
    mirto::SetLineCallback(Record, &log);
    mirto::WriteLine("Mirto: need call OnStart first\r\n");
    mirto::WriteLine("Mirto: duplicate call OnStart\r\n");

    const DWORD self = GetCurrentThreadId();
    EXPECT_EQ(log.Lines(), (std::vector<Received>{{"Mirto: need call OnStart first", self}}));
    EXPECT_EQ(other.Lines(), (std::vector<Received>{{"Mirto: duplicate call OnStart", self}}));
    EXPECT_EQ(DebuggerTexts(), (std::vector<std::string>{
                                   "Mirto: need call OnStart first\r\n",
                                   "Mirto: SetLevel failed, params error\r\n",
                                   "Mirto: duplicate call OnStart\r\n",
                               }));
}

// A callback that stays inside until released, noting when it returns.
struct Held {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::string> order;
    void Note(const char* what) {
        AcquireSRWLockExclusive(&lock);
        order.emplace_back(what);
        ReleaseSRWLockExclusive(&lock);
    }
    ~Held() {
        CloseHandle(entered);
        CloseHandle(release);
    }
};

void __cdecl Hold(const char* /*line*/, void* context) {
    auto& held = *static_cast<Held*>(context);
    SetEvent(held.entered);
    WaitForSingleObject(held.release, INFINITE);
    held.Note("callback returns");
}

TEST_F(LogLine, ReplacingTheCallbackReturnsOnlyOnceItIsNoLongerRunningOnAnotherThread) {
    Held held;
    mirto::SetLineCallback(Hold, &held);
    mirto_test::RunOnThreads(3, [&held](int i) {
        if (i == 0) {
            mirto::WriteLine("Mirto: need call OnStart first\r\n");
        } else if (i == 1) {
            WaitForSingleObject(held.entered, INFINITE);
            mirto::SetLineCallback(nullptr, nullptr);
            held.Note("replaced");
        } else {
            // Gives the replacement time to return too early, were it to, then lets the
            // callback go.
            WaitForSingleObject(held.entered, INFINITE);
            Sleep(300);
            SetEvent(held.release);
        }
    });
    EXPECT_EQ(held.order, (std::vector<std::string>{"callback returns", "replaced"}));
}

}  // namespace
