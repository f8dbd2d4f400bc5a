// Memory running out at each allocation in turn, through a session's delivery: saved reports
// restored and read back, new reports gathered and stored, attempts made while more reports
// arrive, accepted reports recorded and their files removed; or, with the disk refused, the
// reports delivered from memory. The library's code is linked in and sends to the collector at
// the built-in host.
//
//   outbox_oom_driver MODE FIRST LAST
//     MODE: "outbox", "memory" (the outbox's folder cannot be made), or "fallback" (the outbox
//           opens, then refuses the first store: the session goes on from memory, after what
//           the outbox holds)
//     For n from FIRST to LAST, a session of its own (a fresh application) whose n-th
//     allocation fails (0: none fails). This thread plays the worker, told to stop (its stop
//     event set) kStopAfterMs into the session, so that a report delivered from memory gets its
//     attempts until then and no pause before a retry holds the run up longer. Prints per run
//       run <n> failed=<0|1> allocations=<a> duplicates=<d> dropped=<given up, all reasons>
//       sent <body> ...   (every report the session had: saved before it, or submitted)
//       left <body> ...   (what its outbox still holds afterwards, read with the memory back)
//     and "done" at the end.
#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "core/delivery.h"
#include "core/delivery_stats.h"
#include "core/host_slot.h"
#include "outbox/outbox.h"
#include "support/failing_heap.h"
#include "transport/protocol.h"
#include "win/scoped_handle.h"

namespace {

// Far more than the session's first attempts take against the local collector.
constexpr DWORD kStopAfterMs = 300;

VOID CALLBACK SetStop(void* event, BOOLEAN) { SetEvent(static_cast<HANDLE>(event)); }

std::uint64_t Dropped() {
    const mirto::DeliveryCounters& c = mirto::Counters();
    return c.dropped_out_of_memory.load() + c.dropped_at_quit.load() +
           c.dropped_outbox_full.load() + c.dropped_damaged.load() + c.dropped_expired.load();
}

mirto::StoredReport Saved(const std::string& body) {
    mirto::StoredReport report;
    report.port = mirto::kReportPort;
    report.created_ms = mirto::WallClockMs();
    report.host = u"localhost";
    report.path = u"/event";
    report.body = body;
    return report;
}

// Two reports arrive while the first attempt runs, as the worker's own operations would. Their
// texts are made before memory is made to run out: only the library's allocations may fail.
class ArrivingReports final : public mirto::AttemptWaitHook {
   public:
    ArrivingReports(mirto::Delivery& delivery, const std::string* bodies)
        : delivery_(delivery), bodies_(bodies) {}
    bool OnMessage() noexcept override {
        MSG message;
        PeekMessageW(&message, nullptr, WM_APP, WM_APP, PM_REMOVE);
        if (arrived_) return false;
        arrived_ = true;
        for (std::uint64_t i = 0; i < 2; ++i) {
            delivery_.BeginOperation(100 + i);
            delivery_.Submit(mirto::kEventPath, bodies_[i], mirto::ReportPriority::kDropFirst);
            delivery_.EndOperation();
        }
        delivery_.Commit();
        return false;
    }
    bool OnChore() noexcept override { return delivery_.DoChore(); }
    [[nodiscard]] bool arrived() const { return arrived_; }

   private:
    mirto::Delivery& delivery_;
    const std::string* bodies_;
    bool arrived_ = false;
};

std::wstring LocalFolder() {
    wchar_t base[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base);
    return std::wstring(base) + L"\\mirto\\";
}

void Run(const std::string& mode, int n) {
    const bool outbox = mode != "memory";
    const std::wstring app = L"oom-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(n);
    const std::string tag = "r" + std::to_string(n);
    std::vector<std::string> sent;
    mirto::OutboxDrops setup_drops;
    CreateDirectoryW(LocalFolder().c_str(), nullptr);
    if (outbox) {
        // Saved by an earlier session.
        std::unique_ptr<mirto::Outbox> earlier = mirto::Outbox::Open(app, setup_drops);
        for (int i = 0; i < 2 && earlier; ++i) {
            sent.push_back(tag + "-saved-" + std::to_string(i));
            earlier->Store(Saved(sent.back()));
        }
        if (mode == "fallback") {
            // A folder where the next store's temporary file would go.
            CreateDirectoryW((LocalFolder() + app + L"\\outbox\\0000000000000003.tmp").c_str(),
                             nullptr);
        }
    } else {
        // A file where the outbox's folder would be.
        const HANDLE file = CreateFileW((LocalFolder() + app).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        CloseHandle(file);
    }
    for (int i = 0; i < 4; ++i) sent.push_back(tag + "-new-" + std::to_string(i));
    for (int i = 0; i < 2; ++i) sent.push_back(tag + "-during-" + std::to_string(i));
    const std::string* fresh = &sent[sent.size() - 6];
    const std::uint64_t duplicates_before = mirto::Counters().possible_duplicates.load();
    const std::uint64_t dropped_before = Dropped();
    bool failed = false;
    bool connected = false;
    bool arrived = false;
    int allocations = 0;
    const mirto::KernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE timer = nullptr;
    if (!stop || !CreateTimerQueueTimer(&timer, nullptr, SetStop, stop.get(), kStopAfterMs, 0,
                                        WT_EXECUTEONLYONCE)) {
        std::fprintf(stderr, "no stop timer\n");
        ExitProcess(3);
    }
    {
        mirto_test::FailAllocation fail(n);
        {
            mirto::Delivery delivery(outbox, nullptr, stop.get());
            connected = delivery.Connect(app);
            if (connected) {
                ArrivingReports arriving(delivery, fresh + 4);
                for (std::uint64_t i = 0; i < 4; ++i) {
                    delivery.BeginOperation(1 + i);
                    delivery.Submit(i % 2 == 0 ? mirto::kIdentifyPath : mirto::kEventPath, fresh[i],
                                    i % 2 == 0 ? mirto::ReportPriority::kDropLast
                                               : mirto::ReportPriority::kDropFirst);
                    delivery.EndOperation();
                }
                delivery.Commit();
                PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
                // As far as the session goes without waiting for a retry.
                for (int step = 0; step < 60; ++step) {
                    if (delivery.SendDue(&arriving) != 0 && !delivery.DoChore()) break;
                }
                arrived = arriving.arrived();
            }
        }
        failed = fail.failed();
        allocations = fail.count();
    }
    DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);  // once its callback is done
    std::printf("run %d failed=%d allocations=%d duplicates=%llu dropped=%llu\n", n, failed ? 1 : 0,
                allocations,
                static_cast<unsigned long long>(mirto::Counters().possible_duplicates.load() -
                                                duplicates_before),
                static_cast<unsigned long long>(Dropped() - dropped_before));
    // A session that could not begin (no internet session) was given nothing new; one whose
    // attempt never ran had nothing arrive during it.
    if (!connected) sent.resize(sent.size() - 6);
    if (connected && !arrived) sent.resize(sent.size() - 2);
    std::printf("sent");
    for (const std::string& body : sent) std::printf(" %s", body.c_str());
    std::printf("\nleft");
    if (outbox) {
        mirto::OutboxDrops drops;
        if (std::unique_ptr<mirto::Outbox> after = mirto::Outbox::Open(app, drops)) {
            while (const std::optional<mirto::Outbox::Pick> pick = after->Next()) {
                std::printf(" %s", pick->report.body.c_str());
                after->Accepted(pick->sequence);  // taken out of the list, not sent
            }
        }
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

// Where the process was when it would have ended: offsets into this program (addr2line takes
// the image base plus the offset).
void OnTerminate() {
    void* frames[64];
    const USHORT count = RtlCaptureStackBackTrace(0, 64, frames, nullptr);
    const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    std::fprintf(stderr, "terminate called\n");
    for (USHORT i = 0; i < count; ++i) {
        std::fprintf(
            stderr, "frame +0x%llx\n",
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(frames[i]) - base));
    }
    ExitProcess(7);
}

int main(int argc, char** argv) {
    std::set_terminate(OnTerminate);
    if (argc < 4) return 2;
    const std::string mode = argv[1];
    const int first = std::atoi(argv[2]);
    const int last = std::atoi(argv[3]);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    // What the process had made before any session (the host's slot, built on first use).
    static_cast<void>(mirto::CollectionHost().Get());
    for (int n = first; n <= last; ++n) Run(mode, n);
    std::puts("done");
    return 0;
}
