// GoogleTest's own thread start-up signal is written with std::mutex, which this toolchain's
// win32 thread model lacks. This stand-in on a Windows event is force-included ahead of
// GoogleTest's headers, which then use it instead.
#ifndef MIRTO_TESTS_SUPPORT_GTEST_NOTIFICATION_H
#define MIRTO_TESTS_SUPPORT_GTEST_NOTIFICATION_H

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace testing {
namespace internal {

class Notification {
   public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

   private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#define GTEST_HAS_NOTIFICATION_ 1

#endif  // MIRTO_TESTS_SUPPORT_GTEST_NOTIFICATION_H
