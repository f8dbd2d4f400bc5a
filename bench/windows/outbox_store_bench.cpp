// What the outbox's files cost the worker, per report, with the library's code linked in.
//
//   outbox_store_bench [STORES]   STORES reports (default 2000), level events and purchases
//                                 taking turns
//
// Two passes over a fresh application's outbox, removed again at the end:
//   - "delivering": the collector is there, so each report is stored and then, as the worker
//     does around its attempt, read back (Next), marked as attempted (MarkTried) and, once
//     accepted, marked as accepted (Accepted) and its file removed (DoChore, which the worker
//     does while the next attempt runs); the outbox never holds more than one, so each store
//     begins a file of its own. Each call is timed on its own. In the same loop, taking turns
//     with it, the bare system calls that such file work is made of are timed one by one in a
//     folder of the program's own: create, write, FlushFileBuffers, close and rename of a
//     temporary file, open, read and close of the saved file (a report read back from the
//     disk), a write and flush of a marks slot, delete.
//   - "collector away": the same reports stored and nothing removed, so the outbox grows
//     (below both caps), timed by quarter of the fill; each store appends to the outbox's
//     current file, and the bare calls it makes (a write at the end of a file held open, and
//     FlushFileBuffers) are timed taking turns with it. Then the time to open that outbox
//     again, as the next start does.
// The summary line gives the ratios the outbox is held to: the last quarter's stores against
// the first quarter's (at most 1.2), and a store against the bare calls it makes (at most 2).
// Times are per call, from QueryPerformanceCounter (10 MHz under Wine).
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../sample_session.h"
#include "bench_folders.h"
#include "outbox/outbox.h"
#include "outbox/stored_report.h"
#include "reports/percent_encode.h"
#include "reports/report_builders.h"
#include "transport/protocol.h"
#include "win/wall_clock.h"

namespace {

double NowUs() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / frequency;
}

// The session a player's machine holds (sample_session.h), for the given application.
mirto::ReportContext MakeContext(const std::wstring& application_id) {
    return mirto_bench::SampleContext(std::wstring(mirto::kIndexPrefix) + application_id);
}

std::string Encoded(const std::string& json) {
    return mirto::PercentEncode(reinterpret_cast<const unsigned char*>(json.data()),
                                static_cast<std::int32_t>(json.size()));
}

std::u16string Units(const std::wstring& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

mirto::StoredReport Report(const std::wstring& path, std::string body,
                           mirto::OutboxPriority priority) {
    mirto::StoredReport report;
    report.priority = priority;
    report.port = mirto::kReportPort;
    report.secure = true;
    report.created_ms = mirto::WallClockMs();  // saved reports older than 30 days are given up
    report.host = Units(L"collector.example-analytics.net");
    report.path = Units(path);
    report.body = std::move(body);
    return report;
}

// The two kinds, as the worker would store them: a level event, and a purchase whose product
// name is Japanese (each character is 9 bytes once percent-encoded), about 1.2 KB.
std::vector<mirto::StoredReport> Reports(const std::wstring& application_id) {
    const mirto::ReportContext context = MakeContext(application_id);
    const mirto::OnChargeRecord charge{
        L"ORD-20240611-000184223-EU-WEST-7f3a9c2e1b",
        L"\u9650\u5b9a\u30b8\u30a7\u30e0\u30d1\u30c3\u30af\uff08\u5927\uff09\u30fb\u30b7\u30fc"
        L"\u30ba\u30f3\u30d1\u30b9\u4ed8\u304d\u30fb\u521d\u56de\u9650\u5b9a\u7279\u5178\u30bb"
        L"\u30c3\u30c8\u30fb\u671f\u9593\u9650\u5b9a\u30dc\u30fc\u30ca\u30b9\u30b8\u30a7"
        L"\u30e0\u4ed8\u304d",
        L"USD",
        L"\u30b3\u30f3\u30d3\u30cb\u6c7a\u6e08",
        4999,
        6500};
    return {Report(mirto::kEventPath, Encoded(mirto::LevelEventJson(context, {37})),
                   mirto::OutboxPriority::kDropFirst),
            Report(mirto::kEventPath, Encoded(mirto::DeviceChargeJson(context, charge)),
                   mirto::OutboxPriority::kDropLast)};
}
const char* const kKinds[] = {"level", "purchase"};

// ---- statistics ----------------------------------------------------------------------------

struct Series {
    std::string name;
    std::vector<double> us;
};

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(q * static_cast<double>(values.size()));
    return values[std::min(index, values.size() - 1)];
}

void Print(const Series& series) {
    double sum = 0;
    for (double v : series.us) sum += v;
    std::printf("%-34s n=%-5zu median_us=%-8.1f p99_us=%-8.1f mean_us=%.1f\n", series.name.c_str(),
                series.us.size(), Quantile(series.us, 0.5), Quantile(series.us, 0.99),
                series.us.empty() ? 0 : sum / static_cast<double>(series.us.size()));
}

// ---- folders -------------------------------------------------------------------------------

using mirto_bench::KnownFolder;
using mirto_bench::RemoveTree;

// ---- the bare system calls -----------------------------------------------------------------

// The calls Store, Next, MarkTried and Accepted make for one report, each timed.
struct BareSteps {
    Series create{"  bare CreateFileW (new)", {}};
    Series write{"  bare WriteFile", {}};
    Series flush{"  bare FlushFileBuffers", {}};
    Series close{"  bare CloseHandle", {}};
    Series rename_saved{"  bare MoveFileExW (replace)", {}};
    Series new_file{"  bare new file in all (the 5 above)", {}};
    Series read{"  bare open, read, close", {}};
    Series mark{"  bare marks slot: WriteFile, flush", {}};
    Series remove{"  bare DeleteFileW", {}};
};

bool BareCycle(const std::wstring& folder, HANDLE mark_file, const std::string& bytes,
               BareSteps& steps) {
    const std::wstring temporary = folder + L"\\0000000000000001.tmp";
    const std::wstring saved = folder + L"\\0000000000000001.rpt";
    double t = NowUs();
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    double u = NowUs();
    steps.create.us.push_back(u - t);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    t = NowUs();
    const BOOL wrote =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    u = NowUs();
    steps.write.us.push_back(u - t);
    t = NowUs();
    const BOOL flushed = FlushFileBuffers(file);
    u = NowUs();
    steps.flush.us.push_back(u - t);
    t = NowUs();
    CloseHandle(file);
    u = NowUs();
    steps.close.us.push_back(u - t);
    t = NowUs();
    const BOOL moved = MoveFileExW(temporary.c_str(), saved.c_str(), MOVEFILE_REPLACE_EXISTING);
    u = NowUs();
    steps.rename_saved.us.push_back(u - t);
    const std::size_t last = steps.create.us.size() - 1;
    steps.new_file.us.push_back(steps.create.us[last] + steps.write.us[last] +
                                steps.flush.us[last] + steps.close.us[last] +
                                steps.rename_saved.us[last]);
    if (!wrote || !flushed || !moved) return false;

    t = NowUs();
    file = CreateFileW(saved.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool read_ok = false;
    if (file != INVALID_HANDLE_VALUE) {
        LARGE_INTEGER size;
        if (GetFileSizeEx(file, &size)) {
            std::string back(static_cast<std::size_t>(size.QuadPart), '\0');
            DWORD read = 0;
            read_ok =
                ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &read, nullptr) &&
                read == back.size();
        }
        CloseHandle(file);
    }
    u = NowUs();
    steps.read.us.push_back(u - t);
    const unsigned char slot[56] = {1};
    OVERLAPPED at_start{};
    DWORD mark_written = 0;
    t = NowUs();
    const BOOL marked = WriteFile(mark_file, slot, sizeof(slot), &mark_written, &at_start) &&
                        FlushFileBuffers(mark_file);
    u = NowUs();
    steps.mark.us.push_back(u - t);
    t = NowUs();
    const BOOL deleted = DeleteFileW(saved.c_str());
    u = NowUs();
    steps.remove.us.push_back(u - t);
    return read_ok && marked && deleted;
}

int Run(int stores) {
    // A fresh application every run, so no earlier outbox weighs on this one.
    const std::wstring application_id = L"benchoutbox-" + std::to_wstring(GetCurrentProcessId()) +
                                        L"-" + std::to_wstring(GetTickCount64());
    const std::wstring local = KnownFolder(CSIDL_LOCAL_APPDATA);
    if (local.empty()) return 1;
    const std::wstring app_folder = local + L"\\mirto\\" + application_id;
    const std::wstring bare_folder = app_folder + L"\\bare";

    const std::vector<mirto::StoredReport> reports = Reports(application_id);
    std::vector<std::size_t> file_bytes;
    for (const mirto::StoredReport& report : reports) {
        file_bytes.push_back(mirto::EncodeStoredReport(report).size());
    }
    std::printf("%d stores, level events and purchases taking turns\n", stores);
    for (std::size_t k = 0; k < reports.size(); ++k) {
        std::printf("%s: body %zu bytes, file %zu bytes\n", kKinds[k], reports[k].body.size(),
                    file_bytes[k]);
    }

    int status = 0;
    {
        mirto::OutboxDrops drops;
        std::unique_ptr<mirto::Outbox> outbox = mirto::Outbox::Open(application_id, drops);
        HANDLE mark_file = INVALID_HANDLE_VALUE;
        if (outbox && CreateDirectoryW(bare_folder.c_str(), nullptr)) {
            mark_file =
                CreateFileW((bare_folder + L"\\marks").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (mark_file == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "outbox_store_bench: cannot open the outbox\n");
            RemoveTree(app_folder);
            return 1;
        }

        // Delivering: stored, then read back, marked and removed, one report at a time.
        Series store[2] = {{"store (delivering) level", {}}, {"store (delivering) purchase", {}}};
        Series both{"store (delivering), both kinds", {}};
        Series next{"read back (Next)", {}};
        Series mark{"mark tried (MarkTried)", {}};
        Series accepted{"mark accepted (Accepted)", {}};
        Series remove_file{"remove the file (DoChore)", {}};
        BareSteps bare;
        for (int i = 0; i < stores && status == 0; ++i) {
            const std::size_t kind = static_cast<std::size_t>(i % 2);
            const std::string bytes = mirto::EncodeStoredReport(reports[kind]);
            // The library and the bare calls take turns going first.
            for (int side = 0; side < 2; ++side) {
                if ((side == 0) == ((i / 2) % 2 == 0)) {
                    double t = NowUs();
                    const auto result = outbox->Store(reports[kind]);
                    double u = NowUs();
                    store[kind].us.push_back(u - t);
                    both.us.push_back(u - t);
                    t = NowUs();
                    const std::optional<mirto::Outbox::Pick> pick = outbox->Next();
                    u = NowUs();
                    next.us.push_back(u - t);
                    if (!pick) {
                        std::fprintf(stderr, "outbox_store_bench: nothing to read back at %d\n", i);
                        status = 1;
                        break;
                    }
                    t = NowUs();
                    outbox->MarkTried(pick->sequence);
                    u = NowUs();
                    mark.us.push_back(u - t);
                    t = NowUs();
                    const bool removed = outbox->Accepted(pick->sequence);
                    u = NowUs();
                    accepted.us.push_back(u - t);
                    t = NowUs();
                    while (outbox->DoChore()) {
                    }
                    u = NowUs();
                    remove_file.us.push_back(u - t);
                    if (result != mirto::Outbox::StoreResult::kStored || !removed ||
                        outbox->size() != 0) {
                        std::fprintf(stderr, "outbox_store_bench: outbox call %d failed\n", i);
                        status = 1;
                    }
                } else if (!BareCycle(bare_folder, mark_file, bytes, bare)) {
                    std::fprintf(stderr, "outbox_store_bench: bare file call %d failed\n", i);
                    status = 1;
                }
            }
        }
        std::printf("-- delivering: each report stored, read back, marked and removed\n");
        Print(store[0]);
        Print(store[1]);
        Print(next);
        Print(mark);
        Print(accepted);
        Print(remove_file);
        std::printf("-- the same work as bare system calls, taking turns with the above\n");
        for (const Series* series :
             {&bare.create, &bare.write, &bare.flush, &bare.close, &bare.rename_saved,
              &bare.new_file, &bare.read, &bare.mark, &bare.remove}) {
            Print(*series);
        }
        CloseHandle(mark_file);

        // Collector away: the outbox grows; each store appends to its current file. The bare
        // calls of an append (a write at the end of a file held open, then a flush) take turns.
        Series away[2] = {{"store (collector away) level", {}},
                          {"store (collector away) purchase", {}}};
        Series away_both{"store (collector away), both kinds", {}};
        Series bare_append{"  bare append: WriteFile at the end, flush", {}};
        HANDLE append_file =
            CreateFileW((bare_folder + L"\\append").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        std::uint64_t appended = 0;
        for (int i = 0; i < stores && status == 0; ++i) {
            const std::size_t kind = static_cast<std::size_t>(i % 2);
            // As much as one store appends: the batch's 16-byte header and the report's part.
            const std::string bytes(16 + 8 + file_bytes[kind], 'x');
            for (int side = 0; side < 2; ++side) {
                if ((side == 0) == ((i / 2) % 2 == 0)) {
                    const double t = NowUs();
                    const auto result = outbox->Store(reports[kind]);
                    const double u = NowUs();
                    away[kind].us.push_back(u - t);
                    away_both.us.push_back(u - t);
                    if (result != mirto::Outbox::StoreResult::kStored) {
                        std::fprintf(stderr, "outbox_store_bench: store %d failed\n", i);
                        status = 1;
                    }
                } else {
                    OVERLAPPED at{};
                    at.Offset = static_cast<DWORD>(appended);
                    DWORD written = 0;
                    const double t = NowUs();
                    const bool ok = WriteFile(append_file, bytes.data(),
                                              static_cast<DWORD>(bytes.size()), &written, &at) &&
                                    FlushFileBuffers(append_file);
                    bare_append.us.push_back(NowUs() - t);
                    appended += bytes.size();
                    if (!ok) status = 1;
                }
            }
        }
        CloseHandle(append_file);
        std::printf("-- collector away: the outbox grows to %zu reports, %llu bytes\n",
                    outbox->size(), static_cast<unsigned long long>(outbox->bytes()));
        Print(away[0]);
        Print(away[1]);
        Print(bare_append);
        // Whether a store costs more as the outbox fills: both kinds, by quarter of the fill.
        // (The bare appends of the same quarter beside them: what the disk itself did then.)
        double quarters[4] = {};
        for (int quarter = 0; quarter < 4; ++quarter) {
            const std::string range = std::to_string(quarter * stores / 4 + 1) + "-" +
                                      std::to_string((quarter + 1) * stores / 4);
            Series part{"  stores " + range, {}};
            Series bare_part{"    bare appends " + range, {}};
            for (int i = quarter * stores / 4; i < (quarter + 1) * stores / 4; ++i) {
                part.us.push_back(away_both.us[static_cast<std::size_t>(i)]);
                bare_part.us.push_back(bare_append.us[static_cast<std::size_t>(i)]);
            }
            Print(part);
            Print(bare_part);
            quarters[quarter] = Quantile(part.us, 0.5);
        }
        std::printf(
            "summary: store medians, last quarter / first %.2f (goal 1.2 at most); store / its "
            "bare calls: appending %.2f, beginning a file %.2f (goal 2 at most)\n",
            quarters[3] / quarters[0], Quantile(away_both.us, 0.5) / Quantile(bare_append.us, 0.5),
            Quantile(both.us, 0.5) / Quantile(bare.new_file.us, 0.5));
        if (drops.full != 0 || drops.damaged != 0 || drops.expired != 0) {
            std::fprintf(stderr, "outbox_store_bench: %llu given up, %llu damaged\n",
                         static_cast<unsigned long long>(drops.full),
                         static_cast<unsigned long long>(drops.damaged));
            status = 1;
        }

        // The next start opens it again.
        outbox.reset();
        const double t = NowUs();
        outbox = mirto::Outbox::Open(application_id, drops);
        const double opened = NowUs() - t;
        if (!outbox || outbox->size() != static_cast<std::size_t>(stores)) {
            std::fprintf(stderr, "outbox_store_bench: %zu reports found again of %d\n",
                         outbox ? outbox->size() : 0, stores);
            status = 1;
        }
        std::printf("open with %d saved reports: %.1f ms\n", stores, opened / 1000);
    }
    RemoveTree(app_folder);
    const DWORD left = GetFileAttributesW(app_folder.c_str());
    if (left != INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "outbox_store_bench: could not remove the application's folder\n");
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const int stores = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (stores < 2 || stores % 2 != 0) {
        std::fprintf(stderr, "usage: outbox_store_bench [STORES, even]\n");
        return 2;
    }
    return Run(stores);
}
